// SPDX-License-Identifier: MIT
// --check with module options: IMAGE against the image that elf-merge writes
// for those modules, byte for byte. The expected image is streamed through
// elf-merge's own writer and compared a buffer at a time, so no second copy
// of it is held; the first difference is named through the expected image's
// layout, as the field, note word or section byte it falls in.
#include "map.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

struct COMPARISON {
    const uint8_t* image;
    uint64_t size;
    uint64_t streamed = 0; // bytes of the expected image so far
    bool differs = false;
    uint64_t at = 0; // the first differing offset
    uint8_t expected = 0;
};

void compare_chunk(void* context, const uint8_t* data, size_t count)
{
    auto& c = *static_cast<COMPARISON*>(context);
    if (!c.differs && c.streamed < c.size) {
        const size_t common = static_cast<size_t>(std::min<uint64_t>(count, c.size - c.streamed));
        const uint8_t* image = c.image + c.streamed;
        const auto [mine, theirs] = std::mismatch(image, image + common, data);
        if (mine != image + common) {
            c.differs = true;
            c.at = c.streamed + static_cast<uint64_t>(mine - image);
            c.expected = *theirs;
        }
    }
    c.streamed += count;
}

constexpr const char* phdr_fields[] = {"p_type",   "p_offset", "p_vaddr", "p_paddr",
                                       "p_filesz", "p_memsz",  "p_flags", "p_align"};

constexpr const char* note_header_words[] = {"n_namesz", "n_descsz", "n_type"};

// The big-endian value of a field of width 1, 2 or 4 bytes at p.
uint32_t value_at(const uint8_t* p, uint32_t width)
{
    return width == 4 ? read_be32(p) : width == 2 ? read_be16(p) : p[0];
}

// "NAME is 0x.., expected 0x..", each value as wide as the field. A field
// that the file ends inside has no value of its own.
std::string field_text(const std::string& name, const COMPARISON& c, uint64_t start, uint32_t width,
                       uint32_t wanted)
{
    const int digits = static_cast<int>(2 * width);
    if (start + width > c.size)
        return format("%s is cut short by the end of the file, expected 0x%0*" PRIx32, name.c_str(), digits, wanted);
    return format("%s is 0x%0*" PRIx32 ", expected 0x%0*" PRIx32, name.c_str(), digits,
                  value_at(c.image + start, width), digits, wanted);
}

std::string header_difference(const MERGED_IMAGE& e, const COMPARISON& c)
{
    Elf32_Ehdr header = e.ehdr;
    convert_ehdr(header);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
    const auto at = static_cast<uint32_t>(c.at);
    if (at < EI_NIDENT)
        return field_text(format("header e_ident[%" PRIu32 "]", at), c, at, 1, bytes[at]);
    const EHDR_FIELD* f = std::find_if(std::begin(ehdr_fields), std::end(ehdr_fields),
                                       [at](const EHDR_FIELD& x) { return at < x.offset + x.width; });
    return field_text(std::string("header ") + f->name, c, f->offset, f->width, value_at(bytes + f->offset, f->width));
}

std::string phdr_difference(const MERGED_IMAGE& e, const COMPARISON& c)
{
    const uint64_t within = c.at - e.ehdr.e_phoff;
    const size_t index = static_cast<size_t>(within / PHDR_SIZE);
    Elf32_Phdr p = e.phdrs[index];
    convert_phdr(p);
    const uint32_t word = static_cast<uint32_t>(within % PHDR_SIZE) / 4;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&p);
    return field_text(format("segment %zu %s", index, phdr_fields[word]), c, c.at - within % 4, 4,
                      value_at(bytes + 4 * word, 4));
}

// Note words are numbered from 0: the three of the header, then a tag and
// a value for each pair.
std::string note_difference(const MERGED_IMAGE& e, uint64_t note_offset, const COMPARISON& c)
{
    const auto word = static_cast<uint32_t>((c.at - note_offset) / 4);
    const auto* words = reinterpret_cast<const uint8_t*>(e.note);
    uint32_t wanted;
    std::memcpy(&wanted, words + 4 * word, sizeof wanted);
    std::string name = format("note word %" PRIu32, word);
    if (word < std::size(note_header_words)) {
        name += format(" (%s)", note_header_words[word]);
    } else {
        const uint32_t pair = (word - 3) / 2;
        name += format(" (group %" PRIu32 " %s %s)", pair / AUX_PAIRS_PER_MODULE + 1,
                       note_fields[pair % AUX_PAIRS_PER_MODULE].name, (word - 3) % 2 ? "value" : "tag");
    }
    return field_text(name, c, note_offset + 4 * word, 4, wanted);
}

// The section-built entry whose file bytes hold offset, or SIZE_MAX.
size_t segment_holding(const MERGED_IMAGE& e, uint64_t offset)
{
    for (size_t i = e.layout.first_section_entry; i < e.phdrs.size(); ++i) {
        const Elf32_Phdr& p = e.phdrs[i];
        if (offset >= p.p_offset && offset - p.p_offset < p.p_filesz)
            return i;
    }
    return SIZE_MAX;
}

std::string data_difference(const MODULE_SET& set, const COMPARISON& c)
{
    const MERGED_IMAGE& e = set.expected;
    const std::string values = format("is 0x%02x, expected 0x%02x", c.image[c.at], c.expected);
    const size_t index = segment_holding(e, c.at);
    if (index == SIZE_MAX)
        return format("fill byte at file offset 0x%" PRIx64 " %s", c.at, values.c_str());
    const Elf32_Phdr& p = e.phdrs[index];
    const uint32_t addr = p.p_vaddr + static_cast<uint32_t>(c.at - p.p_offset);
    const SECTION_REF* s = section_at(set, addr);
    const std::string place = s ? format(" (%s at 0x%08" PRIx32 ")", section_label(*s).c_str(), addr) : "";
    return format("segment %zu file byte 0x%" PRIx64 "%s %s", index, c.at - p.p_offset, place.c_str(),
                  values.c_str());
}

// Names what the first differing byte belongs to in the expected layout.
std::string difference(const MODULE_SET& set, const COMPARISON& c)
{
    const MERGED_IMAGE& e = set.expected;
    const uint64_t table_end = uint64_t{e.ehdr.e_phoff} + PHDR_SIZE * e.phdrs.size();
    const uint64_t note_offset = e.phdrs.empty() ? EHDR_SIZE : table_end;
    if (c.at < EHDR_SIZE)
        return header_difference(e, c);
    if (!e.phdrs.empty() && c.at < table_end)
        return phdr_difference(e, c);
    if (e.note && c.at < note_offset + static_cast<uint32_t>(e.note_size))
        return note_difference(e, note_offset, c);
    return data_difference(set, c);
}

} // namespace

LINES compare_with_expected(const uint8_t* bytes, size_t size, const MODULE_SET& set)
{
    const MERGED_IMAGE& e = set.expected;
    COMPARISON c{bytes, size};
    stream_image(e.ehdr, e.phdrs, e.note, e.note_size, e.sections, BYTE_SINK{compare_chunk, &c});
    std::string what;
    if (c.differs)
        what = difference(set, c);
    else if (c.streamed != size)
        what = format("the file is %zu bytes long, expected %" PRIu64, size, c.streamed);
    if (what.empty())
        return {};
    return {"compared with elf-merge's output: " + what};
}
