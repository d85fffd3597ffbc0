/* Quenlorex (-e): text, rodata, data and bss from 0x00010000. */
ENTRY(_start)

PHDRS
{
    text   PT_LOAD FLAGS(5);    /* R X */
    rodata PT_LOAD FLAGS(4);    /* R */
    data   PT_LOAD FLAGS(6);    /* R W */
}

SECTIONS
{
    . = 0x00010000;
    .text   : { *(.text.start) *(.text .text.*) } :text
    .rodata : { *(.rodata .rodata.*) } :rodata
    .data   : { *(.data .data.*) } :data
    .bss    : { *(.bss .bss.* COMMON) } :data
    /DISCARD/ : { *(.ARM.exidx* .ARM.extab* .comment .note*) }
}
