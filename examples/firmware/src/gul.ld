/* GUL (-c): text, rodata, data and bss from 0x00040000.
   SPDX-License-Identifier: MIT */
ENTRY(_start)

SECTIONS
{
    . = 0x00040000;
}

INCLUDE module.ld
