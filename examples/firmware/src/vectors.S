@ SPDX-License-Identifier: MIT
@ The kernel's exception vectors, copied to address 0 at start-up: a probed
@ module whose code is not what was linked ends the boot at once, with a
@ line that says so, instead of running on through memory.
        .syntax unified
        .arm
        .text
        .global fw_install_vectors
        .type   fw_install_vectors, %function
        .p2align 2
fw_install_vectors:
        mov     r0, #0
        adr     r1, vectors
        mov     r2, #64                 @ 8 instructions, 8 handler addresses
1:      ldr     r3, [r1], #4
        str     r3, [r0], #4
        subs    r2, r2, #4
        bne     1b
        bx      lr
        .size   fw_install_vectors, . - fw_install_vectors

@ Each vector loads pc from the word 32 bytes on (pc reads 8 ahead).
vectors:
        .rept   8
        ldr     pc, [pc, #24]
        .endr
        .word   trap0, trap1, trap2, trap3, trap4, trap5, trap6, trap7

        .irp    n, 0, 1, 2, 3, 4, 5, 6, 7
trap\n: mov     r0, #(\n * 4)
        b       trap
        .endr

@ kernel_trap(vector address, return address, lr, spsr) on the kernel's
@ stack, which is no longer needed: it prints and ends the run. The lr is
@ that of the mode the exception came from (System for User, which shares
@ it), read by switching to that mode and back.
trap:   mov     r1, lr
        mrs     r3, spsr
        and     r2, r3, #0x1f
        cmp     r2, #0x10
        moveq   r2, #0x1f
        orr     r2, r2, #0xc0           @ interrupts masked, ARM state
        mrs     r12, cpsr
        msr     cpsr_c, r2
        mov     r2, lr
        msr     cpsr_c, r12
        ldr     sp, =_initStack
        ldr     r12, =__stack_bytes
        add     sp, sp, r12
        bl      kernel_trap
        .ltorg

        .section .note.GNU-stack, "", %progbits
