// SPDX-License-Identifier: MIT
// --check with module options: the image against its inputs. A loader maps
// every PT_LOAD entry; each collected section must then be found at its
// address, and the note must describe the modules that elf-merge describes.
#include "map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace {

// Memory as a loader leaves it, read a byte at a time without copying: file
// bytes up to p_filesz, zeros up to p_memsz. Every file range was checked
// against the image when it was read.
struct LOADED {
    const MAP_IMAGE& image;
    const Elf32_Phdr* last = nullptr;

    bool maps(const Elf32_Phdr& p, uint32_t addr) const
    {
        return p.p_type == PT_LOAD && addr >= p.p_vaddr && addr - p.p_vaddr < p.p_memsz;
    }

    // The byte at addr, or -1 where nothing is mapped.
    int byte_at(uint32_t addr)
    {
        if (!last || !maps(*last, addr)) {
            last = nullptr;
            for (const Elf32_Phdr& p : image.phdrs)
                if (maps(p, addr)) {
                    last = &p;
                    break;
                }
        }
        if (!last)
            return -1;
        const uint32_t offset = addr - last->p_vaddr;
        return offset < last->p_filesz ? image.bytes[last->p_offset + offset] : 0;
    }
};

// Reports the first byte of the section that the loader does not hold. The
// module's bytes are read from its file, a chunk at a time.
void check_loaded(LOADED& memory, const SECTION_REF& s, LINES& out)
{
    const SHDR_HANDLE& h = *s.handle;
    const bool nobits = h.nobits;
    uint8_t chunk[4096] = {};
    for (uint32_t k = 0; k < h.sh_size; ++k) {
        if (!nobits && k % sizeof chunk == 0)
            read_module_bytes(*h.desc, uint64_t{h.sh_offset} + k,
                              static_cast<uint32_t>(std::min<uint64_t>(sizeof chunk, h.sh_size - k)), chunk);
        const uint32_t addr = h.sh_addr + k;
        const int found = memory.byte_at(addr);
        const int wanted = nobits ? 0 : chunk[k % sizeof chunk];
        if (found < 0) {
            add(out, "%s: 0x%08" PRIx32 " is not loaded", section_label(s).c_str(), addr);
            return;
        }
        if (found != wanted) {
            add(out, "%s: byte at 0x%08" PRIx32 " is 0x%02x, expected 0x%02x%s", section_label(s).c_str(), addr,
                found, wanted, nobits ? " (zero-filled)" : "");
            return;
        }
    }
}

void expect_group_field(LINES& out, size_t g, const char* file, const char* what, uint32_t value, uint32_t wanted)
{
    if (value != wanted)
        add(out, "note group %zu (%s): %s is 0x%" PRIx32 ", expected 0x%" PRIx32, g + 1, file, what, value, wanted);
}

void check_groups(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    if (image.groups.size() != set.described.size())
        add(out, "note: describes %zu modules, expected %zu", image.groups.size(), set.described.size());
    for (size_t g = 0; g < image.groups.size() && g < set.described.size(); ++g) {
        const AUX_GROUP& a = image.groups[g];
        const ELF_DESC& m = *set.described[g];
        expect_group_field(out, g, m.name, "pid", a.pid, static_cast<uint32_t>(m.pid));
        expect_group_field(out, g, m.name, "entry", a.entry, m.entry);
        expect_group_field(out, g, m.name, "priority", a.priority, static_cast<uint32_t>(m.priority));
        expect_group_field(out, g, m.name, "stack size", a.stack_size, static_cast<uint32_t>(m.stack_size));
        expect_group_field(out, g, m.name, "stack address", a.stack, m.stack);
    }
}

void check_mode(const MAP_IMAGE& image, LINES& out)
{
    const bool system_wanted = run.kernel || run.resource_manager;
    if (image.system && !system_wanted)
        add(out, "mode: the image has system entries, but the module options give neither -k nor -r");
    if (!image.system && system_wanted)
        add(out, "mode: the module options give %s, but the image has no PT_PHDR entry",
            run.resource_manager ? "-r" : "-k");
    const MAP_MODE seen = image_mode(image);
    const MAP_MODE wanted = run.resource_manager ? MAP_MODE::resource_manager : MAP_MODE::kernel;
    if (image.system && system_wanted && seen != MAP_MODE::kernel_or_rm && seen != wanted)
        add(out, "mode: the note is that of %s mode, but the module options give %s", mode_name(seen),
            run.resource_manager ? "-r" : "-k");
}

void check_header_values(const MAP_IMAGE& image, LINES& out)
{
    const uint32_t flags = merged_flags(run.modules);
    if (image.ehdr.e_entry != run.entry)
        add(out, "header: e_entry is 0x%08" PRIx32 ", expected 0x%08" PRIx32, image.ehdr.e_entry, run.entry);
    if (image.ehdr.e_flags != flags)
        add(out, "header: e_flags is 0x%08" PRIx32 ", expected 0x%08" PRIx32, image.ehdr.e_flags, flags);
}

void check_shared_data_place(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    const Elf32_Phdr& sd = image.phdrs[static_cast<size_t>(image.sd_index)];
    if (sd.p_vaddr != run.sd_addr)
        add(out, "Shared Data segment: address 0x%08" PRIx32 ", expected 0x%08" PRIx32 " (-s)", sd.p_vaddr,
            run.sd_addr);
    const uint32_t memsz = shared_data_memsz(set.sd_size, sd.p_filesz);
    if (sd.p_memsz != memsz)
        add(out, "Shared Data segment: p_memsz 0x%" PRIx32 ", expected 0x%" PRIx32 " (-z)", sd.p_memsz, memsz);
}

// elf-merge gives a segment the flags of its sections and their slot; a
// module named with another letter shows here by its protection bits.
void check_flags(const MAP_IMAGE& image, size_t i, std::span<const SECTION_REF> held, LINES& out)
{
    const uint32_t p_flags = image.phdrs[i].p_flags;
    for (const SECTION_REF& s : held) {
        const uint32_t wanted = segment_flags(s.handle->desc->prot, s.handle->sh_flags);
        if (p_flags == wanted)
            continue;
        add(out, "segment %zu: p_flags 0x%08" PRIx32 ", expected 0x%08" PRIx32 " from %s given as -%c", i, p_flags,
            wanted, section_label(s).c_str(), module_letter(*s.handle->desc));
        return;
    }
}

// A loader stores a section where the entry's load address places it;
// that must be where its own module stores it. Zero fill after file bytes
// stores nothing, but a segment of zero fill alone is cleared at its load
// address, which must then be where the module puts its .bss.
void check_load_addresses(const MAP_IMAGE& image, size_t i, std::span<const SECTION_REF> held, LINES& out)
{
    const Elf32_Phdr& p = image.phdrs[i];
    for (const SECTION_REF& s : held) {
        const SHDR_HANDLE& h = *s.handle;
        if (h.nobits && p.p_filesz != 0)
            continue;
        const uint32_t in_image = p.p_paddr + (h.sh_addr - p.p_vaddr);
        const uint32_t wanted = load_address(*h.desc, h.sh_addr);
        if (in_image != wanted)
            add(out, "segment %zu: %s %s at 0x%08" PRIx32 ", but its module stores it at 0x%08" PRIx32, i,
                section_label(s).c_str(), h.nobits ? "is zero-filled" : "loads", in_image, wanted);
    }
}

// Every byte of a section-built segment comes from some module's section:
// a segment the given modules do not fill was made from something else.
void check_coverage(const MAP_IMAGE& image, size_t i, std::span<const SECTION_REF> held, LINES& out)
{
    const Elf32_Phdr& p = image.phdrs[i];
    uint64_t reached = p.p_vaddr;
    const uint64_t end = uint64_t{p.p_vaddr} + p.p_memsz;
    for (const SECTION_REF& s : held) {
        const SHDR_HANDLE& h = *s.handle;
        if (h.sh_addr > reached)
            break;
        reached = std::max(reached, uint64_t{h.sh_addr} + h.sh_size);
    }
    if (reached < end)
        add(out, "segment %zu: [0x%08" PRIx64 ", 0x%08" PRIx64 ") holds no section of the given modules", i, reached,
            end);
}

void check_segments(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    for (size_t i = image.first_section; i < image.phdrs.size(); ++i) {
        if (image.phdrs[i].p_type != PT_LOAD || image.phdrs[i].p_memsz == 0)
            continue;
        const std::span<const SECTION_REF> held = sections_in(image, i, set);
        check_coverage(image, i, held, out);
        check_flags(image, i, held, out);
        check_load_addresses(image, i, held, out);
    }
}

} // namespace

std::vector<std::string> check_against_modules(const MAP_IMAGE& image, const MODULE_SET& set)
{
    LINES out;
    check_mode(image, out);
    check_header_values(image, out);
    if (image.system)
        check_shared_data_place(image, set, out);
    check_segments(image, set, out);
    LOADED memory{image};
    for (const SECTION_REF& s : set.sections)
        check_loaded(memory, s, out);
    if (image.system)
        check_groups(image, set, out);
    return out;
}
