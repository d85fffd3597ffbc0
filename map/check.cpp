// SPDX-License-Identifier: MIT
// --check: the image against the layout elf-merge writes and, when the
// modules are named, against what a loader must find in memory.
#include "map.h"

#include <cinttypes>
#include <cstring>

namespace {

void expect(LINES& out, const char* what, uint32_t value, uint32_t wanted)
{
    if (value != wanted)
        add(out, "%s is %" PRIu32 ", expected %" PRIu32, what, value, wanted);
}

uint32_t table_size(const MAP_IMAGE& image)
{
    return PHDR_SIZE * static_cast<uint32_t>(image.phdrs.size());
}

uint32_t note_size(const MAP_IMAGE& image)
{
    return !image.layout.note_index ? 0 : image.phdrs[*image.layout.note_index].p_filesz;
}

void check_ident(const MAP_IMAGE& image, LINES& out)
{
    for (int i = 0; i < EI_NIDENT; ++i)
        if (image.ehdr.e_ident[i] != ELF_IDENT[i])
            add(out, "header: e_ident byte %d is 0x%02x, expected 0x%02x", i, image.ehdr.e_ident[i], ELF_IDENT[i]);
}

void check_header(const MAP_IMAGE& image, LINES& out)
{
    const Elf32_Ehdr& h = image.ehdr;
    check_ident(image, out);
    expect(out, "header: e_type", h.e_type, ET_EXEC);
    expect(out, "header: e_machine", h.e_machine, EM_ARM);
    expect(out, "header: e_version", h.e_version, EV_CURRENT);
    // Without a table, e_phoff 0 is how ELF says so.
    if (!(h.e_phnum == 0 && h.e_phoff == 0))
        expect(out, "header: e_phoff", h.e_phoff, EHDR_SIZE);
    expect(out, "header: e_shoff", h.e_shoff, 0);
    expect(out, "header: e_ehsize", h.e_ehsize, EHDR_SIZE);
    expect(out, "header: e_phentsize", h.e_phentsize, PHDR_SIZE);
    expect(out, "header: e_shentsize", h.e_shentsize, 0);
    expect(out, "header: e_shnum", h.e_shnum, 0);
    expect(out, "header: e_shstrndx", h.e_shstrndx, 0);
}

void check_sizes(const MAP_IMAGE& image, LINES& out)
{
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_filesz > p.p_memsz)
            add(out, "segment %zu: p_filesz 0x%" PRIx32 " exceeds p_memsz 0x%" PRIx32, i, p.p_filesz, p.p_memsz);
        if (segment_end(p) > ADDRESS_SPACE_END)
            add(out, "segment %zu: [0x%08" PRIx32 ", 0x%09" PRIx64 ") ends beyond the 32-bit address space", i,
                p.p_vaddr, segment_end(p));
    }
}

void check_section_entry(const MAP_IMAGE& image, size_t i, LINES& out)
{
    const Elf32_Phdr& p = image.phdrs[i];
    const uint32_t data_start = EHDR_SIZE + table_size(image) + note_size(image);
    if (p.p_type != PT_LOAD)
        add(out, "segment %zu: p_type is %" PRIu32 ", expected 1 (PT_LOAD)", i, p.p_type);
    if ((p.p_flags & ~(PROT_BITS | PF_R | PF_W | PF_X)) != 0 || !(p.p_flags & PF_R))
        add(out, "segment %zu: p_flags 0x%08" PRIx32 " are not PF_R with slot bits", i, p.p_flags);
    if (!known_prot(p.p_flags & PROT_BITS))
        add(out, "segment %zu: protection bits 0x%08" PRIx32 " belong to no slot", i, p.p_flags & PROT_BITS);
    if (p.p_filesz != 0 && p.p_offset < data_start)
        add(out, "segment %zu: file bytes at 0x%" PRIx32 " lie before the section data (from 0x%" PRIx32 ")", i,
            p.p_offset, data_start);
}

// Section-built entries follow one another in memory, never overlapping.
void check_order(const MAP_IMAGE& image, LINES& out)
{
    for (size_t i = image.layout.first_section_entry + 1; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& prev = image.phdrs[i - 1];
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_vaddr < prev.p_vaddr)
            add(out, "segment %zu at 0x%08" PRIx32 " is out of address order: segment %zu starts at 0x%08" PRIx32,
                i, p.p_vaddr, i - 1, prev.p_vaddr);
        else if (p.p_vaddr < segment_end(prev))
            add(out, "segment %zu [0x%08" PRIx32 ", 0x%08" PRIx64 ") overlaps segment %zu [0x%08" PRIx32
                     ", 0x%08" PRIx64 ")",
                i, p.p_vaddr, segment_end(p), i - 1, prev.p_vaddr, segment_end(prev));
    }
}

// The Shared Data segment as every --check line names it.
std::string shared_data_label(const MAP_IMAGE& image, const MODULE_SET& set)
{
    return segment_label(image, *image.layout.sd_index, set);
}

void check_clear_of_shared_data(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    for (size_t i = image.layout.first_section_entry; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_memsz != 0 && p.p_vaddr < segment_end(sd) && sd.p_vaddr < segment_end(p))
            add(out, "segment %zu [0x%08" PRIx32 ", 0x%08" PRIx64 ") overlaps %s [0x%08" PRIx32 ", 0x%08" PRIx64 ")",
                i, p.p_vaddr, segment_end(p), shared_data_label(image, set).c_str(), sd.p_vaddr, segment_end(sd));
    }
}

void check_phdr_entry(const MAP_IMAGE& image, LINES& out)
{
    const Elf32_Phdr& p = image.phdrs[0];
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    expect(out, "PT_PHDR entry: p_offset", p.p_offset, EHDR_SIZE);
    expect(out, "PT_PHDR entry: p_filesz (the whole table)", p.p_filesz, table_size(image));
    expect(out, "PT_PHDR entry: p_memsz (the whole table)", p.p_memsz, table_size(image));
    expect(out, "PT_PHDR entry: p_vaddr (the Shared Data address)", p.p_vaddr, sd.p_vaddr);
    expect(out, "PT_PHDR entry: p_paddr", p.p_paddr, p.p_vaddr);
    for (size_t i = 1; i < image.phdrs.size(); ++i)
        if (image.phdrs[i].p_type == PT_PHDR)
            add(out, "segment %zu: a second PT_PHDR entry", i);
}

void check_note_entry(const MAP_IMAGE& image, LINES& out)
{
    const Elf32_Phdr& p = image.phdrs[*image.layout.note_index];
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    expect(out, "PT_NOTE entry: p_offset (right after the table)", p.p_offset, EHDR_SIZE + table_size(image));
    expect(out, "PT_NOTE entry: p_vaddr (right after the table)", p.p_vaddr, sd.p_vaddr + table_size(image));
    expect(out, "PT_NOTE entry: p_paddr", p.p_paddr, p.p_vaddr);
    expect(out, "PT_NOTE entry: p_memsz", p.p_memsz, p.p_filesz);
}

// The Shared Data segment's file bytes are the table and then the note.
void check_shared_data(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    const std::string name = shared_data_label(image, set) + ": ";
    expect(out, (name + "p_offset (the table)").c_str(), sd.p_offset, EHDR_SIZE);
    expect(out, (name + "p_filesz (table and note)").c_str(), sd.p_filesz, table_size(image) + note_size(image));
    expect(out, (name + "p_paddr").c_str(), sd.p_paddr, sd.p_vaddr);
    expect(out, (name + "p_align").c_str(), sd.p_align, SD_ALIGN);
    if (sd.p_vaddr % SD_ALIGN != 0)
        add(out, "%saddress 0x%08" PRIx32 " is not 0x%" PRIx32 " aligned", name.c_str(), sd.p_vaddr, SD_ALIGN);
    for (size_t i = 0; i < image.layout.first_section_entry; ++i)
        if (image.phdrs[i].p_flags != SYSTEM_PROT)
            add(out, "%s: p_flags 0x%08" PRIx32 ", expected 0x%08" PRIx32 " for a system entry",
                segment_label(image, i, set).c_str(), image.phdrs[i].p_flags, SYSTEM_PROT);
}

// A loader stores every PT_LOAD entry's file bytes at its load address;
// elf-merge refuses an image where two of them share a byte.
void check_load_ranges(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    const std::vector<LOAD_RANGE> ranges = sorted_load_ranges(image.phdrs);
    for (const LOAD_RANGE& r : ranges)
        if (r.end > ADDRESS_SPACE_END)
            add(out, "%s: load range [0x%08" PRIx32 ", 0x%09" PRIx64 ") ends beyond the 32-bit address space",
                segment_label(image, r.entry, set).c_str(), r.start, r.end);
    const size_t i = first_load_overlap(ranges);
    if (i == SIZE_MAX)
        return;
    const LOAD_RANGE& a = ranges[i];
    const LOAD_RANGE& b = ranges[i + 1];
    add(out, "%s: load range [0x%08" PRIx32 ", 0x%08" PRIx64 ") overlaps that of %s [0x%08" PRIx32 ", 0x%08" PRIx64 ")",
        segment_label(image, b.entry, set).c_str(), b.start, b.end, segment_label(image, a.entry, set).c_str(),
        a.start, a.end);
}

} // namespace

LINES check_image(const MAP_IMAGE& image, const MODULE_SET& set)
{
    LINES out;
    check_header(image, out);
    // 0xFFFF is PN_XNUM: readers look for the count in a section header.
    if (image.ehdr.e_phnum == PN_XNUM)
        add(out, "header: e_phnum is 65535 (PN_XNUM); at most 65534 program headers fit");
    check_sizes(image, out);
    for (size_t i = image.layout.first_section_entry; i < image.phdrs.size(); ++i)
        check_section_entry(image, i, out);
    check_order(image, out);
    check_load_ranges(image, set, out);
    if (image.layout.system) {
        check_clear_of_shared_data(image, set, out);
        check_phdr_entry(image, out);
        if (image.layout.note_index)
            check_note_entry(image, out);
        check_shared_data(image, set, out);
    }
    return out;
}
