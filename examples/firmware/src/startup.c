/*
 * SPDX-License-Identifier: MIT
 * Start-up code linked into every module: moves .data from where the image
 * stores it to where it runs, and checks the module's sections against what
 * the build linked into them.
 */
#include "module.h"

/* Section bounds, from the linker script. */
extern const uint8_t __rodata_start[], __rodata_end[];
extern uint8_t __data_start[], __data_end[];
extern const uint8_t __data_load[];
extern uint8_t __bss_start[], __bss_end[];

/* The sums of .rodata and .data as linked: build.sh computes them from the
 * linked module and links it again with them as these symbols' values. */
extern const uint8_t fw_rodata_sum[], fw_data_sum[];

uint32_t fw_probe(void);
void fw_copy_data(void);

/* Addresses as numbers: the bounds belong to different objects. */
#define ADDR(symbol) ((uintptr_t)(symbol))

/* h = h * 31 + byte over [from, to), from 1; build.sh computes the same. */
static uint32_t sum(uintptr_t from, uintptr_t to)
{
    uint32_t h = 1;
    for (const volatile uint8_t *p = (const volatile uint8_t *)from; ADDR(p) < to; ++p)
        h = h * 31 + *p;
    return h;
}

static int zeroed(uintptr_t from, uintptr_t to)
{
    for (const volatile uint8_t *p = (const volatile uint8_t *)from; ADDR(p) < to; ++p)
        if (*p != 0)
            return 0;
    return 1;
}

/* Byte by byte through volatile, so that no memcpy call is generated. A
 * module whose .data runs where it is stored copies it onto itself. */
void fw_copy_data(void)
{
    volatile uint8_t *run = __data_start;
    const volatile uint8_t *stored = __data_load;
    for (uintptr_t i = 0; i < ADDR(__data_end) - ADDR(__data_start); ++i)
        run[i] = stored[i];
}

uint32_t fw_section_faults(uintptr_t busy, uintptr_t busy_size)
{
    uint32_t faults = 0;
    if (sum(ADDR(__rodata_start), ADDR(__rodata_end)) != ADDR(fw_rodata_sum))
        faults |= FW_BAD_RODATA;
    if (sum(ADDR(__data_start), ADDR(__data_end)) != ADDR(fw_data_sum))
        faults |= FW_BAD_DATA;
    if (!zeroed(ADDR(__bss_start), busy) || !zeroed(busy + busy_size, ADDR(__bss_end)))
        faults |= FW_BAD_BSS;
    return faults;
}

/* The answer to the kernel's probe, after the copy a real start-up makes. */
uint32_t fw_probe(void)
{
    fw_copy_data();
    return FW_REPLY | fw_section_faults(ADDR(__bss_start), 0);
}
