/* Declarations every module of the example firmware shares. */
#ifndef FW_MODULE_H
#define FW_MODULE_H

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

#endif
