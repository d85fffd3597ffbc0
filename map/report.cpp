// SPDX-License-Identifier: MIT
// The default report: header, mode, Shared Data segment, the modules that
// the note describes, the segment table, a summary, memory use by module
// and by region, and the image's digest, as plain text.
#include "map.h"

#include <algorithm>
#include <cinttypes>

namespace {

// Names in the rows below go through printable(): they come from the
// command line and from untrusted modules, and each row stays one line.
std::string type_text(uint32_t p_type)
{
    const char* name = segment_type_name(p_type);
    return name ? name : format("0x%" PRIx32, p_type);
}

void write_header(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set)
{
    out << format("Image: %s (%" PRIu32 " bytes)\n", printable(path).c_str(), image.size);
    out << format("Header: entry 0x%08" PRIx32 ", flags 0x%08" PRIx32 ", %zu program headers\n",
                  image.ehdr.e_entry, image.ehdr.e_flags, image.phdrs.size());
    out << format("Mode: %s\n", mode_name(resolved_mode(image, set)));
}

void write_shared_data(std::ostream& out, const MAP_IMAGE& image)
{
    if (!image.layout.system) {
        out << "Shared Data segment: none\n";
        return;
    }
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    const Elf32_Phdr& table = image.phdrs[0];
    out << format("Shared Data segment: address 0x%08" PRIx32 ", memory size 0x%" PRIx32 ", file size 0x%" PRIx32 "\n",
                  sd.p_vaddr, sd.p_memsz, sd.p_filesz);
    out << format("  program header table at +0x%" PRIx32 ", 0x%" PRIx32 " bytes\n", table.p_vaddr - sd.p_vaddr,
                  table.p_filesz);
    if (!image.layout.note_index) {
        out << "  note: none\n";
        return;
    }
    const Elf32_Phdr& note = image.phdrs[*image.layout.note_index];
    out << format("  note at +0x%" PRIx32 ", 0x%" PRIx32 " bytes\n", note.p_vaddr - sd.p_vaddr, note.p_filesz);
}

// A value's column in the table of described modules: its text, then the
// room to the next column.
std::string note_cell(const NOTE_FIELD& f, int64_t value)
{
    switch (f.kind) {
    case NOTE_VALUE::pid:
        return format("%-4" PRId64 " ", value);
    case NOTE_VALUE::number:
        return format("%-11" PRId64 "  ", value);
    case NOTE_VALUE::address:
    case NOTE_VALUE::size:
        break;
    }
    return format("0x%08" PRIx64 "  ", value);
}

void write_modules(std::ostream& out, const MAP_IMAGE& image, const MODULE_SET& set)
{
    if (!image.layout.system)
        return;
    out << format("Modules described by the note: %zu\n", image.groups.size());
    if (image.groups.empty())
        return;
    std::string heading = "  ";
    for (const NOTE_FIELD& f : note_fields)
        append_padded(heading, f.heading, note_cell(f, 0).size());
    out << heading << "file\n";
    for (size_t g = 0; g < image.groups.size(); ++g) {
        std::string line = "  ";
        for (const NOTE_FIELD& f : note_fields)
            line += note_cell(f, note_value(image.groups[g], f));
        const char* file = described_file(set, g);
        out << line << (file ? printable(file) : "-") << "\n";
    }
}

// Left-justifies what line holds from start on in width columns.
void pad_from(std::string& line, size_t start, size_t width)
{
    if (line.size() < start + width)
        line.append(start + width - line.size(), ' ');
}

// "m.elf section 2 .data", with "-" for a section without a name.
void append_elf_section(std::string& lines, const std::string& file, const SECTION_REF& s)
{
    lines += file;
    lines += " section ";
    append_decimal(lines, s.handle->index);
    lines += ' ';
    if (s.name.empty())
        lines += '-';
    else
        append_printable(lines, s.name);
}

// One line per section, as "       %s section %u %s  0x%08x  0x%x%s" would
// print it; a segment may hold thousands, so the lines are built by hand.
void append_sections(std::string& lines, const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    const ELF_DESC* module = nullptr;
    std::string file;
    for (const SECTION_REF& s : sections_in(image, index, set)) {
        const SHDR_HANDLE& h = *s.handle;
        if (h.desc != module)
            module = h.desc, file = printable(module->name);
        lines += "       ";
        if (raw_image(s))
            append_printable(lines, section_label(s));
        else
            append_elf_section(lines, file, s);
        lines += "  0x";
        append_hex(lines, h.sh_addr, 8);
        lines += "  0x";
        append_hex(lines, h.sh_size);
        lines += h.nobits ? " (zero-filled)\n" : "\n";
    }
}

std::string letters_text(const SEGMENT_OWNER& owner)
{
    return owner.system ? "system" : owner.letters;
}

// "  %-4zu %-8s 0x%08x-0x%08llx  0x%08x  0x%08x  0x%08x  0x%08x  %s   0x%08x  %s"
void append_segment(std::string& line, const MAP_IMAGE& image, size_t i, const MODULE_SET& set)
{
    const Elf32_Phdr& p = image.phdrs[i];
    line += "  ";
    size_t start = line.size();
    append_decimal(line, i);
    pad_from(line, start, 4);
    line += ' ';
    start = line.size();
    line += type_text(p.p_type);
    pad_from(line, start, 8);
    line += ' ';
    const uint32_t fields[] = {p.p_paddr, p.p_offset, p.p_filesz, p.p_memsz};
    line += "0x";
    append_hex(line, p.p_vaddr, 8);
    line += "-0x";
    append_hex(line, segment_end(p), 8);
    for (const uint32_t field : fields) {
        line += "  0x";
        append_hex(line, field, 8);
    }
    line += "  ";
    line += permissions(p.p_flags);
    line += "   0x";
    append_hex(line, p.p_flags & PROT_BITS, 8);
    line += "  ";
    line += letters_text(segment_owner(image, i, set));
    line += '\n';
}

void write_segments(std::ostream& out, const MAP_IMAGE& image, const MODULE_SET& set)
{
    out << format("Segments: %zu\n", image.phdrs.size());
    out << "  #    type     virtual range          physical    offset      file size   mem size    perm  "
           "prot        slots\n";
    std::string lines;
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        append_segment(lines, image, i, set);
        append_sections(lines, image, i, set);
        // Written a piece at a time: the table of a million sections is
        // never held whole.
        if (lines.size() >= 65536 || i + 1 == image.phdrs.size()) {
            out << lines;
            lines.clear();
        }
    }
}

void write_summary(std::ostream& out, const MAP_IMAGE& image)
{
    const LOAD_TOTALS t = load_totals(image);
    out << format("Loaded: %zu PT_LOAD segments, 0x%" PRIx64 " bytes from the file, 0x%" PRIx64 " bytes of memory\n",
                  t.segments, t.file_bytes, t.memory_bytes);
    const std::vector<MAP_GAP> gaps = memory_gaps(image);
    out << format("Gaps: %zu\n", gaps.size());
    for (const MAP_GAP& g : gaps)
        out << format("  0x%08" PRIx32 "-0x%08" PRIx64 "  0x%" PRIx64 " bytes\n", g.start, g.end, g.end - g.start);
}

// A row's option letters, or the protection bits that no slot has.
std::string row_name(const USAGE_ROW& row)
{
    return row.slots.empty() ? format("0x%08" PRIx32, row.prot) : row.slots;
}

// Sizes in decimal, as a linker's memory report gives them.
void write_usage(std::ostream& out, const MAP_IMAGE& image, const MODULE_SET& set)
{
    const std::vector<USAGE_ROW> rows = memory_usage(image, set);
    out << format("Memory use by %s: %zu\n", set.given ? "module" : "slot", rows.size());
    if (rows.empty())
        return;
    int width = 4;
    for (const USAGE_ROW& row : rows)
        width = std::max(width, static_cast<int>(row_name(row).size()));
    out << format("  %-*s  pid  code        rodata      data        bss         total%s\n", width, "slot",
                  set.given ? "       file" : "");
    for (const USAGE_ROW& r : rows) {
        const std::string row = format("  %-*s  %-3s  %-10" PRIu64 "  %-10" PRIu64 "  %-10" PRIu64 "  %-10" PRIu64
                                       "  %-10" PRIu64,
                                       width, row_name(r).c_str(), r.pid < 0 ? "-" : std::to_string(r.pid).c_str(),
                                       r.code, r.rodata, r.data, r.bss, r.total());
        out << (r.file ? row + "  " + printable(r.file) : row.substr(0, row.find_last_not_of(' ') + 1)) << "\n";
    }
}

// Used of size as a percentage with two decimals, rounded down.
std::string percentage(uint64_t used, uint32_t size)
{
    const uint64_t hundredths = used * 10000 / size;
    return format("%" PRIu64 ".%02" PRIu64 "%%", hundredths / 100, hundredths % 100);
}

void write_regions(std::ostream& out, const MAP_IMAGE& image, const std::vector<REGION>& regions)
{
    if (regions.empty())
        return;
    int width = 6;
    for (const REGION& r : regions)
        width = std::max(width, static_cast<int>(printable(r.name).size()));
    out << format("Memory regions: %zu\n", regions.size());
    out << format("  %-*s  kind  start       used        size        used %%\n", width, "region");
    for (const REGION& r : regions) {
        const uint64_t used = region_used(image, r);
        // Marked as a linker's memory report marks it, --check or not.
        const uint64_t overflow = region_overflow(used, r);
        out << format("  %-*s  %-4s  0x%08" PRIx32 "  %-10" PRIu64 "  %-10" PRIu32 "  %s%s\n", width,
                      printable(r.name).c_str(), region_kind_name(r.kind), r.start, used, r.size,
                      percentage(used, r.size).c_str(),
                      overflow ? format("  overflowed by %" PRIu64 " bytes", overflow).c_str() : "");
    }
}

} // namespace

const char* segment_type_name(uint32_t p_type)
{
    switch (p_type) {
    case PT_LOAD:
        return "PT_LOAD";
    case PT_NOTE:
        return "PT_NOTE";
    case PT_PHDR:
        return "PT_PHDR";
    }
    return nullptr;
}

std::string permissions(uint32_t p_flags)
{
    std::string rwx = "---";
    if (p_flags & PF_R)
        rwx[0] = 'R';
    if (p_flags & PF_W)
        rwx[1] = 'W';
    if (p_flags & PF_X)
        rwx[2] = 'X';
    return rwx;
}

const char* described_file(const MODULE_SET& set, size_t g)
{
    return g < set.expected.described.size() ? set.expected.described[g]->name : nullptr;
}

void write_text_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set,
                       const std::vector<REGION>& regions)
{
    write_header(out, path, image, set);
    write_shared_data(out, image);
    write_modules(out, image, set);
    write_segments(out, image, set);
    write_summary(out, image);
    write_usage(out, image, set);
    write_regions(out, image, regions);
    out << format("SHA-256 of the image: %s\n", sha256_hex(image.bytes, image.size).c_str());
}
