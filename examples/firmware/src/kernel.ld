/* Kernel (-k): text, rodata, data and bss from 0x00008000. */
ENTRY(_start)

SECTIONS
{
    . = 0x00008000;
}

INCLUDE module.ld
