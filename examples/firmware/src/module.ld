/*
 * SPDX-License-Identifier: MIT
 * The layout of every module but vo, included after the module's script has
 * set the base address: text, rodata, data and bss, in that order. Each
 * section with file bytes ends on a word boundary: QEMU stores a big-endian
 * (BE32) image word by word and drops the bytes of a segment's last partial
 * word. The bounds are for the start-up checks in startup.c.
 */
PHDRS
{
    text   PT_LOAD FLAGS(5);    /* R X */
    rodata PT_LOAD FLAGS(4);    /* R */
    data   PT_LOAD FLAGS(6);    /* R W */
}

SECTIONS
{
    .text   : { *(.text.start) *(.text .text.*) . = ALIGN(4); } :text
    .rodata : {
        __rodata_start = .;
        *(.rodata .rodata.*)
        . = ALIGN(4);
        __rodata_end = .;
    } :rodata
    .data   : {
        __data_start = .;
        *(.data .data.*)
        . = ALIGN(4);
        __data_end = .;
    } :data
    __data_load = LOADADDR(.data);
    .bss    : {
        __bss_start = .;
        *(.bss .bss.* COMMON)
        __bss_end = .;
    } :data
    /DISCARD/ : { *(.ARM.exidx* .ARM.extab* .comment .note*) }
}
