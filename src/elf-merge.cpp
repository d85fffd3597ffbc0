// SPDX-License-Identifier: MIT
// elf-merge: composes one big-endian ELF32 ARM executable from the modules of
// a firmware, each named on the command line by the option letter of its slot.
#include "elf-merge.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unistd.h>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

constexpr uint32_t SD_ALIGN = 0x4000;
constexpr uint64_t ADDRESS_SPACE_END = 0x100000000;
// 0xFFFF is PN_XNUM, which sends readers to a section header for the real
// count; the image has none.
constexpr uint32_t MAX_PHNUM = 0xFFFE;

// ---------------------------------------------------------------------------
// Command line

[[noreturn]] void usage(const char* program)
{
    std::fprintf(stderr, "usage: %s\n", program);
    std::fputs(" -k, --kernel filename  - QO executable file.\n"
               " -s, --sd_addr <addr>   - Shared Data Segment address.\n"
               " -z, --sd_size <size>   - Shared Data Segment size in bytes.\n"
               " -f, --vo filename      - Vorrel executable file.\n"
               " -e, --quenlor filename - Quenlorex executable file.\n"
               " -d, --zu filename      - ZU executable file.\n"
               " -u, --ra0 filename     - RA0 executable file.\n"
               " -v, --ra1 filename     - RA1 executable file.\n"
               " -E, --mivo filename    - MIVO executable file.\n"
               " -c, --gul filename     - GUL executable file.\n"
               " -n, --pim filename     - PIM executable file.\n"
               " -K, --qy filename      - QY executable file.\n"
               " -W, --wy filename      - WY executable file.\n"
               " -L, --uq filename      - UQ executable file.\n"
               " -C, --fyx filename     - FYX executable file.\n"
               " -N, --dov filename     - DOV executable file.\n"
               " -S, --rak filename     - RAK executable file.\n"
               " -a, --tolvin filename  - TOLVIN executable file.\n"
               " -b, --norvala filename - Norvala executable file.\n"
               " -x, --hux filename     - HUX executable file.\n"
               " -y, --lem filename     - LEM executable file.\n"
               " -F, --tej filename     - TEJ executable file.\n"
               " -p, --ka1 filename     - KA1 for Norvala.\n"
               " -P, --ka2 filename     - KA2 for Norvala.\n"
               " -r, --rm               - output is a resource manager.\n"
               " -o, --outfile filename - output file.\n"
               " -h, --help             - print this message.\n",
               stderr);
    std::exit(1);
}

[[noreturn]] void out_of_memory()
{
    fatal("Out of memory.\n");
}

// Registers a module and reads it at once, so that a bad module ends the run
// before any later option is looked at.
void process_infile(std::vector<ELF_DESC>& modules, int slot, const char* name, int32_t kind)
{
    const int32_t slot_pid = process_id[slot];
    modules.push_back(ELF_DESC(name, slot_pid, prot_mask[slot], kind));
    ELF_DESC& m = modules.back();
    m.read_elf();
    if (slot == KA1_SLOT || slot == KA2_SLOT)
        m.entry = 0xFFFFFFFF;
    if (m.entry == 0xFFFFFFFF || slot_pid == -1)
        return;
    ++settings.entry_count;
    // The first module of the lowest pid supplies the image's entry point.
    if (settings.pid == -1 || slot_pid < settings.pid) {
        settings.pid = slot_pid;
        settings.entry = m.entry;
    }
}

uint32_t hex_argument(const char* text, char letter, const char* program)
{
    uint32_t value = 0;
    if (!parse_hex(text, value)) {
        std::fprintf(stderr, "Invalid hexadecimal number %s for -%c.\n", text, letter);
        usage(program);
    }
    return value;
}

void set_sd_addr(const char* text, const char* program)
{
    settings.sd_addr = hex_argument(text, 's', program);
    if (settings.sd_addr & (SD_ALIGN - 1)) {
        std::fprintf(stderr, "Shared Data address must be 0x%x aligned.\n", SD_ALIGN);
        usage(program);
    }
}

[[noreturn]] void print_version()
{
    std::printf("elf-merge %s\n", ELF_MERGE_VERSION);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        fatal("Error writing to standard output -- %s.\n", std::strerror(errno));
    std::exit(0);
}

void handle_option(int letter, const char* program, std::vector<ELF_DESC>& modules)
{
    switch (letter) {
    case 'k':
        settings.load_phdr = 1;
        process_infile(modules, KERNEL_SLOT, optarg, ELF_KIND);
        return;
    case 'p':
        process_infile(modules, KA1_SLOT, optarg, KA1_KIND);
        return;
    case 'P':
        process_infile(modules, KA2_SLOT, optarg, KA2_KIND);
        return;
    case 'o':
        settings.outfile = optarg;
        return;
    case 's':
        set_sd_addr(optarg, program);
        return;
    case 'z':
        settings.sd_size = hex_argument(optarg, 'z', program);
        return;
    case 'r':
        settings.resource_manager = 1;
        return;
    case VERSION_OPTION:
        print_version();
    }
    // -h, '?' from getopt and anything else unexpected lead to the usage text.
    const size_t slot = slot_letters.find(static_cast<char>(letter));
    if (slot == std::string_view::npos || slot >= SYSTEM_SLOT)
        usage(program);
    process_infile(modules, static_cast<int>(slot), optarg, ELF_KIND);
}

// Every argument must be an option or an option's value: a file named
// without its letter would silently be left out of the firmware.
void parse_options(int argc, char** argv, const char* program, std::vector<ELF_DESC>& modules)
{
    int letter;
    while ((letter = getopt_long(argc, argv, options, long_options, nullptr)) != -1)
        handle_option(letter, program, modules);
    if (optind < argc) {
        std::fprintf(stderr, "Unexpected argument %s -- every module needs its option letter.\n", argv[optind]);
        usage(program);
    }
}

void check_settings(const char* program)
{
    if (!settings.outfile) {
        std::fputs("Output file undefined.\n", stderr);
        usage(program);
    }
    if (settings.resource_manager) {
        settings.load_phdr = 1;
    } else if (settings.load_phdr && settings.sd_addr == 0) {
        std::fputs("Shared Data Segment address not specified.\n", stderr);
        usage(program);
    }
}

// ---------------------------------------------------------------------------
// System entries (kernel and resource-manager modes)

// The note and its size; null and 0 when no module is described.
struct NOTE_SPACE {
    NOTE_DESC* note = nullptr;
    int32_t size = 0;
};

NOTE_SPACE make_note(const std::vector<ELF_DESC>& modules)
{
    NOTE_SPACE space;
    const uint64_t bytes = sizeof(NOTE_DESC) + static_cast<uint64_t>(NOTE_GROUP_SIZE) * settings.entry_count;
    void* buffer = bytes <= INT32_MAX ? std::malloc(bytes) : nullptr;
    if (!buffer)
        out_of_memory();
    space.note = new (buffer) NOTE_DESC(modules, settings.pid, settings.entry_count);
    space.size = static_cast<int32_t>(bytes);
    return space;
}

// First step: PT_PHDR, PT_NOTE when a module is described, and the Shared
// Data segment, at the head of the still empty list. Their sizes wait for the
// final count.
NOTE_SPACE make_system_entries(std::vector<Elf32_Phdr>& phdrs, const Elf32_Ehdr& ehdr,
                               const std::vector<ELF_DESC>& modules)
{
    const uint32_t flags = prot_mask[SYSTEM_SLOT];
    NOTE_SPACE space;
    phdrs.push_back({});
    generate_phdr_segment(phdrs.back(), settings.sd_addr, ehdr.e_phoff, flags);
    if (settings.entry_count >= 1) {
        space = make_note(modules);
        phdrs.push_back({});
        generate_note_segment(phdrs.back(), flags, space.size);
    }
    phdrs.push_back(
        Elf32_Phdr{PT_LOAD, ehdr.e_phoff, settings.sd_addr, settings.sd_addr, 0, settings.sd_size, flags, SD_ALIGN});
    return space;
}

// Second step: sizes and places the system entries once the table's size is
// known. Returns the index of the first section-built entry.
size_t complete_system_entries(std::vector<Elf32_Phdr>& phdrs, uint32_t& data_start)
{
    const uint32_t table_size = static_cast<uint32_t>(phdrs.size()) * PHDR_SIZE;
    if (phdrs.empty() || phdrs[0].p_type != PT_PHDR)
        fatal("Internal error -- missing PT_PHDR program header entry.\n");
    phdrs[0].p_filesz = table_size;
    phdrs[0].p_memsz = table_size;

    uint32_t sd_filesz = table_size;
    size_t sd_index = 1;
    if (settings.entry_count >= 1) {
        if (phdrs.size() < 2 || phdrs[1].p_type != PT_NOTE)
            fatal("Internal error -- missing PT_NOTE program header entry.\n");
        Elf32_Phdr& note = phdrs[1];
        note.p_offset = data_start;
        note.p_vaddr = note.p_paddr = phdrs[0].p_vaddr + table_size;
        sd_filesz += note.p_filesz;
        data_start += note.p_filesz;
        sd_index = 2;
    }
    if (phdrs.size() <= sd_index ||
        (phdrs[sd_index].p_type != PT_LOAD && phdrs[sd_index].p_offset != phdrs[0].p_offset))
        fatal("Internal error -- missing PT_LOAD program header entry for Shared Data segment.\n");

    Elf32_Phdr& sd = phdrs[sd_index];
    sd.p_filesz = sd_filesz;
    sd.p_memsz = std::max(sd.p_memsz, sd_filesz);
    // Program segments must keep clear of all the memory the segment covers,
    // the table and note included, not only of the size -z gave.
    settings.sd_size = sd.p_memsz;
    if (static_cast<uint64_t>(sd.p_vaddr) + sd.p_memsz > 0x100000000)
        fatal("Shared Data Segment (0x%08x, 0x%x bytes) ends beyond the 32-bit address space.\n", sd.p_vaddr,
              sd.p_memsz);
    return sd_index + 1;
}

// ---------------------------------------------------------------------------
// Layout

// Sets e_phnum and returns the data start as it is before any note.
uint32_t count_entries(Elf32_Ehdr& ehdr, const std::vector<Elf32_Phdr>& phdrs)
{
    if (phdrs.size() > MAX_PHNUM)
        fatal("Too many program header entries (%zu); at most 65534 fit.\n", phdrs.size());
    ehdr.e_phnum = static_cast<uint16_t>(phdrs.size());
    const uint32_t data_start = ehdr.e_phoff + PHDR_SIZE * static_cast<uint32_t>(phdrs.size());
    // ELF marks a file without a program header table by e_phoff 0; readers
    // take a non-zero offset with no entries for a damaged header.
    if (phdrs.empty())
        ehdr.e_phoff = 0;
    return data_start;
}

void check_shared_data_overlap(const Elf32_Phdr& p)
{
    const uint64_t end = static_cast<uint64_t>(p.p_vaddr) + p.p_memsz;
    const uint64_t sd_end = static_cast<uint64_t>(settings.sd_addr) + settings.sd_size;
    if (end > settings.sd_addr && sd_end > p.p_vaddr)
        fatal("Shared Data segment overlaps with program segment on (0x%08" PRIx32 " - 0x%08" PRIx64 ").\n",
              p.p_vaddr, end);
}

// Turns relative offsets into file offsets and keeps every section-built
// segment clear of the Shared Data range.
void place_segments(std::vector<Elf32_Phdr>& phdrs, size_t first, uint32_t data_start)
{
    for (size_t i = first; i < phdrs.size(); ++i) {
        Elf32_Phdr& p = phdrs[i];
        if (static_cast<uint64_t>(p.p_offset) + data_start + p.p_filesz > UINT32_MAX)
            fatal("Image too large -- its section data passes 4 GiB.\n");
        p.p_offset += data_start;
        check_shared_data_overlap(p);
    }
}

// The module whose section starts entry p: sections are sorted by address and
// never share one, so that section is the only one at p_vaddr.
const char* owner_of(const Elf32_Phdr& p, const std::vector<SHDR_HANDLE>& sections)
{
    const auto first = std::lower_bound(sections.begin(), sections.end(), p.p_vaddr,
                                        [](const SHDR_HANDLE& h, uint32_t addr) { return h.sh_addr < addr; });
    return first != sections.end() ? first->desc->name : "?";
}

// A loader stores each entry's file bytes at its load address: no two may
// share a byte, and none may run past the top of memory.
void check_load_ranges(const std::vector<Elf32_Phdr>& phdrs, size_t sd_index,
                       const std::vector<SHDR_HANDLE>& sections)
{
    const auto name = [&](size_t entry) {
        return entry == sd_index ? "Shared Data segment" : owner_of(phdrs[entry], sections);
    };
    const std::vector<LOAD_RANGE> ranges = sorted_load_ranges(phdrs);
    for (const LOAD_RANGE& r : ranges)
        if (r.end > ADDRESS_SPACE_END)
            fatal("Load range of %s [0x%08" PRIx32 " - 0x%09" PRIx64 ") ends beyond the 32-bit address space.\n",
                  name(r.entry), r.start, r.end);
    const size_t i = first_load_overlap(ranges);
    if (i == SIZE_MAX)
        return;
    const LOAD_RANGE& a = ranges[i];
    const LOAD_RANGE& b = ranges[i + 1];
    fatal("Overlapping load addresses between %s [0x%08" PRIx32 " - 0x%08" PRIx64 ") and %s [0x%08" PRIx32
          " - 0x%08" PRIx64 ").\n",
          name(a.entry), a.start, a.end, name(b.entry), b.start, b.end);
}

// The run is over: close the module files and hand back the note, so that
// leak checkers see a clean exit.
void release_all(std::vector<ELF_DESC>& modules, NOTE_SPACE& note)
{
    release_modules(modules);
    std::free(note.note);
}

} // namespace

int main(int argc, char** argv)
{
    std::set_new_handler(out_of_memory);
    std::vector<ELF_DESC> modules;

    const char* program = argc > 0 ? argv[0] : "elf-merge";

    // Modules are registered and read in command-line order.
    parse_options(argc, argv, program, modules);
    check_settings(program);

    Elf32_Ehdr ehdr;
    merge_ehdr(modules, ehdr);
    ehdr.e_entry = settings.entry;
    // Without -r the lowest-pid module starts the image and is not described.
    if (!settings.resource_manager)
        --settings.entry_count;

    // The system entries come first; sections only append after them.
    std::vector<Elf32_Phdr> phdrs;
    NOTE_SPACE note;
    if (settings.load_phdr)
        note = make_system_entries(phdrs, ehdr, modules);

    std::vector<SHDR_HANDLE> sections;
    merge_shdr(phdrs, sections, modules);

    uint32_t data_start = count_entries(ehdr, phdrs);
    size_t first_section_entry = 0;
    if (settings.load_phdr)
        first_section_entry = complete_system_entries(phdrs, data_start);
    place_segments(phdrs, first_section_entry, data_start);
    // Without system entries no index names the Shared Data segment.
    check_load_ranges(phdrs, settings.load_phdr ? first_section_entry - 1 : SIZE_MAX, sections);

    // The output may be one of the inputs: whatever it would overwrite is read first.
    protect_inputs(modules, settings.outfile);
    if (write_elf(settings.outfile, ehdr, phdrs, note.note, note.size, sections) < 0)
        fatal("Error writing to %s -- %s.\n", settings.outfile, std::strerror(errno));
    release_all(modules, note);
    return 0;
}
