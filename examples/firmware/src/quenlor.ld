/* Quenlorex (-e): text, rodata, data and bss from 0x00010000.
   SPDX-License-Identifier: MIT */
ENTRY(_start)

SECTIONS
{
    . = 0x00010000;
}

INCLUDE module.ld
