/* RAK (-S): text, rodata, data and bss from 0x00050000.
   SPDX-License-Identifier: MIT */
ENTRY(_start)

SECTIONS
{
    . = 0x00050000;
}

INCLUDE module.ld
