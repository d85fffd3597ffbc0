/* TEJ (-F): text, rodata, data and bss from 0x01000000, above the Shared Data range.
   SPDX-License-Identifier: MIT */
ENTRY(_start)

SECTIONS
{
    . = 0x01000000;
}

INCLUDE module.ld
