@ Reset entry shared by every module: run main on the module's own stack.
@ __stack_bytes comes from FW_STACK in the module's C file.
        .syntax unified
        .arm
        .section .text.start, "ax", %progbits
        .global _start
        .type   _start, %function
        .p2align 2
_start:
        ldr     r0, =_initStack
        ldr     r1, =__stack_bytes
        add     sp, r0, r1
        bl      main
1:      b       1b
        .size   _start, . - _start
        .ltorg

@ The stack is not executable.
        .section .note.GNU-stack, "", %progbits
