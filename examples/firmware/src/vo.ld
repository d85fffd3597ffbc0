/*
 * Vorrel (-f): code and constants in ROM at 0x00020000, variables in RAM at
 * 0x00028000. .data runs in RAM but is stored in ROM after .rodata (AT>), and
 * main copies it over before use.
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
    .text   : { *(.text.start) *(.text .text.*) } >rom :text
    .rodata : {
        *(.rodata .rodata.*)
        . = ALIGN(4);           /* the stored .data that follows is read by words */
    } >rom :rodata
    .data   : {
        __data_start = .;
        *(.data .data.*)
        . = ALIGN(4);           /* the copy loop moves whole words */
        __data_end = .;
    } >ram AT>rom :data
    __data_load = LOADADDR(.data);
    .bss    : { *(.bss .bss.* COMMON) } >ram AT>ram :bss
    /DISCARD/ : { *(.ARM.exidx* .ARM.extab* .comment .note*) }
}
