/* Kernel (slot 0, -k): counts ticks and walks its task table. */
#include "module.h"

/* All three start-up symbols, initialised, in .data. */
int32_t _initPriority = 1;
int32_t _initStackSize = 1024;
FW_STACK(1024);

struct task {
    const char *name;
    uint32_t pid;
};

/* 16-byte aligned so .rodata carries an alignment above the default. */
static const struct task tasks[] __attribute__((aligned(16))) = {
    {"quenlor", 1}, {"vo", 2}, {"zu", 3}, {"gul", 7}, {"rak", 14}, {"tej", 19},
};

volatile uint32_t ticks;
volatile uint32_t pid_sum;
char kernel_tag[] = "QO-kernel"; /* 10 bytes: .data ends off a word boundary */

int main(void)
{
    for (;;) {
        uint32_t t = ticks;
        const struct task *task = &tasks[t % (sizeof tasks / sizeof tasks[0])];
        pid_sum += task->pid + (uint8_t)task->name[0] + (uint8_t)kernel_tag[t % (sizeof kernel_tag - 1)];
        ticks = t + 1;
    }
}
