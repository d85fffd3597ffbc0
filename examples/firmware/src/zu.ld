/* ZU (-d): text, rodata, data and bss from 0x00030000.
   SPDX-License-Identifier: MIT */
ENTRY(_start)

SECTIONS
{
    . = 0x00030000;
}

INCLUDE module.ld
