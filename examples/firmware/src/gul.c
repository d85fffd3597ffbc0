/* GUL (slot 7, -c): _initPriority is left uninitialised, so it lives in .bss.
   SPDX-License-Identifier: MIT */
#include "module.h"

int32_t _initPriority;
int32_t _initStackSize = 256;
FW_STACK(256);

/* 8-byte aligned words so .data has an alignment of 8. */
uint64_t gul_seed = 0x47554c0000000001ull;
volatile uint32_t gul_out;

static const uint32_t gul_mask[4] = {0x000000ff, 0x0000ff00, 0x00ff0000, 0xff000000};

int main(void)
{
    for (;;) {
        gul_seed = gul_seed * 6364136223846793005ull + 1442695040888963407ull;
        gul_out = (uint32_t)(gul_seed >> 33) & gul_mask[gul_out & 3];
    }
}
