/* Quenlorex (slot 1, -e): built as Thumb code behind the ARM start code.
   SPDX-License-Identifier: MIT */
#include "module.h"

int32_t _initPriority = 10;
int32_t _initStackSize = 768;
FW_STACK(768);

/* A 32-byte aligned message buffer gives .data the largest alignment. */
uint32_t mailbox[5] __attribute__((aligned(32))) = {0x51550001, 2, 3, 4, 5};
volatile uint32_t handled;

static const char greeting[] = "quenlor"; /* 8 bytes */

/* Thumb on this core has no long multiply, so indices wrap by hand, not by %. */
int main(void)
{
    unsigned slot = 0, letter = 0;
    for (;;) {
        mailbox[slot] += (uint8_t)greeting[letter];
        if (++slot == 5)
            slot = 0;
        if (++letter == sizeof greeting - 1)
            letter = 0;
        ++handled;
    }
}
