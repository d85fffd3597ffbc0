// SPDX-License-Identifier: MIT
// Image composition: the output header, the system segment records, the
// section-built PT_LOAD segments, the auxiliary-vector note, and the phases
// that compose them into the image's layout.
#include "elf-merge.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Ends are computed in 64 bits so that nothing wraps at the top of memory.
uint64_t section_end(const Elf32_Shdr& s)
{
    return static_cast<uint64_t>(s.sh_addr) + s.sh_size;
}

uint64_t section_end(const SHDR_HANDLE& s)
{
    return static_cast<uint64_t>(s.sh_addr) + s.sh_size;
}

uint64_t round_up4(uint64_t v)
{
    return (v + 3) & ~static_cast<uint64_t>(3);
}

// sh_addralign 0 means no constraint, as in ELF.
bool address_aligned(const Elf32_Shdr& s)
{
    return s.sh_addralign == 0 || (s.sh_addr & (s.sh_addralign - 1)) == 0;
}

// ---------------------------------------------------------------------------
// Collection, sorting, overlap

// Asks for [data, data + bytes), not yet touched, to be backed by huge pages
// where the kernel allows: a million section handles would otherwise first
// touch eight thousand pages, each a costly fault.
void prefer_huge_pages(void* data, size_t bytes)
{
    constexpr size_t HUGE_PAGE = 2 << 20;
    const long page = sysconf(_SC_PAGESIZE);
    if (bytes < HUGE_PAGE || page <= 0)
        return;
    const auto mask = static_cast<uintptr_t>(page) - 1;
    const auto start = (reinterpret_cast<uintptr_t>(data) + mask) & ~mask;
    const auto end = (reinterpret_cast<uintptr_t>(data) + bytes) & ~mask;
    // Only a hint: where the kernel has no huge pages, nothing changes.
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

SHDR_HANDLE handle_of(const ELF_DESC& m, uint32_t module, uint32_t index, const Elf32_Shdr& s)
{
    const uint32_t flags = s.sh_flags & (SHF_WRITE | SHF_ALLOC | SHF_EXECINSTR);
    return {&m, module, s.sh_addr, s.sh_offset, s.sh_size, s.sh_addralign, index, flags, s.sh_type == SHT_NOBITS};
}

void collect_section(std::vector<SHDR_HANDLE>& sections, const ELF_DESC& m, uint32_t module, uint32_t i,
                     const Elf32_Shdr& s, const SECTION_OBSERVER& observe)
{
    if (!(s.sh_flags & SHF_ALLOC) || s.sh_size == 0)
        return;
    if (!address_aligned(s))
        fatal("Section %d of %s has inconsistent alignment.\n", static_cast<int>(i), m.name);
    if (section_end(s) > ADDRESS_SPACE_END)
        fatal("Section %d of %s ends beyond the 32-bit address space.\n", static_cast<int>(i), m.name);
    sections.push_back(handle_of(m, module, i, s));
    if (observe)
        observe(sections.back(), s);
}

// Each module's section headers are read again, a chunk at a time, so that
// only the collected sections are held.
void collect_module(std::vector<SHDR_HANDLE>& sections, const ELF_DESC& m, uint32_t module,
                    std::vector<Elf32_Shdr>& chunk, const SECTION_OBSERVER& observe)
{
    for (uint32_t first = 0; first < m.shnum; first += SHDR_CHUNK) {
        chunk.resize(std::min(SHDR_CHUNK, m.shnum - first));
        read_section_headers(m, first, chunk);
        for (uint32_t k = 0; k < chunk.size(); ++k)
            collect_section(sections, m, module, first + k, chunk[k], observe);
    }
}

void collect_sections(std::vector<SHDR_HANDLE>& sections, const std::vector<ELF_DESC>& modules,
                      const SECTION_OBSERVER& observe)
{
    // One allocation of the most that can be collected: growing by doubling
    // would hold up to twice the list at its peak.
    size_t most = sections.size();
    for (const ELF_DESC& m : modules)
        most += m.shnum;
    sections.reserve(most);
    prefer_huge_pages(sections.data(), sections.capacity() * sizeof(SHDR_HANDLE));
    std::vector<Elf32_Shdr> chunk;
    for (size_t i = 0; i < modules.size(); ++i)
        collect_module(sections, modules[i], static_cast<uint32_t>(i), chunk, observe);
}

// Sorted by address, any overlap shows up between neighbours; the first pair
// in address order is the one reported.
void check_overlaps(const std::vector<SHDR_HANDLE>& sections)
{
    for (size_t i = 0; i + 1 < sections.size(); ++i) {
        const SHDR_HANDLE& e = sections[i];
        const SHDR_HANDLE& l = sections[i + 1];
        if (section_end(e) > l.sh_addr)
            fatal("Overlapping sections between %s [0x%08" PRIx32 " - 0x%08" PRIx64 ") and %s [0x%08" PRIx32
                  " - 0x%08" PRIx64 ").\n",
                  e.desc->name, e.sh_addr, section_end(e), l.desc->name, l.sh_addr, section_end(l));
    }
}

// ---------------------------------------------------------------------------
// Segment building

// True when the module's program headers, in table order, start at strictly
// ascending addresses and none reaches into the next (empty ones included):
// then at most one holds any address, so the first match is the only match.
bool phdrs_ordered(const ELF_DESC& m)
{
    for (uint32_t i = 1; i < m.phdr.size(); ++i)
        if (segment_end(m.phdr[i - 1]) > m.phdr[i].p_vaddr || m.phdr[i - 1].p_vaddr >= m.phdr[i].p_vaddr)
            return false;
    return true;
}

// How a module's program headers are searched. An ordered table is searched
// from the header that held the last address asked for, then by binary
// search: sections come in address order, so the next one is usually in the
// same header or the one after it.
struct PHDR_LOOKUP {
    bool ordered = false;
    uint32_t last = 0;
};

// Index of the program header that holds addr, or phnum: the first match in
// table order, the only match in an ordered table.
uint32_t holding_phdr(const ELF_DESC& m, uint32_t addr, PHDR_LOOKUP& lookup)
{
    const auto holds = [addr](const Elf32_Phdr& h) { return h.p_vaddr <= addr && addr < segment_end(h); };
    if (!lookup.ordered) {
        for (uint32_t i = 0; i < m.phnum; ++i)
            if (holds(m.phdr[i]))
                return i;
        return m.phnum;
    }
    for (uint32_t i = lookup.last; i < m.phnum && i <= lookup.last + 1; ++i)
        if (holds(m.phdr[i]))
            return lookup.last = i;
    // The last header starting at or below addr is the only candidate.
    uint32_t lo = 0;
    uint32_t hi = m.phnum;
    while (lo < hi) {
        const uint32_t mid = lo + (hi - lo) / 2;
        if (m.phdr[mid].p_vaddr <= addr)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0 || !holds(m.phdr[lo - 1]))
        return m.phnum;
    return lookup.last = lo - 1;
}

// The section's load address: translated by the first of its module's program
// headers that holds its run address.
uint32_t physical_address(const ELF_DESC& m, uint32_t addr, PHDR_LOOKUP& lookup)
{
    const uint32_t i = holding_phdr(m, addr, lookup);
    if (i == m.phnum)
        return addr;
    const Elf32_Phdr& h = m.phdr[i];
    return addr + h.p_paddr - h.p_vaddr;
}

bool has_file_bytes(const SHDR_HANDLE& s)
{
    return !s.nobits;
}

// Whether section s, with segment flags and its own load address lma, may
// extend segment c. A section with file bytes joins only where c's file bytes
// end on a 4-byte boundary: the writer pads every section to 4 bytes, and c's
// size must count that padding. It joins only where its module stores it
// right after c's bytes, or the image would move it; so does zero fill that
// joins zero fill alone, which a loader clears at the segment's load address.
bool can_join(const Elf32_Phdr& c, const SHDR_HANDLE& s, uint32_t flags, uint32_t lma)
{
    if (s.sh_addr != segment_end(c))
        return false;
    if (has_file_bytes(s) && c.p_filesz != c.p_memsz)
        return false;
    if (has_file_bytes(s) && c.p_filesz % 4 != 0)
        return false;
    if (c.p_flags != flags)
        return false;
    if ((has_file_bytes(s) || c.p_filesz == 0) && lma != static_cast<uint32_t>(c.p_paddr + c.p_memsz))
        return false;
    return s.sh_addralign <= c.p_align || (c.p_vaddr & (s.sh_addralign - 1)) == 0;
}

void join(Elf32_Phdr& c, const SHDR_HANDLE& s)
{
    // No std::max: it would bind references to packed, possibly misaligned fields.
    if (s.sh_addralign > c.p_align)
        c.p_align = s.sh_addralign;
    c.p_memsz += s.sh_size;
    if (has_file_bytes(s))
        c.p_filesz += s.sh_size;
}

Elf32_Phdr new_segment(const SHDR_HANDLE& s, uint32_t flags, uint32_t offset, uint32_t lma)
{
    return Elf32_Phdr{PT_LOAD, offset, s.sh_addr, lma, has_file_bytes(s) ? s.sh_size : 0, s.sh_size, flags,
                      s.sh_addralign};
}

// How each module's program headers are searched, by module index; whether
// a table is ordered is worked out once, as a module may hold many sections.
std::vector<PHDR_LOOKUP> phdr_lookups(const std::vector<ELF_DESC>& modules)
{
    std::vector<PHDR_LOOKUP> lookups;
    lookups.reserve(modules.size());
    for (const ELF_DESC& m : modules)
        lookups.push_back({phdrs_ordered(m), 0});
    return lookups;
}

// Offsets are relative to the start of the section data; the caller adds
// the data start once the program header table's size is known.
void build_segments(std::vector<Elf32_Phdr>& phdrs, const std::vector<SHDR_HANDLE>& sections,
                    const std::vector<ELF_DESC>& modules)
{
    std::vector<PHDR_LOOKUP> lookups = phdr_lookups(modules);
    const size_t none = SIZE_MAX;
    size_t current = none;
    uint64_t running_offset = 0;
    for (const SHDR_HANDLE& h : sections) {
        const uint32_t flags = segment_flags(h.desc->prot, h.sh_flags);
        const uint32_t lma = physical_address(*h.desc, h.sh_addr, lookups[h.module]);
        if (current != none && can_join(phdrs[current], h, flags, lma)) {
            join(phdrs[current], h);
        } else {
            phdrs.push_back(new_segment(h, flags, static_cast<uint32_t>(running_offset), lma));
            current = phdrs.size() - 1;
        }
        running_offset = round_up4(static_cast<uint64_t>(phdrs[current].p_offset) + phdrs[current].p_filesz);
        if (running_offset > UINT32_MAX)
            fatal("Image too large -- its section data passes 4 GiB.\n");
    }
}

// ---------------------------------------------------------------------------
// Note

void write_group(Elf32_auxv_t* group, const ELF_DESC& m)
{
    const AUX_GROUP values = aux_group(m);
    for (const NOTE_FIELD& f : note_fields)
        *group++ = {f.tag, values.*f.value};
}

} // namespace

// ---------------------------------------------------------------------------

uint32_t segment_flags(uint32_t prot, uint32_t sh_flags)
{
    uint32_t flags = prot | PF_R;
    if (sh_flags & SHF_EXECINSTR)
        flags |= PF_X;
    if (sh_flags & SHF_WRITE)
        flags |= PF_W;
    return flags;
}

uint32_t load_address(const ELF_DESC& m, uint32_t addr)
{
    PHDR_LOOKUP lookup{phdrs_ordered(m), 0};
    return physical_address(m, addr, lookup);
}

std::vector<uint32_t> load_addresses(const std::vector<SHDR_HANDLE>& sections, const std::vector<ELF_DESC>& modules)
{
    std::vector<PHDR_LOOKUP> lookups = phdr_lookups(modules);
    std::vector<uint32_t> addresses;
    addresses.reserve(sections.size());
    for (const SHDR_HANDLE& h : sections)
        addresses.push_back(physical_address(*h.desc, h.sh_addr, lookups[h.module]));
    return addresses;
}

std::vector<LOAD_RANGE> sorted_load_ranges(const std::vector<Elf32_Phdr>& phdrs, ADDRESS_KIND kind)
{
    std::vector<LOAD_RANGE> ranges;
    for (size_t i = 0; i < phdrs.size(); ++i) {
        const Elf32_Phdr& p = phdrs[i];
        if (p.p_type != PT_LOAD)
            continue;
        if (kind == ADDRESS_KIND::load && p.p_filesz > 0)
            ranges.push_back({p.p_paddr, static_cast<uint64_t>(p.p_paddr) + p.p_filesz, i});
        if (kind == ADDRESS_KIND::run && p.p_memsz > 0)
            ranges.push_back({p.p_vaddr, segment_end(p), i});
    }
    // Ties keep list order, so the same image always names the same pair.
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const LOAD_RANGE& a, const LOAD_RANGE& b) { return a.start < b.start; });
    return ranges;
}

size_t first_load_overlap(const std::vector<LOAD_RANGE>& ranges)
{
    for (size_t i = 0; i + 1 < ranges.size(); ++i)
        if (ranges[i].end > ranges[i + 1].start)
            return i;
    return SIZE_MAX;
}

Elf32_Ehdr arm_executable_header()
{
    Elf32_Ehdr ehdr{};
    std::memcpy(ehdr.e_ident, ELF_IDENT, sizeof ELF_IDENT);
    ehdr.e_type = ET_EXEC;
    ehdr.e_machine = EM_ARM;
    ehdr.e_version = EV_CURRENT;
    ehdr.e_phoff = EHDR_SIZE;
    ehdr.e_ehsize = EHDR_SIZE;
    ehdr.e_phentsize = PHDR_SIZE;
    return ehdr;
}

uint32_t merged_flags(const std::vector<ELF_DESC>& modules)
{
    uint32_t flags = 0;
    for (const ELF_DESC& m : modules)
        flags |= m.ehdr.e_flags;
    return flags;
}

void merge_ehdr(const std::vector<ELF_DESC>& modules, Elf32_Ehdr& ehdr)
{
    ehdr = arm_executable_header();
    ehdr.e_flags = merged_flags(modules);
}

void generate_phdr_segment(Elf32_Phdr& phdr, uint32_t vaddr, uint32_t offset, uint32_t flags)
{
    phdr = Elf32_Phdr{PT_PHDR, offset, vaddr, vaddr, 0, 0, flags, 4};
}

void generate_note_segment(Elf32_Phdr& phdr, uint32_t flags, int32_t size)
{
    const uint32_t bytes = static_cast<uint32_t>(size);
    phdr = Elf32_Phdr{PT_NOTE, 0, 0, 0, bytes, bytes, flags, 4};
}

void merge_shdr(std::vector<Elf32_Phdr>& phdrs, std::vector<SHDR_HANDLE>& sections,
                const std::vector<ELF_DESC>& modules, const SECTION_OBSERVER& observe)
{
    // Every section's alignment is checked before any overlap is looked for.
    collect_sections(sections, modules, observe);
    // Modules are usually named in address order, with their sections in it.
    if (!std::is_sorted(sections.begin(), sections.end(), SHDR_COMP()))
        std::sort(sections.begin(), sections.end(), SHDR_COMP());
    check_overlaps(sections);
    build_segments(phdrs, sections, modules);
}

NOTE_DESC::NOTE_DESC(const std::vector<const ELF_DESC*>& described)
    : n_namesz(0), n_descsz(NOTE_GROUP_SIZE * static_cast<uint32_t>(described.size())), n_type(NT_AUXV)
{
    for (size_t g = 0; g < described.size(); ++g)
        write_group(aux() + AUX_PAIRS_PER_MODULE * g, *described[g]);
}

IMAGE_LAYOUT system_layout(bool with_note)
{
    IMAGE_LAYOUT layout;
    layout.system = true;
    size_t next = 1; // after PT_PHDR
    if (with_note)
        layout.note_index = next++;
    layout.sd_index = next;
    layout.first_section_entry = next + 1;
    return layout;
}

uint32_t shared_data_memsz(uint32_t sd_size, uint32_t file_size)
{
    return sd_size < file_size ? file_size : sd_size;
}

// ---------------------------------------------------------------------------
// Image assembly: the phases that turn a run's modules into the image.

namespace {

// The buffer holds the groups that the entry count promises; the modules
// found to be described must be as many.
void make_note(MERGED_IMAGE& image)
{
    const uint64_t bytes = sizeof(NOTE_DESC) + static_cast<uint64_t>(NOTE_GROUP_SIZE) * image.entry_count;
    void* buffer = bytes <= INT32_MAX ? std::malloc(bytes) : nullptr;
    if (!buffer)
        out_of_memory();
    const int64_t groups = static_cast<int64_t>(image.described.size());
    if (groups != image.entry_count) {
        std::free(buffer);
        fatal("Internal error:  aux vector and entry point count mismatched. %d != %d\n",
              static_cast<int>(AUX_PAIRS_PER_MODULE * groups),
              static_cast<int>(AUX_PAIRS_PER_MODULE * image.entry_count));
    }
    image.note = new (buffer) NOTE_DESC(image.described);
    image.note_size = static_cast<int32_t>(bytes);
}

// First step: PT_PHDR, PT_NOTE when a module is described, and the Shared
// Data segment, at the head of the still empty list. Their sizes wait for the
// final count.
void make_system_entries(const RUN& r, MERGED_IMAGE& image)
{
    const uint32_t flags = SYSTEM_PROT;
    std::vector<Elf32_Phdr>& phdrs = image.phdrs;
    image.layout = system_layout(image.entry_count >= 1);
    phdrs.push_back({});
    generate_phdr_segment(phdrs.back(), r.sd_addr, image.ehdr.e_phoff, flags);
    if (image.layout.note_index) {
        make_note(image);
        phdrs.push_back({});
        generate_note_segment(phdrs.back(), flags, image.note_size);
    }
    phdrs.push_back(Elf32_Phdr{PT_LOAD, image.ehdr.e_phoff, r.sd_addr, r.sd_addr, 0, r.sd_size, flags, SD_ALIGN});
}

// Sets e_phnum and the data start as it is before any note.
void count_entries(MERGED_IMAGE& image)
{
    const std::vector<Elf32_Phdr>& phdrs = image.phdrs;
    if (phdrs.size() > MAX_PHNUM)
        fatal("Too many program header entries (%zu); at most 65534 fit.\n", phdrs.size());
    image.ehdr.e_phnum = static_cast<uint16_t>(phdrs.size());
    image.layout.data_start = image.ehdr.e_phoff + PHDR_SIZE * static_cast<uint32_t>(phdrs.size());
    // ELF marks a file without a program header table by e_phoff 0; readers
    // take a non-zero offset with no entries for a damaged header.
    if (phdrs.empty())
        image.ehdr.e_phoff = 0;
}

// Second step: sizes and places the system entries once the table's size is
// known, and marks where the section-built entries begin.
void complete_system_entries(MERGED_IMAGE& image)
{
    std::vector<Elf32_Phdr>& phdrs = image.phdrs;
    const uint32_t table_size = static_cast<uint32_t>(phdrs.size()) * PHDR_SIZE;
    if (phdrs.empty() || phdrs[0].p_type != PT_PHDR)
        fatal("Internal error -- missing PT_PHDR program header entry.\n");
    phdrs[0].p_filesz = table_size;
    phdrs[0].p_memsz = table_size;

    IMAGE_LAYOUT& layout = image.layout;
    uint32_t sd_filesz = table_size;
    if (layout.note_index) {
        if (phdrs.size() <= *layout.note_index || phdrs[*layout.note_index].p_type != PT_NOTE)
            fatal("Internal error -- missing PT_NOTE program header entry.\n");
        Elf32_Phdr& note = phdrs[*layout.note_index];
        note.p_offset = layout.data_start;
        note.p_vaddr = note.p_paddr = phdrs[0].p_vaddr + table_size;
        sd_filesz += note.p_filesz;
        layout.data_start += note.p_filesz;
    }
    const size_t sd_index = *layout.sd_index;
    if (phdrs.size() <= sd_index ||
        (phdrs[sd_index].p_type != PT_LOAD && phdrs[sd_index].p_offset != phdrs[0].p_offset))
        fatal("Internal error -- missing PT_LOAD program header entry for Shared Data segment.\n");

    Elf32_Phdr& sd = phdrs[sd_index];
    sd.p_filesz = sd_filesz;
    sd.p_memsz = shared_data_memsz(sd.p_memsz, sd_filesz);
    // Program segments must keep clear of all the memory the segment covers,
    // the table and note included, not only of the size -z gave.
    image.sd_filesz = sd.p_filesz;
    image.sd_memsz = sd.p_memsz;
    if (segment_end(sd) > ADDRESS_SPACE_END)
        fatal("Shared Data Segment (0x%08x, 0x%x bytes) ends beyond the 32-bit address space.\n", sd.p_vaddr,
              sd.p_memsz);
}

void check_shared_data_overlap(const RUN& r, const MERGED_IMAGE& image, const Elf32_Phdr& p)
{
    const uint64_t end = segment_end(p);
    const uint64_t sd_end = static_cast<uint64_t>(r.sd_addr) + image.sd_memsz;
    if (end > r.sd_addr && sd_end > p.p_vaddr)
        fatal("Shared Data segment overlaps with program segment on (0x%08" PRIx32 " - 0x%08" PRIx64 ").\n",
              p.p_vaddr, end);
}

// Turns relative offsets into file offsets and keeps every section-built
// segment clear of the Shared Data range.
void place_segments(const RUN& r, MERGED_IMAGE& image)
{
    for (size_t i = image.layout.first_section_entry; i < image.phdrs.size(); ++i) {
        Elf32_Phdr& p = image.phdrs[i];
        if (static_cast<uint64_t>(p.p_offset) + image.layout.data_start + p.p_filesz > UINT32_MAX)
            fatal("Image too large -- its section data passes 4 GiB.\n");
        p.p_offset += image.layout.data_start;
        check_shared_data_overlap(r, image, p);
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
void check_load_ranges(const MERGED_IMAGE& image)
{
    const auto name = [&](size_t entry) {
        return image.layout.sd_index == entry ? "Shared Data segment" : owner_of(image.phdrs[entry], image.sections);
    };
    const std::vector<LOAD_RANGE> ranges = sorted_load_ranges(image.phdrs);
    for (const LOAD_RANGE& range : ranges)
        if (range.end > ADDRESS_SPACE_END)
            fatal("Load range of %s [0x%08" PRIx32 " - 0x%09" PRIx64 ") ends beyond the 32-bit address space.\n",
                  name(range.entry), range.start, range.end);
    const size_t i = first_load_overlap(ranges);
    if (i == SIZE_MAX)
        return;
    const LOAD_RANGE& a = ranges[i];
    const LOAD_RANGE& b = ranges[i + 1];
    fatal("Overlapping load addresses between %s [0x%08" PRIx32 " - 0x%08" PRIx64 ") and %s [0x%08" PRIx32
          " - 0x%08" PRIx64 ").\n",
          name(a.entry), a.start, a.end, name(b.entry), b.start, b.end);
}

} // namespace

MERGED_IMAGE compose_image(const RUN& r, const SECTION_OBSERVER& observe)
{
    MERGED_IMAGE image;
    merge_ehdr(r.modules, image.ehdr);
    image.ehdr.e_entry = r.entry;
    for (const ELF_DESC& m : r.modules)
        if (described(m, r.pid, r.resource_manager))
            image.described.push_back(&m);
    // Without -r the lowest-pid module starts the image and is not described.
    image.entry_count = r.resource_manager ? r.entry_count : r.entry_count - 1;
    // In plain mode the range -s and -z give is kept clear as it is.
    image.sd_memsz = r.sd_size;

    // The system entries come first; sections only append after them.
    if (r.load_phdr)
        make_system_entries(r, image);
    merge_shdr(image.phdrs, image.sections, r.modules, observe);

    count_entries(image);
    if (r.load_phdr)
        complete_system_entries(image);
    place_segments(r, image);
    check_load_ranges(image);
    return image;
}

void release_image(MERGED_IMAGE& image)
{
    std::free(image.note);
    image = MERGED_IMAGE{};
}
