// SPDX-License-Identifier: MIT
// --svg: the address space as a picture that a browser shows. One band per
// PT_LOAD entry down a column of run addresses, and where any entry is
// stored elsewhere a second column of load addresses. Bands and gaps share
// one scale, but a band keeps room for its label and a gap is cut short, so
// that a 16 MiB hole does not squash everything else. The file is
// self-contained: no scripts, no fonts but the viewer's own, no links.
#include "map.h"

#include <algorithm>
#include <array>
#include <cinttypes>

namespace {

using namespace std::literals;


constexpr uint64_t BYTES_PER_PIXEL = 256;
constexpr uint64_t MIN_BAND = 16;  // room for one line of text
constexpr uint64_t MAX_BAND = 160; // a band may not fill the picture either
constexpr uint64_t GAP_CAP = 24;   // a longer gap is drawn cut, with a break
constexpr uint64_t TOP = 56;       // the axis starts below the headings
constexpr int MARGIN = 16;
constexpr int COLUMN_WIDTH = 400;
constexpr int COLUMN_GAP = 24;
constexpr int LEGEND_WIDTH = 300;
constexpr int LEGEND_ROW = 18;
constexpr size_t LABEL_CHARS = 54; // of 11-pixel monospace, in a column

// A PT_LOAD entry's place in one column: by run address, or in the load
// column by where its file bytes are stored.
struct BAND {
    size_t entry;
    uint32_t start;
    uint64_t end;
    bool stored;
};

// Every band edge in address order, and the y of each. Stretch i lies
// between stops i and i + 1; cut marks the gaps drawn short.
struct AXIS {
    std::vector<uint64_t> stops;
    std::vector<uint64_t> y;
    std::vector<bool> cut;
};

std::vector<BAND> bands_of(const MAP_IMAGE& image)
{
    std::vector<BAND> bands;
    bands.reserve(2 * image.phdrs.size()); // at most two an entry, touched once
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_type != PT_LOAD)
            continue;
        bands.push_back({i, p.p_vaddr, segment_end(p), false});
        if (p.p_filesz > 0 && p.p_paddr != p.p_vaddr)
            bands.push_back({i, p.p_paddr, uint64_t{p.p_paddr} + p.p_filesz, true});
    }
    return bands;
}

size_t stop_index(const AXIS& axis, uint64_t address)
{
    return static_cast<size_t>(std::lower_bound(axis.stops.begin(), axis.stops.end(), address) - axis.stops.begin());
}

AXIS make_axis(const std::vector<BAND>& bands)
{
    AXIS axis;
    axis.stops.reserve(2 * bands.size());
    for (const BAND& b : bands)
        axis.stops.insert(axis.stops.end(), {b.start, b.end});
    std::sort(axis.stops.begin(), axis.stops.end());
    axis.stops.erase(std::unique(axis.stops.begin(), axis.stops.end()), axis.stops.end());
    // How many bands cover each stretch, from their edges.
    std::vector<int64_t> cover(axis.stops.size() + 1);
    for (const BAND& b : bands) {
        ++cover[stop_index(axis, b.start)];
        --cover[stop_index(axis, b.end)];
    }
    axis.y.reserve(axis.stops.size());
    axis.y.push_back(TOP);
    int64_t covered = 0;
    for (size_t i = 0; i + 1 < axis.stops.size(); ++i) {
        covered += cover[i];
        const uint64_t scaled = (axis.stops[i + 1] - axis.stops[i]) / BYTES_PER_PIXEL;
        const uint64_t height = covered > 0 ? std::clamp(scaled, MIN_BAND, MAX_BAND) : std::min(scaled, GAP_CAP);
        axis.cut.push_back(covered == 0 && scaled > GAP_CAP);
        axis.y.push_back(axis.y.back() + height);
    }
    return axis;
}

uint64_t y_of(const AXIS& axis, uint64_t address)
{
    return axis.y[stop_index(axis, address)];
}

// Printable text for XML: its special characters as entities, and the two
// code points that XML refuses (U+FFFE, U+FFFF) escaped as printable()
// escapes bytes.
std::string xml_escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool noncharacter = c == '\xEF' && text.compare(i, 2, "\xEF\xBF") == 0 && i + 2 < text.size() &&
                                  (static_cast<unsigned char>(text[i + 2]) | 1) == 0xBF;
        if (noncharacter) {
            out += format("\\xef\\xbf\\x%02x", static_cast<unsigned char>(text[i + 2]));
            i += 2;
            continue;
        }
        switch (c) {
        case '&':
            out += "&amp;"sv;
            break;
        case '<':
            out += "&lt;"sv;
            break;
        case '>':
            out += "&gt;"sv;
            break;
        case '"':
            out += "&quot;"sv;
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string xml_text(std::string_view raw)
{
    return xml_escape(printable(raw));
}

// At most count characters of printable text; a longer one ends in an
// ellipsis.
std::string fit(const std::string& text, size_t count)
{
    size_t chars = 0, cut = text.size();
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue; // inside a character
        if (chars == count - 1)
            cut = i;
        if (++chars > count)
            return text.substr(0, cut) + "\xE2\x80\xA6";
    }
    return text;
}

std::string_view base_name(const char* path)
{
    const std::string_view p(path);
    return p.substr(p.rfind('/') + 1);
}

// Text that neither printable() nor XML would change.
bool plain_xml(std::string_view text)
{
    static const auto plain = [] {
        std::array<bool, 256> table{};
        for (int c = 0x20; c < 0x7F; ++c)
            table[static_cast<size_t>(c)] = c != '\\' && c != '&' && c != '<' && c != '>' && c != '"';
        return table;
    }();
    return std::all_of(text.begin(), text.end(), [](char c) { return plain[static_cast<unsigned char>(c)]; });
}

void append_xml_text(std::string& out, std::string_view raw)
{
    if (plain_xml(raw))
        out += raw;
    else
        out += xml_text(raw);
}

// A label as fit() cuts it, escaped for XML. Plain text is one byte a
// character, so it is cut without a copy.
void append_label(std::string& out, const std::string& label)
{
    if (!plain_xml(label)) {
        out += xml_escape(fit(printable(label), LABEL_CHARS));
        return;
    }
    if (label.size() <= LABEL_CHARS) {
        out += label;
        return;
    }
    out.append(label, 0, LABEL_CHARS - 1).append("\xE2\x80\xA6"sv);
}

// "kernel.elf .data .bss" with the modules, else "slots k" or "Shared Data
// segment", appended to name.
void append_band_name(std::string& name, const MAP_IMAGE& image, size_t i, const MODULE_SET& set,
                      const SEGMENT_OWNER& owner)
{
    if (owner.system) {
        name += "Shared Data segment"sv;
        return;
    }
    const size_t start = name.size();
    const ELF_DESC* last = nullptr;
    for (const SECTION_REF& s : sections_in(image, i, set)) {
        const ELF_DESC* module = s.handle->desc;
        if (module != last)
            name.append(name.size() == start ? ""sv : "  "sv).append(base_name(module->name));
        last = module;
        if (module->fake != ELF_KIND)
            continue; // a raw image is its one section
        name += ' ';
        if (s.name.empty())
            append_decimal(name.append("section "sv), s.handle->index);
        else
            name += s.name;
    }
    if (name.size() == start)
        name += owner_text(owner);
}

// "0x%08x-0x%08llx"
void append_range(std::string& out, uint32_t start, uint64_t end)
{
    out += "0x"sv;
    append_hex(out, start, 8);
    out += "-0x"sv;
    append_hex(out, end, 8);
}

// The segment's fields, one line each: "segment 4: PT_LOAD R-X, protection
// 0x00100000, slot e", its run and load ranges, and its sizes.
void append_segment_lines(std::string& title, const Elf32_Phdr& p, size_t i, const SEGMENT_OWNER& owner,
                          std::string& line)
{
    line = "segment "sv;
    append_decimal(line, i);
    line.append(": PT_LOAD "sv).append(permissions(p.p_flags)).append(", protection 0x"sv);
    append_hex(line, p.p_flags & PROT_BITS, 8);
    line.append(", "sv).append(owner_text(owner));
    append_xml_text(title, line);
    title += "\nrun "sv;
    append_range(title, p.p_vaddr, segment_end(p));
    title += ", load "sv;
    append_range(title, p.p_paddr, uint64_t{p.p_paddr} + p.p_filesz);
    title += "\nfile size 0x"sv;
    append_hex(title, p.p_filesz);
    title += ", memory size 0x"sv;
    append_hex(title, p.p_memsz);
}

// What a browser shows on hover: the segment's fields and its sections,
// "section 1 (.text) of k.elf at 0x00008000, 0x10c bytes" each.
void append_band_title(std::string& svg, const MAP_IMAGE& image, size_t i, const MODULE_SET& set,
                       const SEGMENT_OWNER& owner, std::string& line)
{
    append_segment_lines(svg, image.phdrs[i], i, owner, line);
    for (const SECTION_REF& s : sections_in(image, i, set)) {
        line.clear();
        append_section_label(line, s);
        line += " at 0x"sv;
        append_hex(line, s.handle->sh_addr, 8);
        line += ", 0x"sv;
        append_hex(line, s.handle->sh_size);
        line += " bytes"sv;
        svg += '\n';
        append_xml_text(svg, line);
    }
}

const char* colour_of(const SEGMENT_OWNER& owner)
{
    const int slot = owner.system || owner.letters.empty() ? SYSTEM_SLOT : slot_of(owner.letters[0]);
    return slots[slot < 0 ? SYSTEM_SLOT : slot].colour;
}

void append_attribute(std::string& svg, const char* name, uint64_t value)
{
    svg.append(" "sv).append(name).append("=\""sv);
    append_decimal(svg, value);
    svg += '"';
}

// Text made for each band, kept from band to band so that none is allocated
// anew: a picture may have a hundred thousand bands.
struct SCRATCH {
    std::string line;
    std::string label;
};

// One band: its title, its rectangle and, where there is room, its label.
void append_band(std::string& svg, const MAP_IMAGE& image, const BAND& b, const SEGMENT_OWNER& owner,
                 const AXIS& axis, const MODULE_SET& set, SCRATCH& scratch)
{
    const uint64_t top = y_of(axis, b.start), height = y_of(axis, b.end) - top;
    const int x = b.stored ? MARGIN + COLUMN_WIDTH + COLUMN_GAP : MARGIN;
    svg.append("<g class=\""sv).append(b.stored ? "stored"sv : "segment"sv).append("\"><title>"sv);
    append_band_title(svg, image, b.entry, set, owner, scratch.line);
    svg += "</title><rect"sv;
    append_attribute(svg, "x", x);
    append_attribute(svg, "y", top);
    append_attribute(svg, "width", COLUMN_WIDTH);
    append_attribute(svg, "height", height);
    svg.append(" fill=\""sv).append(colour_of(owner)).append("\" stroke=\"#555555\" stroke-width=\"0.5\"/>"sv);
    if (height >= MIN_BAND) {
        std::string& label = scratch.label;
        label.clear();
        append_band_name(label, image, b.entry, set, owner);
        label += b.stored ? "  stored "sv : "  "sv;
        append_range(label, b.start, b.end);
        svg += "<text"sv;
        append_attribute(svg, "x", x + 6);
        append_attribute(svg, "y", top + 12);
        svg += '>';
        append_label(svg, label);
        svg += "</text>"sv;
    }
    svg += "</g>\n"sv;
}

// A gap drawn short: a zigzag break, and how much was left out.
void append_break(std::string& svg, const AXIS& axis, size_t i)
{
    const uint64_t middle = (axis.y[i] + axis.y[i + 1]) / 2;
    svg += "<g class=\"gap\"><polyline fill=\"none\" stroke=\"#888888\" points=\""sv;
    for (int k = 0; k <= 8; ++k) {
        if (k)
            svg += ' ';
        append_decimal(svg, MARGIN + 6 * k);
        svg += ',';
        append_decimal(svg, middle + (k % 2 ? 4 : 0) - 2);
    }
    svg += "\"/><text"sv;
    append_attribute(svg, "x", MARGIN + 60);
    append_attribute(svg, "y", middle + 4);
    svg += " fill=\"#666666\">a gap of 0x"sv;
    append_hex(svg, axis.stops[i + 1] - axis.stops[i]);
    svg += " bytes, cut short</text></g>\n"sv;
}

struct LEGEND_ENTRY {
    SEGMENT_OWNER owner;
    std::vector<std::string> files;         // with the modules given
    std::vector<const ELF_DESC*> modules;   // whose files are listed
};

void add_file(LEGEND_ENTRY& e, const ELF_DESC* module)
{
    if (std::find(e.modules.begin(), e.modules.end(), module) != e.modules.end())
        return;
    e.modules.push_back(module);
    const std::string file(base_name(module->name));
    if (std::find(e.files.begin(), e.files.end(), file) == e.files.end())
        e.files.push_back(file);
}

// One entry per set of slot letters, in address order of first use.
std::vector<LEGEND_ENTRY> legend_of(const MAP_IMAGE& image, const std::vector<BAND>& bands,
                                    const std::vector<SEGMENT_OWNER>& owners, const MODULE_SET& set)
{
    std::vector<LEGEND_ENTRY> entries;
    for (size_t k = 0; k < bands.size(); ++k) {
        const SEGMENT_OWNER& owner = owners[k];
        auto e = std::find_if(entries.begin(), entries.end(), [&](const LEGEND_ENTRY& x) {
            return x.owner.system == owner.system && x.owner.letters == owner.letters;
        });
        if (e == entries.end())
            e = entries.insert(entries.end(), {owner, {}, {}});
        const ELF_DESC* last = nullptr;
        for (const SECTION_REF& s : sections_in(image, bands[k].entry, set))
            if (s.handle->desc != last)
                add_file(*e, last = s.handle->desc);
    }
    return entries;
}

std::string legend_text(const LEGEND_ENTRY& e)
{
    if (e.owner.system)
        return "system: the Shared Data segment";
    std::string text = owner_text(e.owner);
    const int slot = e.owner.letters.size() == 1 ? slot_of(e.owner.letters[0]) : -1;
    if (slot >= 0 && slots[slot].pid >= 0)
        text += format(", pid %" PRId32, slots[slot].pid);
    for (size_t k = 0; k < e.files.size(); ++k)
        text += (k ? ", " : ": ") + e.files[k];
    return text;
}

void write_legend(std::ostream& out, const std::vector<LEGEND_ENTRY>& entries, int x)
{
    uint64_t y = TOP;
    out << format("<g class=\"legend\"><text x=\"%d\" y=\"%d\">Slots</text>\n", x, static_cast<int>(TOP) - 8);
    for (const LEGEND_ENTRY& e : entries) {
        out << format("<rect x=\"%d\" y=\"%" PRIu64 "\" width=\"12\" height=\"12\" fill=\"%s\" stroke=\"#555555\" "
                      "stroke-width=\"0.5\"/><text x=\"%d\" y=\"%" PRIu64 "\">%s</text>\n",
                      x, y, colour_of(e.owner), x + 18, y + 10,
                      xml_escape(fit(printable(legend_text(e)), LABEL_CHARS - 10)).c_str());
        y += LEGEND_ROW;
    }
    out << "</g>\n";
}

} // namespace

void write_svg(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set)
{
    std::vector<BAND> bands = bands_of(image);
    const bool any_stored = std::any_of(bands.begin(), bands.end(), [](const BAND& b) { return b.stored; });
    const AXIS axis = make_axis(bands);
    std::stable_sort(bands.begin(), bands.end(), [](const BAND& a, const BAND& b) { return a.start < b.start; });
    const int legend_x = MARGIN + (any_stored ? 2 : 1) * (COLUMN_WIDTH + COLUMN_GAP);
    // Each band's owner is worked out once, for the legend and the band.
    std::vector<SEGMENT_OWNER> owners;
    owners.reserve(bands.size());
    for (const BAND& b : bands)
        owners.push_back(segment_owner(image, b.entry, set));
    const std::vector<LEGEND_ENTRY> legend = legend_of(image, bands, owners, set);
    const uint64_t height = std::max(axis.y.back(), TOP + LEGEND_ROW * legend.size()) + MARGIN;
    const int width = legend_x + LEGEND_WIDTH;

    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out << format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%" PRIu64
                  "\" viewBox=\"0 0 %d %" PRIu64 "\" font-family=\"monospace\" font-size=\"11\">\n",
                  width, height, width, height);
    out << "<title>" << xml_text("Memory map of " + path) << "</title>\n";
    out << format("<rect width=\"%d\" height=\"%" PRIu64 "\" fill=\"#ffffff\"/>\n", width, height);
    out << format("<text x=\"%d\" y=\"20\" font-size=\"13\">%s</text>\n", MARGIN,
                  xml_escape(fit(printable(path), 2 * LABEL_CHARS)).c_str());
    out << format("<text x=\"%d\" y=\"%d\">run addresses</text>\n", MARGIN, static_cast<int>(TOP) - 8);
    if (any_stored)
        out << format("<text x=\"%d\" y=\"%d\">load addresses, where they differ</text>\n",
                      MARGIN + COLUMN_WIDTH + COLUMN_GAP, static_cast<int>(TOP) - 8);
    std::string breaks;
    for (size_t i = 0; i < axis.cut.size(); ++i)
        if (axis.cut[i])
            append_break(breaks, axis, i);
    out << breaks;
    std::string svg;
    SCRATCH scratch;
    for (size_t k = 0; k < bands.size(); ++k) {
        append_band(svg, image, bands[k], owners[k], axis, set, scratch);
        if (svg.size() >= 65536 || k + 1 == bands.size()) {
            out << svg;
            svg.clear();
        }
    }
    write_legend(out, legend, legend_x);
    out << "</svg>\n";
}
