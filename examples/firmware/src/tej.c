/* TEJ (slot 19, -F): placed above the Shared Data range, priority 127.
   SPDX-License-Identifier: MIT */
#include "module.h"

int32_t _initPriority = 127;
int32_t _initStackSize = 2048;
FW_STACK(2048);

/* A 32-byte aligned ring buffer of 33 bytes, which module.ld pads to a word. */
uint8_t tej_ring[33] __attribute__((aligned(32))) = {0x54, 0x45, 0x4a};
volatile uint32_t tej_head;

static const char tej_banner[] = "TEJ monitor"; /* 12 bytes */

int main(void)
{
    for (;;) {
        tej_ring[tej_head % sizeof tej_ring] ^= (uint8_t)tej_banner[tej_head % 11];
        ++tej_head;
    }
}
