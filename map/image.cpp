// SPDX-License-Identifier: MIT
// Reading a merged image from its bytes. Every table and range is checked
// against the buffer with inside() before it is read, and nothing here ends
// the process: faults come back as lines.
#include "map.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstring>

namespace {

// The identification that any reading needs; the rest is for --check.
std::string identify(const uint8_t* data, size_t size)
{
    if (size < ELF_MAGIC_SIZE || !could_be_elf(data, size))
        return "not an ELF file";
    if (size < EHDR_SIZE)
        return format("truncated: %zu bytes, shorter than the 52-byte ELF header", size);
    if (size > UINT32_MAX)
        return IMAGE_TOO_LARGE;
    if (data[4] != ELFCLASS32)
        return format("not a 32-bit ELF file (EI_CLASS %u)", data[4]);
    if (data[5] != ELFDATA2MSB)
        return format("not a big-endian ELF file (EI_DATA %u)", data[5]);
    return "";
}

std::string read_phdrs(MAP_IMAGE& image)
{
    const Elf32_Ehdr& h = image.ehdr;
    if (h.e_phnum == 0)
        return "";
    if (h.e_phentsize != PHDR_SIZE)
        return format("program header entries are %u bytes, not 32", h.e_phentsize);
    if (!inside(h.e_phoff, h.e_phnum, PHDR_SIZE, image.size))
        return format("truncated: the program header table (offset 0x%" PRIx32 ", %u entries) runs past the "
                      "end of the file (%" PRIu32 " bytes)",
                      h.e_phoff, h.e_phnum, image.size);
    for (uint32_t i = 0; i < h.e_phnum; ++i)
        image.phdrs.push_back(record_from(image.bytes + h.e_phoff + PHDR_SIZE * i, convert_phdr));
    return "";
}

void check_file_ranges(const MAP_IMAGE& image, std::vector<std::string>& faults)
{
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_filesz != 0 && !inside(p.p_offset, p.p_filesz, 1, image.size))
            faults.push_back(format("truncated: segment %zu's file bytes [0x%08" PRIx32 ", 0x%08" PRIx64
                                    ") run past the end of the file (%" PRIu32 " bytes)",
                                    i, p.p_offset, uint64_t{p.p_offset} + p.p_filesz, image.size));
    }
}

// PT_PHDR first marks kernel and resource-manager images; the note and the
// Shared Data PT_LOAD are then where composition places them.
std::string find_system_entries(MAP_IMAGE& image)
{
    const std::vector<Elf32_Phdr>& ph = image.phdrs;
    if (ph.empty() || ph[0].p_type != PT_PHDR)
        return "";
    const size_t note = *system_layout(true).note_index;
    const IMAGE_LAYOUT placed = system_layout(ph.size() > note && ph[note].p_type == PT_NOTE);
    const size_t sd = *placed.sd_index;
    if (ph.size() <= sd || ph[sd].p_type != PT_LOAD) {
        image.layout.system = true;
        image.layout.note_index = placed.note_index;
        return "the PT_PHDR entry is not followed by the Shared Data segment's PT_LOAD entry";
    }
    image.layout = placed;
    return "";
}

std::string read_group(const uint8_t* p, AUX_GROUP& g, size_t number)
{
    for (uint32_t k = 0; k < AUX_PAIRS_PER_MODULE; ++k) {
        const NOTE_FIELD& f = note_fields[k];
        const uint32_t tag = read_be32(p + 8 * k);
        if (tag != f.tag)
            return format("malformed note: group %zu, pair %u has tag %" PRIu32 ", expected %" PRIu32, number,
                          k + 1, tag, f.tag);
        g.*f.value = read_be32(p + 8 * k + 4);
    }
    return "";
}

// The note is read only when its bytes lie inside the file.
std::string read_note(MAP_IMAGE& image)
{
    const Elf32_Phdr& p = image.phdrs[*image.layout.note_index];
    if (p.p_filesz < sizeof(NOTE_DESC))
        return format("malformed note: %" PRIu32 " bytes, shorter than its 12-byte header", p.p_filesz);
    const uint8_t* note = image.bytes + p.p_offset;
    const uint32_t namesz = read_be32(note), descsz = read_be32(note + 4), type = read_be32(note + 8);
    if (namesz != 0)
        return format("malformed note: n_namesz is %" PRIu32 ", expected 0", namesz);
    if (type != NT_AUXV)
        return format("malformed note: n_type is %" PRIu32 ", expected 6 (NT_AUXV)", type);
    if (descsz % NOTE_GROUP_SIZE != 0)
        return format("malformed note: n_descsz %" PRIu32 " is not a multiple of 40", descsz);
    if (descsz != p.p_filesz - sizeof(NOTE_DESC))
        return format("malformed note: n_descsz %" PRIu32 " does not fill the note's %" PRIu32 " bytes", descsz,
                      p.p_filesz);
    for (uint32_t g = 0; g < descsz / NOTE_GROUP_SIZE; ++g) {
        AUX_GROUP group;
        const std::string fault = read_group(note + sizeof(NOTE_DESC) + NOTE_GROUP_SIZE * g, group, g + 1);
        if (!fault.empty())
            return fault;
        image.groups.push_back(group);
    }
    return "";
}

} // namespace

bool could_be_elf(const uint8_t* data, size_t size)
{
    return size == 0 || std::memcmp(data, ELF_IDENT, std::min(size, ELF_MAGIC_SIZE)) == 0;
}

LINES parse_image(const uint8_t* data, size_t size, MAP_IMAGE& image)
{
    image = MAP_IMAGE{};
    std::string fault = identify(data, size);
    if (!fault.empty())
        return {fault};
    image.bytes = data;
    image.size = static_cast<uint32_t>(size);
    image.ehdr = record_from(data, convert_ehdr);
    fault = read_phdrs(image);
    if (!fault.empty())
        return {fault};
    std::vector<std::string> faults;
    check_file_ranges(image, faults);
    fault = find_system_entries(image);
    if (!fault.empty())
        faults.push_back(fault);
    if (faults.empty() && image.layout.note_index) {
        fault = read_note(image);
        if (!fault.empty())
            faults.push_back(fault);
    }
    return faults;
}

// Kernel mode leaves every module of the lowest pid out of the note, and the
// kernel (pid 0) is that module; resource-manager mode describes it too.
MAP_MODE image_mode(const MAP_IMAGE& image)
{
    if (!image.layout.system)
        return MAP_MODE::plain;
    if (image.groups.empty())
        return image.ehdr.e_entry != NO_ENTRY ? MAP_MODE::kernel : MAP_MODE::kernel_or_rm;
    const auto lowest = std::min_element(image.groups.begin(), image.groups.end(),
                                         [](const AUX_GROUP& a, const AUX_GROUP& b) { return a.pid < b.pid; });
    if (lowest->pid == 0)
        return MAP_MODE::resource_manager;
    // The image starts at the first lowest-pid module; one that the note
    // describes elsewhere cannot be it.
    if (lowest->entry != image.ehdr.e_entry)
        return MAP_MODE::kernel;
    return MAP_MODE::kernel_or_rm;
}

const char* mode_name(MAP_MODE mode)
{
    switch (mode) {
    case MAP_MODE::plain:
        return "plain";
    case MAP_MODE::kernel:
        return "kernel";
    case MAP_MODE::resource_manager:
        return "resource-manager";
    case MAP_MODE::kernel_or_rm:
        break;
    }
    return "kernel or resource-manager";
}

SEGMENT_OWNER segment_owner(const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    SEGMENT_OWNER owner;
    if (image.layout.system && index < image.layout.first_section_entry) {
        owner.system = true;
        return owner;
    }
    // With the modules given, the letters they were named with; several
    // slots share protection bits, so the bits alone leave a choice.
    for (const SECTION_REF& s : sections_in(image, index, set)) {
        const char letter = module_letter(*s.handle->desc);
        if (owner.letters.find(letter) == std::string::npos)
            owner.letters += letter;
    }
    if (!owner.letters.empty())
        return owner;
    const uint32_t prot = image.phdrs[index].p_flags & PROT_BITS;
    for (const SLOT& s : slots)
        if (s.letter && s.prot == prot)
            owner.letters += s.letter;
    return owner;
}

std::string owner_text(const SEGMENT_OWNER& owner)
{
    if (owner.system)
        return "system";
    return (owner.letters.size() == 1 ? "slot " : "slots ") + owner.letters;
}

std::vector<MAP_GAP> memory_gaps(const MAP_IMAGE& image)
{
    std::vector<const Elf32_Phdr*> loads;
    for (const Elf32_Phdr& p : image.phdrs)
        if (p.p_type == PT_LOAD && p.p_memsz != 0)
            loads.push_back(&p);
    std::sort(loads.begin(), loads.end(), [](const Elf32_Phdr* a, const Elf32_Phdr* b) { return a->p_vaddr < b->p_vaddr; });
    std::vector<MAP_GAP> gaps;
    uint64_t reached = 0;
    for (size_t i = 0; i < loads.size(); ++i) {
        if (i > 0 && loads[i]->p_vaddr > reached)
            gaps.push_back({static_cast<uint32_t>(reached), loads[i]->p_vaddr});
        reached = std::max(reached, segment_end(*loads[i]));
    }
    return gaps;
}

LOAD_TOTALS load_totals(const MAP_IMAGE& image)
{
    LOAD_TOTALS t;
    for (const Elf32_Phdr& p : image.phdrs) {
        if (p.p_type != PT_LOAD)
            continue;
        ++t.segments;
        t.file_bytes += p.p_filesz;
        t.memory_bytes += p.p_memsz;
    }
    return t;
}

// Where Elf32_Ehdr lays each field out, which is where the file holds it.
#define EHDR_FIELD_OF(name, style) {#name, offsetof(Elf32_Ehdr, name), sizeof(Elf32_Ehdr::name), VALUE_STYLE::style}
const EHDR_FIELD ehdr_fields[13] = {
    EHDR_FIELD_OF(e_type, number),      EHDR_FIELD_OF(e_machine, number), EHDR_FIELD_OF(e_version, number),
    EHDR_FIELD_OF(e_entry, address),    EHDR_FIELD_OF(e_phoff, size),     EHDR_FIELD_OF(e_shoff, size),
    EHDR_FIELD_OF(e_flags, address),    EHDR_FIELD_OF(e_ehsize, number),  EHDR_FIELD_OF(e_phentsize, number),
    EHDR_FIELD_OF(e_phnum, number),     EHDR_FIELD_OF(e_shentsize, number), EHDR_FIELD_OF(e_shnum, number),
    EHDR_FIELD_OF(e_shstrndx, number)};
#undef EHDR_FIELD_OF

uint32_t field_value(const Elf32_Ehdr& h, const EHDR_FIELD& f)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&h) + f.offset;
    uint16_t half;
    uint32_t word;
    if (f.width == sizeof half) {
        std::memcpy(&half, bytes, sizeof half);
        return half;
    }
    std::memcpy(&word, bytes, sizeof word);
    return word;
}
