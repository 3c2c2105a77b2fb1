/* For the x86 test programs of the DLLs: checks that an export uses the caller-cleans
 * (__cdecl) convention. */
#ifndef SUITE_CALLER_CLEANS_H
#define SUITE_CALLER_CLEANS_H

#if defined(__i386__)
#include <stdint.h>

/* Calls f with one 32-bit argument the way a caller-cleans caller does and returns how far the
 * stack pointer moved: 0 when the function left the argument for the caller to pop, 4 when it
 * popped it itself (a callee-cleans function, which would corrupt its callers' stacks). */
static inline int stackMovedByCall(const void* f, uint32_t arg) {
    int moved;
    __asm__ volatile(
        "movl %%esp, %%esi\n\t"
        "pushl %2\n\t"
        "call *%1\n\t"
        "addl $4, %%esp\n\t"
        "movl %%esp, %0\n\t"
        "subl %%esi, %0\n\t"
        "movl %%esi, %%esp\n\t"
        : "=&r"(moved)
        : "r"(f), "m"(arg)
        : "eax", "ecx", "edx", "esi", "memory", "cc");
    return moved;
}
#endif

#endif /* SUITE_CALLER_CLEANS_H */
