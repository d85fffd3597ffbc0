/* ZU (slot 3, -d): keeps _initStackSize as a constant in .rodata.
   SPDX-License-Identifier: MIT */
#include "module.h"

int32_t _initPriority = 30;
const int32_t _initStackSize = 640;
FW_STACK(640);

static const char zu_name[] = "zu-driver"; /* 10 bytes */
volatile uint32_t zu_events;

int main(void)
{
    for (;;)
        zu_events += (uint8_t)zu_name[zu_events % (sizeof zu_name - 1)];
}
