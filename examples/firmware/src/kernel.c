/*
 * SPDX-License-Identifier: MIT
 * Kernel (slot 0, -k): checks the firmware as the loader stored it. It
 * prints one line on UART0 for itself, for each module that the
 * auxiliary-vector note describes and for each raw image, then ends the run
 * through semihosting with the number of failed checks as the exit status.
 */
#include "module.h"

/* All three start-up symbols, initialised, in .data. */
int32_t _initPriority = 1;
int32_t _initStackSize = 1024;
FW_STACK(1024);

#define SHARED_DATA 0x00F00000u /* merge.sh's -s: the program header table lies here */
#define PT_NOTE 4
#define PT_PHDR 6
#define NT_AUXV 6

struct phdr {
    uint32_t p_type, p_offset, p_vaddr, p_paddr, p_filesz, p_memsz, p_flags, p_align;
};

/* UART0 (PL011), whose registers are 32-bit words: written with word stores,
 * the character in the low byte. */
#define UART0_DR ((volatile uint32_t *)0x101F1000u)
#define UART0_FR ((volatile uint32_t *)0x101F1018u)
#define UART_TX_FULL 0x20

/* A module as the kernel expects the note to describe it: entry point and
 * stack address as build.sh read them from the linked module (symbols made
 * by build.sh), priority and stack size as its source sets them; and its
 * fw_fault, 0 where it has none. */
struct expected {
    const char *name;
    uint32_t pid, priority, stack_size;
    const uint8_t *entry, *stack, *fault;
};

extern const uint8_t fw_quenlor_entry[], fw_quenlor_stack[], fw_vo_entry[], fw_vo_stack[], fw_zu_entry[],
    fw_zu_stack[], fw_gul_entry[], fw_gul_stack[], fw_rak_entry[], fw_rak_stack[], fw_tej_entry[], fw_tej_stack[];
/* Weak: build.sh sets those of modules without fw_fault to 0. */
extern const uint8_t fw_quenlor_fault[] __attribute__((weak)), fw_vo_fault[] __attribute__((weak)),
    fw_zu_fault[] __attribute__((weak)), fw_gul_fault[] __attribute__((weak)), fw_rak_fault[] __attribute__((weak)),
    fw_tej_fault[] __attribute__((weak));

/* 16-byte aligned so .rodata carries an alignment above the default. */
static const struct expected modules[] __attribute__((aligned(16))) = {
    {"quenlor", 1, 10, 768, fw_quenlor_entry, fw_quenlor_stack, fw_quenlor_fault},
    {"vo", 2, 0, 512, fw_vo_entry, fw_vo_stack, fw_vo_fault}, /* declares no _initPriority */
    {"zu", 3, 30, 640, fw_zu_entry, fw_zu_stack, fw_zu_fault},
    {"gul", 7, 0, 256, fw_gul_entry, fw_gul_stack, fw_gul_fault}, /* _initPriority left in .bss */
    {"rak", 14, 50, 384, fw_rak_entry, fw_rak_stack, fw_rak_fault},
    {"tej", 19, 127, 2048, fw_tej_entry, fw_tej_stack, fw_tej_fault},
};
#define MODULE_COUNT (sizeof modules / sizeof modules[0])

/* The raw images as build.sh writes them: a four-byte tag, then byte i is
 * (i * 37 + 11) & 255. */
struct raw_image {
    const char *name;
    uint32_t at, length;
    char tag[4];
};

static const struct raw_image raw_images[] = {{"ka1", 0x3400, 260, "KA1:"}, {"ka2", 0x12FFFE0, 32, "KA2:"}};

static uint32_t checks, failed;

/* The module named by "fault=NAME" on the command line, "" when none. */
static char fault_target[16];

void fw_install_vectors(void);

/* Not inlined: each string would otherwise be unrolled into a store per
 * character. */
static void __attribute__((noinline)) put_char(char c)
{
    while (*UART0_FR & UART_TX_FULL) {
    }
    *UART0_DR = (uint8_t)c;
}

static void __attribute__((noinline)) put_str(const char *s)
{
    while (*s)
        put_char(*s++);
}

/* s, then spaces up to width characters. */
static void put_column(const char *s, int width)
{
    for (; *s; --width)
        put_char(*s++);
    for (; width > 0; --width)
        put_char(' ');
}

static void put_hex(uint32_t v)
{
    put_str("0x");
    for (int shift = 28; shift >= 0; shift -= 4)
        put_char("0123456789abcdef"[(v >> shift) & 15]);
}

static void put_dec(uint32_t v)
{
    char digits[10];
    int n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        put_char(digits[--n]);
}

/* "name     pid N   " */
static void put_module(const char *name, uint32_t pid)
{
    put_column(name, 9);
    put_str("pid ");
    put_dec(pid);
    put_str(pid < 10 ? "   " : "  ");
}

/* Counts one check and ends its line. */
static void end_check(int ok)
{
    ++checks;
    failed += !ok;
    put_char('\n');
}

/* SYS_EXIT_EXTENDED: QEMU exits with the given status. (SYS_EXIT lets a
 * 32-bit guest report only success or failure.) */
static void __attribute__((noreturn)) exit_with(uint32_t status)
{
    volatile uint32_t block[2] = {0x20026, status}; /* ADP_Stopped_ApplicationExit */
    register uint32_t op __asm__("r0") = 0x20;
    register volatile uint32_t *arg __asm__("r1") = block;
    __asm__ volatile("svc 0x123456" : : "r"(op), "r"(arg) : "memory");
    for (;;) {
    }
}

#define PSR_THUMB 0x20

/* Called from vectors.S on any exception: a module told to fault, or a
 * probed module whose code was not where its entry point said. Prints the
 * instruction's address and the lr of the mode it ran in, for a log reader. */
void __attribute__((noreturn)) kernel_trap(uint32_t vector, uint32_t return_address, uint32_t lr, uint32_t spsr)
{
    static const char *const names[8] = {"reset", "undefined instruction", "supervisor call", "prefetch abort",
                                         "data abort", "reserved vector", "IRQ", "FIQ"};
    /* How far the return address lies past the instruction, in ARM state;
     * an undefined instruction or svc in Thumb state lies 2 bytes back. */
    static const uint8_t back[8] = {0, 4, 4, 4, 8, 4, 4, 4};
    const uint32_t i = vector / 4 & 7;
    const uint32_t pc = return_address - ((i == 1 || i == 2) && (spsr & PSR_THUMB) ? 2 : back[i]);
    put_char('\n');
    put_str(names[i]);
    put_str(" at pc ");
    put_hex(pc);
    put_str(", lr ");
    put_hex(lr);
    put_char('\n');
    exit_with(failed + 1);
}

/* SYS_GET_CMDLINE into fault_target: the NAME of a "fault=NAME" word. The
 * buffer is read as words, each holding its first character in its low
 * byte: under QEMU's BE32 model a byte load finds each word's in reverse. */
static void read_fault_target(void)
{
    uint32_t words[32];
    volatile uint32_t block[2] = {(uintptr_t)words, sizeof words};
    register uint32_t op __asm__("r0") = 0x15;
    register volatile uint32_t *arg __asm__("r1") = block;
    __asm__ volatile("svc 0x123456" : "+r"(op) : "r"(arg) : "memory");
    if (op != 0)
        return;
    static const char key[] = "fault=";
    const uint32_t length = block[1] < sizeof words ? block[1] : sizeof words;
    uint32_t matched = 0, n = 0;
    char previous = ' ';
    for (uint32_t i = 0; i < length; ++i) {
        const char c = (char)(words[i / 4] >> (8 * (i % 4)));
        if (matched == sizeof key - 1) {
            if (c == ' ' || c == 0)
                break;
            if (n < sizeof fault_target - 1)
                fault_target[n++] = c;
        } else if (c == key[matched] && (matched > 0 || previous == ' ')) {
            ++matched;
        } else {
            matched = 0;
        }
        previous = c;
    }
    fault_target[n] = 0;
}

static int same_name(const char *a, const char *b)
{
    while (*a && *a == *b)
        ++a, ++b;
    return *a == *b;
}

/* "  rodata ok  data ok  bss ok", BAD for each fault; whether all were ok. */
static int put_sections(uint32_t faults)
{
    static const char *const names[] = {"rodata", "data", "bss"};
    for (unsigned i = 0; i < 3; ++i) {
        put_str("  ");
        put_str(names[i]);
        put_str(faults & (1u << i) ? " BAD" : " ok");
    }
    return faults == 0;
}

/* Runs the module's start-up code in probe mode and reports its answer. */
static int probe(uint32_t entry)
{
    const uint32_t reply = ((uint32_t(*)(uint32_t))entry)(FW_PROBE);
    if ((reply & ~(uint32_t)(FW_BAD_RODATA | FW_BAD_DATA | FW_BAD_BSS)) != FW_REPLY) {
        put_str("  no reply: ");
        put_hex(reply);
        return 0;
    }
    return put_sections(reply & 0xff);
}

static const struct expected *expected_module(uint32_t pid)
{
    for (unsigned i = 0; i < MODULE_COUNT; ++i)
        if (modules[i].pid == pid)
            return &modules[i];
    return 0;
}

/* Compares the note's values after the pid (entry, priority, stack size,
 * stack) with the module's; prints "note ok" or what differs. */
static int put_note_check(const struct expected *m, const uint32_t value[5])
{
    const uint32_t want[5] = {m->pid, (uintptr_t)m->entry, m->priority, m->stack_size, (uintptr_t)m->stack};
    static const char *const names[5] = {"", "entry", "priority", "stack-size", "stack"};
    int ok = 1;
    for (unsigned i = 1; i < 5; ++i)
        if (value[i] != want[i]) {
            put_str(ok ? "note BAD: " : " ");
            put_str(names[i]);
            ok = 0;
        }
    if (ok)
        put_str("note ok ");
    return ok;
}

/* One group of the note: five (tag, value) pairs. Checks it against the
 * kernel's table, then probes the module when its entry point is the one
 * expected. Returns the module's bit in the table's order, 0 if none. */
static uint32_t check_group(const uint32_t *pair)
{
    static const uint32_t tags[5] = {11, 9, 125, 126, 127};
    uint32_t value[5];
    for (unsigned i = 0; i < 5; ++i) {
        if (pair[2 * i] != tags[i]) {
            put_str("note group with tag ");
            put_dec(pair[2 * i]);
            put_str(" where ");
            put_dec(tags[i]);
            put_str(" belongs");
            end_check(0);
            return 0;
        }
        value[i] = pair[2 * i + 1];
    }
    const struct expected *m = expected_module(value[0]);
    put_module(m ? m->name : "unknown", value[0]);
    if (m == 0) {
        put_str("not expected");
        end_check(0);
        return 0;
    }
    int ok = put_note_check(m, value);
    if (value[1] == (uintptr_t)m->entry)
        ok &= probe(value[1]);
    /* After the probe, so that the module's .data is where it runs. */
    if (m->fault && same_name(fault_target, m->name))
        ((void (*)(void))m->fault)();
    end_check(ok);
    return 1u << (m - modules);
}

/* The note's first pair, through the PT_PHDR entry at the Shared Data
 * address and the table's PT_NOTE entry; sets *groups. 0 when not found. */
static const uint32_t *find_note(uint32_t *groups)
{
    const struct phdr *table = (const struct phdr *)SHARED_DATA;
    if (table[0].p_type != PT_PHDR || table[0].p_vaddr != SHARED_DATA)
        return 0;
    for (uint32_t i = 1; i < table[0].p_filesz / sizeof *table; ++i) {
        if (table[i].p_type != PT_NOTE)
            continue;
        const uint32_t *note = (const uint32_t *)(uintptr_t)table[i].p_vaddr;
        if (note[0] != 0 || note[2] != NT_AUXV || note[1] % 40 != 0 || note[1] + 12 != table[i].p_filesz)
            return 0;
        *groups = note[1] / 40;
        return note + 3;
    }
    return 0;
}

/* Every group of the note, then every module of the table it left out. */
static void check_note(void)
{
    uint32_t groups = 0, seen = 0;
    const uint32_t *pair = find_note(&groups);
    if (pair == 0) {
        put_str("no auxiliary-vector note through a program header table at ");
        put_hex(SHARED_DATA);
        end_check(0);
    }
    for (uint32_t g = 0; g < groups; ++g)
        seen |= check_group(pair + 10 * g);
    for (unsigned i = 0; i < MODULE_COUNT; ++i)
        if (!(seen & (1u << i))) {
            put_module(modules[i].name, modules[i].pid);
            put_str("not in the note");
            end_check(0);
        }
}

static void check_raw(const struct raw_image *r)
{
    const volatile uint8_t *at = (const volatile uint8_t *)(uintptr_t)r->at;
    uint32_t wrong = 0;
    for (uint32_t i = 0; i < r->length; ++i)
        wrong += at[i] != (i < 4 ? (uint8_t)r->tag[i] : (uint8_t)(i * 37 + 11));
    put_column(r->name, 9);
    put_str("raw at ");
    put_hex(r->at);
    put_str(", ");
    put_dec(r->length);
    put_str(" bytes");
    if (wrong != 0) {
        put_str(", ");
        put_dec(wrong);
        put_str(" BAD");
    } else {
        put_str(" ok");
    }
    end_check(wrong == 0);
}

int main(void)
{
    /* First, before anything writes to .bss: the kernel's own sections, its
     * stack (in use) aside. */
    const uint32_t own = fw_section_faults((uintptr_t)_initStack, sizeof _initStack);
    fw_install_vectors();
    put_module("kernel", 0);
    put_str("running ");
    end_check(put_sections(own));
    read_fault_target();
    check_note();
    if (fault_target[0]) {
        put_str("fault=");
        put_str(fault_target);
        put_str(": names no module that has a fw_fault");
        end_check(0);
    }
    for (unsigned i = 0; i < sizeof raw_images / sizeof raw_images[0]; ++i)
        check_raw(&raw_images[i]);
    if (failed == 0) {
        put_str("all ");
    } else {
        put_dec(failed);
        put_str(" of ");
    }
    put_dec(checks);
    put_str(failed == 0 ? " checks passed\n" : " checks failed\n");
    exit_with(failed);
}
