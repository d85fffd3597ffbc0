// SPDX-License-Identifier: MIT
// Memory use: what each module takes, by kind of bytes, and what the image
// takes of each memory that --region or --load-region names.
#include "map.h"

#include <algorithm>
#include <cinttypes>
#include <map>

namespace {

void count_section(USAGE_ROW& row, const SHDR_HANDLE& h)
{
    if (h.nobits)
        row.bss += h.sh_size;
    else if (h.sh_flags & SHF_EXECINSTR)
        row.code += h.sh_size;
    else if (h.sh_flags & SHF_WRITE)
        row.data += h.sh_size;
    else
        row.rodata += h.sh_size;
}

// Without modules a segment's flags stand for those of its sections, and
// its memory past the file bytes is zero-filled.
void count_segment(USAGE_ROW& row, const Elf32_Phdr& p)
{
    uint64_t& bytes = (p.p_flags & PF_X) ? row.code : (p.p_flags & PF_W) ? row.data : row.rodata;
    bytes += p.p_filesz;
    if (p.p_memsz > p.p_filesz)
        row.bss += p.p_memsz - p.p_filesz;
}

std::vector<USAGE_ROW> usage_by_module(const MODULE_SET& set)
{
    std::vector<USAGE_ROW> rows;
    for (const ELF_DESC& m : set.run.modules)
        rows.push_back({std::string(1, module_letter(m)), m.name, m.pid});
    for (const SECTION_REF& s : set.sections)
        count_section(rows[s.handle->module], *s.handle);
    return rows;
}

// A row for each set of slots that share protection bits, in slot order;
// bits that no slot has come last.
std::vector<USAGE_ROW> usage_by_slot(const MAP_IMAGE& image)
{
    const MODULE_SET none;
    std::map<uint64_t, USAGE_ROW> rows;
    for (size_t i = image.layout.first_section_entry; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_type != PT_LOAD)
            continue;
        const std::string letters = segment_owner(image, i, none).letters;
        const uint32_t prot = p.p_flags & PROT_BITS;
        const int slot = letters.empty() ? -1 : slot_of(letters[0]);
        const uint64_t order = slot < 0 ? SLOT_COUNT + uint64_t{prot} : static_cast<uint64_t>(slot);
        const int32_t pid = letters.size() == 1 ? slots[slot].pid : -1;
        count_segment(rows.try_emplace(order, USAGE_ROW{letters, nullptr, pid, prot}).first->second, p);
    }
    std::vector<USAGE_ROW> list;
    for (const auto& [order, row] : rows)
        list.push_back(row);
    return list;
}

bool holds(const REGION& r, uint32_t address)
{
    return address >= r.start && address - r.start < r.size;
}

uint64_t region_end(const REGION& r)
{
    return uint64_t{r.start} + r.size;
}

// A range that starts in a region but ends past it names that region.
void check_fit(const MAP_IMAGE& image, const LOAD_RANGE& range, const std::vector<REGION>& regions, REGION_KIND kind,
               const MODULE_SET& set, LINES& out)
{
    const REGION* start_in = nullptr;
    for (const REGION& r : regions) {
        if (r.kind != kind || !holds(r, range.start))
            continue;
        if (range.end <= region_end(r))
            return;
        start_in = start_in ? start_in : &r;
    }
    const std::string segment = segment_label(image, range.entry, set);
    const char* name = region_kind_name(kind);
    if (!start_in)
        add(out, "%s: %s range [0x%08" PRIx32 ", 0x%08" PRIx64 ") lies in no %s region", segment.c_str(), name,
            range.start, range.end, name);
    else
        add(out, "%s: %s range [0x%08" PRIx32 ", 0x%08" PRIx64 ") runs past the end of %s region %s [0x%08" PRIx32
                 ", 0x%08" PRIx64 ")",
            segment.c_str(), name, range.start, range.end, name, start_in->name.c_str(), start_in->start,
            region_end(*start_in));
}

// Names the segment whose bytes take the region over its size.
void check_budget(const MAP_IMAGE& image, const std::vector<LOAD_RANGE>& ranges, const REGION& r,
                  const MODULE_SET& set, LINES& out)
{
    uint64_t used = 0;
    for (const LOAD_RANGE& range : ranges) {
        if (!holds(r, range.start))
            continue;
        used += range.end - range.start;
        if (used <= r.size)
            continue;
        add(out, "%s region %s [0x%08" PRIx32 ", 0x%08" PRIx64 ") is over budget: %s brings its use to %" PRIu64
                 " bytes, more than its %" PRIu32,
            region_kind_name(r.kind), r.name.c_str(), r.start, region_end(r),
            segment_label(image, range.entry, set).c_str(), used, r.size);
        return;
    }
}

// A region's START or SIZE as a linker script's MEMORY command writes it:
// decimal digits followed by K or M (times 1024 or 1,048,576). Anything
// else is hexadecimal, as -s and -z are.
bool parse_region_number(const std::string& text, uint32_t& value)
{
    const char unit = text.empty() ? '\0' : text.back();
    const uint64_t scale = unit == 'K' || unit == 'k' ? 1024 : unit == 'M' || unit == 'm' ? 1024 * 1024 : 0;
    if (scale == 0)
        return parse_hex(text.c_str(), value);
    const size_t digits = text.size() - 1;
    uint64_t v = 0;
    for (size_t i = 0; i < digits; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(text[i] - '0');
        if (v * scale > UINT32_MAX)
            return false;
    }
    value = static_cast<uint32_t>(v * scale);
    return digits > 0;
}

} // namespace

std::vector<USAGE_ROW> memory_usage(const MAP_IMAGE& image, const MODULE_SET& set)
{
    return set.given ? usage_by_module(set) : usage_by_slot(image);
}

const char* region_kind_name(REGION_KIND kind)
{
    return kind == REGION_KIND::run ? "run" : "load";
}

LINES parse_region(const std::string& text, REGION_KIND kind, REGION& region)
{
    const size_t equals = text.find('=');
    const size_t colon = text.find(':', equals == std::string::npos ? 0 : equals);
    if (equals == 0 || equals == std::string::npos || colon == std::string::npos)
        return {"expected NAME=START:SIZE"};
    uint32_t start, size;
    if (!parse_region_number(text.substr(equals + 1, colon - equals - 1), start) ||
        !parse_region_number(text.substr(colon + 1), size))
        return {"START and SIZE are hexadecimal numbers, or decimal ones followed by K or M"};
    if (size == 0)
        return {"the region is empty"};
    if (uint64_t{start} + size > ADDRESS_SPACE_END)
        return {"the region passes 0xFFFFFFFF"};
    region = {text.substr(0, equals), kind, start, size};
    return {};
}

uint64_t region_used(const MAP_IMAGE& image, const REGION& region)
{
    uint64_t used = 0;
    for (const LOAD_RANGE& range : sorted_load_ranges(image.phdrs, region.kind))
        if (holds(region, range.start))
            used += range.end - range.start;
    return used;
}

LINES check_regions(const MAP_IMAGE& image, const std::vector<REGION>& regions,
                                       const MODULE_SET& set)
{
    LINES out;
    for (const REGION_KIND kind : {REGION_KIND::run, REGION_KIND::load}) {
        if (std::none_of(regions.begin(), regions.end(), [&](const REGION& r) { return r.kind == kind; }))
            continue;
        const std::vector<LOAD_RANGE> ranges = sorted_load_ranges(image.phdrs, kind);
        for (const LOAD_RANGE& range : ranges)
            check_fit(image, range, regions, kind, set, out);
        for (const REGION& r : regions)
            if (r.kind == kind)
                check_budget(image, ranges, r, set, out);
    }
    return out;
}
