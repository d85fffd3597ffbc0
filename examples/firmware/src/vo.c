/*
 * SPDX-License-Identifier: MIT
 * Vorrel (slot 2, -f): its .data is stored in ROM right after .rodata and
 * copied to RAM by the start-up code, so the section's load address differs
 * from its run address. It declares no _initPriority.
 */
#include "module.h"

int32_t _initStackSize = 512;
FW_STACK(512);

uint32_t vo_state[3] = {0x564f0001, 0x564f0002, 0x564f0003};
uint8_t vo_flags[3] = {1, 2, 3};
volatile uint32_t vo_counter;

static const uint16_t vo_table[] = {2, 3, 5, 7, 11, 13, 17}; /* 14 bytes */

/* The kernel calls this when the boot was told to make vo fault
 * (boot.sh --fault vo): an instruction that is undefined on every ARM. */
void fw_fault(void)
{
    __asm__ volatile(".inst 0xe7f000f0");
}

int main(void)
{
    for (;;) {
        vo_state[vo_counter % 3] += vo_table[vo_counter % 7] + vo_flags[vo_counter % 3];
        ++vo_counter;
    }
}
