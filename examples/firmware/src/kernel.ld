/* Kernel (-k): text, rodata, data and bss from 0x00008000.
   SPDX-License-Identifier: MIT */
ENTRY(_start)

SECTIONS
{
    . = 0x00008000;
}

INCLUDE module.ld
