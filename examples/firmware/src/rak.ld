/* RAK (-S): text, rodata, data and bss from 0x00050000. */
ENTRY(_start)

SECTIONS
{
    . = 0x00050000;
}

INCLUDE module.ld
