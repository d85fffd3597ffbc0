@ SPDX-License-Identifier: MIT
@ Reset entry shared by every module. Probed by the kernel (r0 = FW_PROBE),
@ it answers on the kernel's stack, leaving its own .bss untouched for the
@ check; otherwise it moves .data where it runs and runs main on the
@ module's own stack. __stack_bytes comes from FW_STACK in the module's C file.
#include "module.h"

        .syntax unified
        .arm
        .section .text.start, "ax", %progbits
        .global _start
        .type   _start, %function
        .p2align 2
_start:
        ldr     r1, =FW_PROBE
        cmp     r0, r1
        beq     fw_probe
        ldr     r0, =_initStack
        ldr     r1, =__stack_bytes
        add     sp, r0, r1
        bl      fw_copy_data
        bl      main
1:      b       1b
        .size   _start, . - _start
        .ltorg

@ The stack is not executable.
        .section .note.GNU-stack, "", %progbits
