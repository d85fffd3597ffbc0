/*
 * SPDX-License-Identifier: MIT
 * Vorrel (-f): code and constants in ROM at 0x00020000, variables in RAM at
 * 0x00028000. .data runs in RAM but is stored in ROM after .rodata (AT>), and
 * the start-up code copies it over before use. As in module.ld, sections with
 * file bytes end on a word boundary and the bounds are for startup.c.
 */
ENTRY(_start)

MEMORY
{
    rom (rx) : ORIGIN = 0x00020000, LENGTH = 16K
    ram (rw) : ORIGIN = 0x00028000, LENGTH = 16K
}

PHDRS
{
    text   PT_LOAD FLAGS(5);    /* R X */
    rodata PT_LOAD FLAGS(4);    /* R */
    data   PT_LOAD FLAGS(6);    /* R W, stored in ROM */
    bss    PT_LOAD FLAGS(6);    /* R W, no file bytes */
}

SECTIONS
{
    .text   : { *(.text.start) *(.text .text.*) . = ALIGN(4); } >rom :text
    .rodata : {
        __rodata_start = .;
        *(.rodata .rodata.*)
        . = ALIGN(4);
        __rodata_end = .;
    } >rom :rodata
    .data   : {
        __data_start = .;
        *(.data .data.*)
        . = ALIGN(4);
        __data_end = .;
    } >ram AT>rom :data
    __data_load = LOADADDR(.data);
    .bss    : {
        __bss_start = .;
        *(.bss .bss.* COMMON)
        __bss_end = .;
    } >ram AT>ram :bss
    /DISCARD/ : { *(.ARM.exidx* .ARM.extab* .comment .note*) }
}
