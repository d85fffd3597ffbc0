/* GUL (-c): text, rodata, data and bss from 0x00040000. */
ENTRY(_start)

SECTIONS
{
    . = 0x00040000;
}

INCLUDE module.ld
