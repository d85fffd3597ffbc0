// SPDX-License-Identifier: MIT
// --diff: what changed from one image to the next, field by field: the
// header, the mode, the Shared Data segment, the note's modules and the
// section-built segments, whose bytes are compared where their layout stays.
#include "map.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <deque>
#include <map>

namespace {

void compare(std::vector<FIELD_CHANGE>& out, const char* field, VALUE_STYLE style, int64_t before, int64_t after)
{
    if (before != after)
        out.push_back({field, style, before, after});
}

std::vector<FIELD_CHANGE> header_changes(const Elf32_Ehdr& a, const Elf32_Ehdr& b)
{
    std::vector<FIELD_CHANGE> out;
    for (int i = 0; i < EI_NIDENT; ++i)
        if (a.e_ident[i] != b.e_ident[i])
            out.push_back({format("e_ident[%d]", i), VALUE_STYLE::number, a.e_ident[i], b.e_ident[i]});
    // e_ident is compared a byte at a time, before the other fields.
    for (const EHDR_FIELD& f : ehdr_fields)
        compare(out, f.name, f.style, field_value(a, f), field_value(b, f));
    return out;
}

// A field of an image that may lack it: the Shared Data segment of a plain
// image, say.
std::optional<int64_t> field_of(const MAP_IMAGE& image, std::optional<size_t> index, uint32_t Elf32_Phdr::*field)
{
    if (!index)
        return std::nullopt;
    return image.phdrs[*index].*field;
}

std::vector<FIELD_CHANGE> shared_data_changes(const MAP_IMAGE& a, const MAP_IMAGE& b)
{
    std::vector<FIELD_CHANGE> out;
    const auto both = [&](const char* name, VALUE_STYLE style, uint32_t Elf32_Phdr::*field) {
        const std::optional<int64_t> before = field_of(a, a.layout.sd_index, field), after = field_of(b, b.layout.sd_index, field);
        if (before != after)
            out.push_back({name, style, before, after});
    };
    both("address", VALUE_STYLE::address, &Elf32_Phdr::p_vaddr);
    both("memory_size", VALUE_STYLE::size, &Elf32_Phdr::p_memsz);
    both("file_size", VALUE_STYLE::size, &Elf32_Phdr::p_filesz);
    return out;
}

VALUE_STYLE note_style(NOTE_VALUE kind)
{
    return kind == NOTE_VALUE::address ? VALUE_STYLE::address
           : kind == NOTE_VALUE::size  ? VALUE_STYLE::size
                                       : VALUE_STYLE::number;
}

// The values of a group but its pid, which groups are matched by, each on
// one side only: for a module added or removed.
std::vector<FIELD_CHANGE> group_fields(const AUX_GROUP* before, const AUX_GROUP* after)
{
    const AUX_GROUP& g = before ? *before : *after;
    std::vector<FIELD_CHANGE> out;
    for (const NOTE_FIELD& f : note_fields) {
        if (f.kind == NOTE_VALUE::pid)
            continue;
        const int64_t value = note_value(g, f);
        out.push_back({f.key, note_style(f.kind), before ? std::optional(value) : std::nullopt,
                       after ? std::optional(value) : std::nullopt});
    }
    return out;
}

std::vector<FIELD_CHANGE> group_changes(const AUX_GROUP& a, const AUX_GROUP& b)
{
    std::vector<FIELD_CHANGE> out;
    for (const NOTE_FIELD& f : note_fields)
        if (f.kind != NOTE_VALUE::pid)
            compare(out, f.key, note_style(f.kind), note_value(a, f), note_value(b, f));
    return out;
}

// Groups are matched by pid, in note order where a pid repeats.
std::vector<GROUP_CHANGE> note_changes(const MAP_IMAGE& a, const MAP_IMAGE& b, const MODULE_SET& set)
{
    std::map<uint32_t, std::deque<size_t>> unmatched;
    for (size_t g = 0; g < a.groups.size(); ++g)
        unmatched[a.groups[g].pid].push_back(g);
    std::vector<GROUP_CHANGE> out;
    for (size_t g = 0; g < b.groups.size(); ++g) {
        const AUX_GROUP& after = b.groups[g];
        std::deque<size_t>& same_pid = unmatched[after.pid];
        if (same_pid.empty()) {
            out.push_back({CHANGE::added, after.pid, described_file(set, g), group_fields(nullptr, &after)});
            continue;
        }
        std::vector<FIELD_CHANGE> fields = group_changes(a.groups[same_pid.front()], after);
        same_pid.pop_front();
        if (!fields.empty())
            out.push_back({CHANGE::changed, after.pid, described_file(set, g), std::move(fields)});
    }
    for (const auto& [pid, left] : unmatched)
        for (const size_t g : left)
            out.push_back({CHANGE::removed, pid, nullptr, group_fields(&a.groups[g], nullptr)});
    return out;
}

// A segment's index in each image; SIZE_MAX on the side that lacks it.
struct PAIR {
    size_t before, after;
};

uint32_t prot_of(const MAP_IMAGE& image, size_t i)
{
    return image.phdrs[i].p_flags & PROT_BITS;
}

// Section-built segments are matched within their slot's protection bits:
// first those at the same run address, then the rest in order.
std::vector<PAIR> pair_segments(const MAP_IMAGE& a, const MAP_IMAGE& b)
{
    std::multimap<std::pair<uint32_t, uint32_t>, size_t> by_address;
    for (size_t i = a.layout.first_section_entry; i < a.phdrs.size(); ++i)
        by_address.insert({{prot_of(a, i), a.phdrs[i].p_vaddr}, i});
    std::vector<PAIR> pairs;
    std::vector<size_t> left_after;
    for (size_t j = b.layout.first_section_entry; j < b.phdrs.size(); ++j) {
        const std::pair<uint32_t, uint32_t> key{prot_of(b, j), b.phdrs[j].p_vaddr};
        const auto found = by_address.lower_bound(key); // the first of equal keys, in image order
        if (found == by_address.end() || found->first != key) {
            left_after.push_back(j);
            continue;
        }
        pairs.push_back({found->second, j});
        by_address.erase(found);
    }
    std::map<uint32_t, std::deque<size_t>> left_before;
    for (const auto& [key, i] : by_address)
        left_before[key.first].push_back(i);
    for (auto& [prot, list] : left_before)
        std::sort(list.begin(), list.end());
    for (const size_t j : left_after) {
        std::deque<size_t>& same = left_before[prot_of(b, j)];
        pairs.push_back({same.empty() ? SIZE_MAX : same.front(), j});
        if (!same.empty())
            same.pop_front();
    }
    for (const auto& [prot, list] : left_before)
        for (const size_t i : list)
            pairs.push_back({i, SIZE_MAX});
    return pairs;
}

// "segment 9 (section 3 (.data) of m.elf)" with the modules, else
// "segment 9 (slots e)".
std::string diff_label(const MAP_IMAGE& image, size_t i, const MODULE_SET& set)
{
    if (!sections_in(image, i, set).empty())
        return segment_label(image, i, set);
    return format("segment %zu (%s)", i, owner_text(segment_owner(image, i, MODULE_SET{})).c_str());
}

void compare_segments(const Elf32_Phdr* p, const Elf32_Phdr* q, std::vector<FIELD_CHANGE>& out)
{
    struct {
        const char* name;
        VALUE_STYLE style;
        uint32_t Elf32_Phdr::*field;
    } const fields[] = {{"vaddr", VALUE_STYLE::address, &Elf32_Phdr::p_vaddr},
                        {"paddr", VALUE_STYLE::address, &Elf32_Phdr::p_paddr},
                        {"file_size", VALUE_STYLE::size, &Elf32_Phdr::p_filesz},
                        {"memory_size", VALUE_STYLE::size, &Elf32_Phdr::p_memsz},
                        {"flags", VALUE_STYLE::flags, &Elf32_Phdr::p_flags}};
    for (const auto& f : fields) {
        const std::optional<int64_t> before = p ? std::optional<int64_t>(p->*f.field) : std::nullopt;
        const std::optional<int64_t> after = q ? std::optional<int64_t>(q->*f.field) : std::nullopt;
        if (!p || !q || before != after)
            out.push_back({f.name, f.style, before, after});
    }
}

bool same_layout(const Elf32_Phdr& p, const Elf32_Phdr& q)
{
    return p.p_vaddr == q.p_vaddr && p.p_paddr == q.p_paddr && p.p_filesz == q.p_filesz && p.p_memsz == q.p_memsz;
}

// Counts the differing file bytes of two segments of one layout.
void compare_bytes(const MAP_IMAGE& a, const Elf32_Phdr& p, const MAP_IMAGE& b, const Elf32_Phdr& q,
                   SEGMENT_CHANGE& c)
{
    if (!inside(p.p_offset, p.p_filesz, 1, a.size) || !inside(q.p_offset, q.p_filesz, 1, b.size))
        return;
    const uint8_t* x = a.bytes + p.p_offset;
    const uint8_t* y = b.bytes + q.p_offset;
    for (uint32_t k = 0; k < p.p_filesz; ++k) {
        if (x[k] == y[k])
            continue;
        if (c.differing_bytes++ == 0)
            c.first_difference = p.p_vaddr + k;
    }
}

// The change of one pair, or nothing where the segment stayed as it was.
std::optional<SEGMENT_CHANGE> segment_change(const MAP_IMAGE& a, const MAP_IMAGE& b, const PAIR& pair,
                                             const MODULE_SET& set)
{
    const Elf32_Phdr* p = pair.before == SIZE_MAX ? nullptr : &a.phdrs[pair.before];
    const Elf32_Phdr* q = pair.after == SIZE_MAX ? nullptr : &b.phdrs[pair.after];
    SEGMENT_CHANGE c;
    c.kind = !p ? CHANGE::added : !q ? CHANGE::removed : CHANGE::changed;
    c.before = pair.before;
    c.after = pair.after;
    c.address = q ? q->p_vaddr : p->p_vaddr;
    c.label = q ? diff_label(b, pair.after, set) : diff_label(a, pair.before, MODULE_SET{});
    if (p && q && pair.before != pair.after)
        c.label += format(" (segment %zu before)", pair.before);
    compare_segments(p, q, c.fields);
    if (p && q && same_layout(*p, *q))
        compare_bytes(a, *p, b, *q, c);
    if (c.fields.empty() && c.differing_bytes == 0)
        return std::nullopt;
    return c;
}

std::vector<SEGMENT_CHANGE> segment_changes(const MAP_IMAGE& a, const MAP_IMAGE& b, const MODULE_SET& set)
{
    std::vector<SEGMENT_CHANGE> out;
    for (const PAIR& pair : pair_segments(a, b))
        if (std::optional<SEGMENT_CHANGE> c = segment_change(a, b, pair, set))
            out.push_back(std::move(*c));
    std::stable_sort(out.begin(), out.end(),
                     [](const SEGMENT_CHANGE& x, const SEGMENT_CHANGE& y) { return x.address < y.address; });
    return out;
}

bool nothing_listed(const IMAGE_DIFF& d)
{
    return d.header.empty() && d.mode_before == d.mode_after && d.shared_data.empty() && d.note.empty() &&
           d.segments.empty();
}

uint32_t first_differing_offset(const MAP_IMAGE& a, const MAP_IMAGE& b)
{
    const uint32_t common = std::min(a.size, b.size);
    uint32_t k = 0;
    while (k < common && a.bytes[k] == b.bytes[k])
        ++k;
    return k;
}

std::string value_text(const FIELD_CHANGE& f, const std::optional<int64_t>& v)
{
    if (!v)
        return "none";
    const auto u = static_cast<uint32_t>(*v);
    switch (f.style) {
    case VALUE_STYLE::address:
        return format("0x%08" PRIx32, u);
    case VALUE_STYLE::size:
        return format("0x%" PRIx32, u);
    case VALUE_STYLE::flags:
        return format("0x%08" PRIx32 " (%s)", u, permissions(u).c_str());
    case VALUE_STYLE::number:
        break;
    }
    return format("%" PRId64, *v);
}

// "file_size 0x34 -> 0x38 (+4)"; a field of something added or removed has
// one side, and reads as that value alone.
std::string field_text(const FIELD_CHANGE& f, bool one_side)
{
    if (one_side)
        return f.field + " " + value_text(f, f.before ? f.before : f.after);
    std::string text = f.field + " " + value_text(f, f.before) + " -> " + value_text(f, f.after);
    if (f.style == VALUE_STYLE::size && f.before && f.after)
        text += format(" (%+" PRId64 ")", *f.after - *f.before);
    return text;
}

// "subject: field, field, ..."
std::string line_text(const std::string& subject, const std::vector<FIELD_CHANGE>& fields, bool one_side)
{
    std::string line = subject;
    for (size_t k = 0; k < fields.size(); ++k)
        line += (k ? ", " : ": ") + field_text(fields[k], one_side);
    return line;
}

void write_line(std::ostream& out, const std::string& line)
{
    out << printable(line) << "\n";
}

const char* change_word(CHANGE kind)
{
    return kind == CHANGE::added ? " added" : kind == CHANGE::removed ? " removed" : "";
}

void write_note(std::ostream& out, const IMAGE_DIFF& d)
{
    for (const GROUP_CHANGE& g : d.note) {
        std::string subject = format("note: pid %" PRIu32, g.pid);
        if (g.file)
            subject += format(" (%s)", g.file);
        write_line(out, line_text(subject + change_word(g.kind), g.fields, g.kind != CHANGE::changed));
    }
}

void write_segment(std::ostream& out, const SEGMENT_CHANGE& c)
{
    std::string line = line_text(c.label + change_word(c.kind), c.fields, c.kind != CHANGE::changed);
    if (c.differing_bytes > 0)
        line += format("%s%" PRIu64 " %s, the first at 0x%08" PRIx32, c.fields.empty() ? ": " : ", ",
                       c.differing_bytes, c.differing_bytes == 1 ? "byte differs" : "bytes differ",
                       c.first_difference);
    write_line(out, line);
}

} // namespace

IMAGE_DIFF diff_images(const MAP_IMAGE& before, const MAP_IMAGE& after, const MODULE_SET& set)
{
    IMAGE_DIFF d;
    d.identical = before.size == after.size && std::memcmp(before.bytes, after.bytes, before.size) == 0;
    d.header = header_changes(before.ehdr, after.ehdr);
    d.mode_before = mode_name(image_mode(before));
    d.mode_after = mode_name(image_mode(after));
    d.shared_data = shared_data_changes(before, after);
    d.note = note_changes(before, after, set);
    d.segments = segment_changes(before, after, set);
    if (!d.identical && nothing_listed(d))
        d.other_difference = first_differing_offset(before, after);
    d.loaded_before = load_totals(before);
    d.loaded_after = load_totals(after);
    return d;
}

void write_diff_text(std::ostream& out, const IMAGE_DIFF& d)
{
    if (d.identical)
        return;
    if (!d.header.empty())
        write_line(out, line_text("header", d.header, false));
    if (d.mode_before != d.mode_after)
        write_line(out, "mode: " + d.mode_before + " -> " + d.mode_after);
    if (!d.shared_data.empty())
        write_line(out, line_text("Shared Data segment", d.shared_data, false));
    write_note(out, d);
    for (const SEGMENT_CHANGE& c : d.segments)
        write_segment(out, c);
    if (d.other_difference)
        out << format("file: the bytes differ from offset 0x%08" PRIx32 ", outside every field compared\n",
                      *d.other_difference);
    const LOAD_TOTALS &a = d.loaded_before, &b = d.loaded_after;
    out << format("Loaded: 0x%" PRIx64 " -> 0x%" PRIx64 " bytes from the file (%+" PRId64 "), 0x%" PRIx64
                  " -> 0x%" PRIx64 " bytes of memory (%+" PRId64 ")\n",
                  a.file_bytes, b.file_bytes, static_cast<int64_t>(b.file_bytes - a.file_bytes), a.memory_bytes,
                  b.memory_bytes, static_cast<int64_t>(b.memory_bytes - a.memory_bytes));
}
