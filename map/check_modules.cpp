// SPDX-License-Identifier: MIT
// --check with module options: the image against its inputs. A loader maps
// every PT_LOAD entry; each collected section must then be found at its
// address, and the note must describe the modules that elf-merge describes.
#include "map.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <queue>

namespace {

// One stretch of memory as a loader leaves it: file bytes of entry up to
// its p_filesz, zeros up to its p_memsz.
struct PIECE {
    uint64_t start;
    uint64_t end;
    const Elf32_Phdr* entry;
};

// The stretches in address order, none overlapping. Where entries overlap
// (the checks of the layout report it), the first in table order holds the
// byte. Entries whose file bytes do not lie in the image hold nothing.
using LOADED = std::vector<PIECE>;

// Each entry joins at its start and leaves at its end; between two such
// edges the lowest-numbered entry present holds the memory.
LOADED loaded_memory(const MAP_IMAGE& image)
{
    std::vector<size_t> order;
    std::vector<uint64_t> edges;
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_type != PT_LOAD || p.p_memsz == 0 || !inside(p.p_offset, p.p_filesz, 1, image.size))
            continue;
        order.push_back(i);
        edges.insert(edges.end(), {p.p_vaddr, segment_end(p)});
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return image.phdrs[a].p_vaddr < image.phdrs[b].p_vaddr; });
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    std::priority_queue<size_t, std::vector<size_t>, std::greater<>> present;
    LOADED pieces;
    size_t next = 0;
    for (size_t e = 0; e + 1 < edges.size(); ++e) {
        for (; next < order.size() && image.phdrs[order[next]].p_vaddr <= edges[e]; ++next)
            present.push(order[next]);
        while (!present.empty() && segment_end(image.phdrs[present.top()]) <= edges[e])
            present.pop();
        if (present.empty())
            continue;
        const Elf32_Phdr* entry = &image.phdrs[present.top()];
        if (!pieces.empty() && pieces.back().entry == entry && pieces.back().end == edges[e])
            pieces.back().end = edges[e + 1];
        else
            pieces.push_back({edges[e], edges[e + 1], entry});
    }
    return pieces;
}

const PIECE* piece_at(const LOADED& memory, uint64_t addr)
{
    const auto after = std::upper_bound(memory.begin(), memory.end(), addr,
                                        [](uint64_t a, const PIECE& p) { return a < p.start; });
    if (after == memory.begin() || addr >= std::prev(after)->end)
        return nullptr;
    return &*std::prev(after);
}

// The index of the first of count bytes at memory that differs from wanted
// (zeros where wanted is null), or count.
size_t first_difference(const uint8_t* memory, const uint8_t* wanted, size_t count)
{
    static const uint8_t zeros[4096] = {};
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(count - done, sizeof zeros);
        const uint8_t* expected = wanted ? wanted + done : zeros;
        if (std::memcmp(memory + done, expected, n) != 0)
            return done + static_cast<size_t>(std::mismatch(memory + done, memory + done + n, expected).first -
                                              (memory + done));
        done += n;
    }
    return count;
}

// What a loader leaves at [addr, addr + count) against the bytes wanted
// (zeros where wanted is null).
struct FINDING {
    enum { none, unmapped, differs } kind = none;
    uint64_t addr = 0;
    int found = 0, wanted = 0;
};

FINDING compare_memory(const MAP_IMAGE& image, const LOADED& memory, uint64_t addr, const uint8_t* wanted,
                       uint32_t count)
{
    for (uint32_t done = 0; done < count;) {
        const uint64_t at = addr + done;
        const PIECE* piece = piece_at(memory, at);
        if (!piece)
            return {FINDING::unmapped, at};
        const Elf32_Phdr& p = *piece->entry;
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(count - done, piece->end - at));
        const uint64_t offset = at - p.p_vaddr;
        const auto file_bytes =
            static_cast<uint32_t>(offset < p.p_filesz ? std::min<uint64_t>(n, p.p_filesz - offset) : 0);
        const uint8_t* here = wanted ? wanted + done : nullptr;
        const uint8_t* bytes = image.bytes + p.p_offset + offset;
        size_t k = first_difference(bytes, here, file_bytes);
        if (k < file_bytes)
            return {FINDING::differs, at + k, bytes[k], here ? here[k] : 0};
        // Past p_filesz the loader leaves zeros.
        for (k = file_bytes; here && k < n; ++k)
            if (here[k] != 0)
                return {FINDING::differs, at + k, 0, here[k]};
        done += n;
    }
    return {};
}

// A module's bytes, read a large piece at a time: sections come in file
// order, usually back to back, so most need no read of their own.
constexpr uint32_t WINDOW_SIZE = 1 << 20;

struct WINDOW {
    const ELF_DESC* module = nullptr;
    uint64_t start = 0;
    std::vector<uint8_t> bytes;
};

// count bytes (at most WINDOW_SIZE) of module m at offset, which lie in its file.
const uint8_t* module_bytes(WINDOW& w, const ELF_DESC& m, uint64_t offset, uint32_t count)
{
    if (w.module != &m || offset < w.start || offset + count > w.start + w.bytes.size()) {
        const uint64_t rest = m.size > offset ? m.size - offset : 0;
        w.bytes.resize(std::max<uint64_t>(count, std::min<uint64_t>(WINDOW_SIZE, rest)));
        read_module_bytes(m, offset, static_cast<uint32_t>(w.bytes.size()), w.bytes.data());
        w.module = &m;
        w.start = offset;
    }
    return w.bytes.data() + (offset - w.start);
}

// The first byte of the section that the loader does not hold, as one line;
// empty when all of it is there.
std::string check_loaded(const MAP_IMAGE& image, const LOADED& memory, WINDOW& window, const SECTION_REF& s)
{
    const SHDR_HANDLE& h = *s.handle;
    for (uint32_t done = 0; done < h.sh_size;) {
        const uint32_t count = std::min(WINDOW_SIZE, h.sh_size - done);
        const uint8_t* wanted = h.nobits ? nullptr : module_bytes(window, *h.desc, uint64_t{h.sh_offset} + done, count);
        const FINDING f = compare_memory(image, memory, uint64_t{h.sh_addr} + done, wanted, count);
        if (f.kind == FINDING::unmapped)
            return format("%s: 0x%08" PRIx64 " is not loaded", section_label(s).c_str(), f.addr);
        if (f.kind == FINDING::differs)
            return format("%s: byte at 0x%08" PRIx64 " is 0x%02x, expected 0x%02x%s", section_label(s).c_str(), f.addr,
                          f.found, f.wanted, h.nobits ? " (zero-filled)" : "");
        done += count;
    }
    return "";
}

// The sections' positions in the list, module by module (in command-line
// order) and in file order within each: a counting sort, as sections
// usually come in file order already.
std::vector<uint32_t> file_order(const MODULE_SET& set)
{
    const auto module_of = [](const SECTION_REF& s) { return size_t{s.handle->module}; };
    std::vector<size_t> first(set.run.modules.size() + 1);
    for (const SECTION_REF& s : set.sections)
        ++first[module_of(s) + 1];
    for (size_t m = 1; m < first.size(); ++m)
        first[m] += first[m - 1];
    std::vector<uint32_t> order(set.sections.size());
    std::vector<size_t> next(first.begin(), first.end() - 1);
    for (size_t i = 0; i < set.sections.size(); ++i)
        order[next[module_of(set.sections[i])]++] = static_cast<uint32_t>(i);
    const auto by_offset = [&](uint32_t a, uint32_t b) {
        return set.sections[a].handle->sh_offset < set.sections[b].handle->sh_offset;
    };
    for (size_t m = 0; m + 1 < first.size(); ++m)
        if (!std::is_sorted(order.begin() + first[m], order.begin() + first[m + 1], by_offset))
            std::stable_sort(order.begin() + first[m], order.begin() + first[m + 1], by_offset);
    return order;
}

// Every section's bytes against memory, at most one line each, in address
// order as the list gives them.
void check_memory(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    const LOADED memory = loaded_memory(image);
    WINDOW window;
    std::vector<std::pair<uint32_t, std::string>> findings;
    for (const uint32_t i : file_order(set)) {
        std::string line = check_loaded(image, memory, window, set.sections[i]);
        if (!line.empty())
            findings.emplace_back(i, std::move(line));
    }
    std::sort(findings.begin(), findings.end());
    for (auto& [i, line] : findings)
        out.push_back(std::move(line));
}

void expect_group_field(LINES& out, size_t g, const char* file, const char* what, uint32_t value, uint32_t wanted)
{
    if (value != wanted)
        add(out, "note group %zu (%s): %s is 0x%" PRIx32 ", expected 0x%" PRIx32, g + 1, file, what, value, wanted);
}

void check_groups(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    if (image.groups.size() != set.expected.described.size())
        add(out, "note: describes %zu modules, expected %zu", image.groups.size(), set.expected.described.size());
    for (size_t g = 0; g < image.groups.size() && g < set.expected.described.size(); ++g) {
        const AUX_GROUP& a = image.groups[g];
        const ELF_DESC& m = *set.expected.described[g];
        const AUX_GROUP wanted = aux_group(m);
        for (const NOTE_FIELD& f : note_fields)
            expect_group_field(out, g, m.name, f.name, a.*f.value, wanted.*f.value);
    }
}

void check_mode(const MAP_IMAGE& image, const RUN& r, LINES& out)
{
    const bool system_wanted = r.kernel || r.resource_manager;
    if (image.layout.system && !system_wanted)
        add(out, "mode: the image has system entries, but the module options give neither -k nor -r");
    if (!image.layout.system && system_wanted)
        add(out, "mode: the module options give %s, but the image has no PT_PHDR entry",
            r.resource_manager ? "-r" : "-k");
    const MAP_MODE seen = image_mode(image);
    const MAP_MODE wanted = r.resource_manager ? MAP_MODE::resource_manager : MAP_MODE::kernel;
    if (image.layout.system && system_wanted && seen != MAP_MODE::kernel_or_rm && seen != wanted)
        add(out, "mode: the note is that of %s mode, but the module options give %s", mode_name(seen),
            r.resource_manager ? "-r" : "-k");
}

void check_header_values(const MAP_IMAGE& image, const RUN& r, LINES& out)
{
    const uint32_t flags = merged_flags(r.modules);
    if (image.ehdr.e_entry != r.entry)
        add(out, "header: e_entry is 0x%08" PRIx32 ", expected 0x%08" PRIx32, image.ehdr.e_entry, r.entry);
    if (image.ehdr.e_flags != flags)
        add(out, "header: e_flags is 0x%08" PRIx32 ", expected 0x%08" PRIx32, image.ehdr.e_flags, flags);
}

void check_shared_data_place(const MAP_IMAGE& image, const MODULE_SET& set, LINES& out)
{
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    const std::string name = segment_label(image, *image.layout.sd_index, set);
    if (sd.p_vaddr != set.run.sd_addr)
        add(out, "%s: address 0x%08" PRIx32 ", expected 0x%08" PRIx32 " (-s)", name.c_str(), sd.p_vaddr,
            set.run.sd_addr);
    const uint32_t memsz = shared_data_memsz(set.run.sd_size, sd.p_filesz);
    if (sd.p_memsz != memsz)
        add(out, "%s: p_memsz 0x%" PRIx32 ", expected 0x%" PRIx32 " (-z)", name.c_str(), sd.p_memsz, memsz);
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
void check_load_addresses(const MAP_IMAGE& image, size_t i, const MODULE_SET& set, std::span<const SECTION_REF> held,
                          LINES& out)
{
    const Elf32_Phdr& p = image.phdrs[i];
    for (const SECTION_REF& s : held) {
        const SHDR_HANDLE& h = *s.handle;
        if (h.nobits && p.p_filesz != 0)
            continue;
        const uint32_t in_image = p.p_paddr + (h.sh_addr - p.p_vaddr);
        const uint32_t wanted = section_load_address(set, s);
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
    const uint64_t end = segment_end(p);
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
    for (size_t i = image.layout.first_section_entry; i < image.phdrs.size(); ++i) {
        if (image.phdrs[i].p_type != PT_LOAD || image.phdrs[i].p_memsz == 0)
            continue;
        const std::span<const SECTION_REF> held = sections_in(image, i, set);
        check_coverage(image, i, held, out);
        check_flags(image, i, held, out);
        check_load_addresses(image, i, set, held, out);
    }
}

} // namespace

LINES check_against_modules(const MAP_IMAGE& image, const MODULE_SET& set)
{
    LINES out;
    check_mode(image, set.run, out);
    check_header_values(image, set.run, out);
    if (image.layout.system)
        check_shared_data_place(image, set, out);
    check_segments(image, set, out);
    check_memory(image, set, out);
    if (image.layout.system)
        check_groups(image, set, out);
    return out;
}
