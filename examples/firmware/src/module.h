/* Declarations every module of the example firmware shares.
   SPDX-License-Identifier: MIT */
#ifndef FW_MODULE_H
#define FW_MODULE_H

/*
 * The kernel calls each module's entry point with FW_PROBE in r0. The module
 * answers with FW_REPLY, plus one bit for each of its sections that does not
 * hold what the build linked into it.
 */
#define FW_PROBE 0x50524f42      /* "PROB" */
#define FW_REPLY 0x52455000      /* "REP" and a byte of faults */
#define FW_BAD_RODATA 0x1
#define FW_BAD_DATA 0x2
#define FW_BAD_BSS 0x4

#ifndef __ASSEMBLER__
#include <stdint.h>

#define FW_STR_(x) #x
#define FW_STR(x) FW_STR_(x)

/*
 * The module's stack array. start.S points sp at its top, so the array size
 * is also exported as the absolute symbol __stack_bytes.
 */
#define FW_STACK(bytes)                                                   \
    __asm__(".globl __stack_bytes\n\t.set __stack_bytes, " FW_STR(bytes)); \
    uint8_t _initStack[bytes] __attribute__((aligned(8)))

int main(void);

/* startup.c: the faults (FW_BAD_*) of this module's sections as they are
 * now; .bss is expected zero except for [busy, busy + busy_size). */
uint32_t fw_section_faults(uintptr_t busy, uintptr_t busy_size);
#endif

#endif
