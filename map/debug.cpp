// SPDX-License-Identifier: MIT
// Debugging a merged image, which holds neither section headers nor
// symbols: the modules' own symbols placed in the sections the image holds,
// a GDB command file that loads every module's symbols at its own
// addresses, any address explained by segment, module, section and symbol,
// and a symbol map. Symbols are read by elf-merge's module reader.
#include "map.h"

#include <algorithm>
#include <cinttypes>
#include <filesystem>
#include <iterator>
#include <map>
#include <tuple>

namespace {

// A collected section by its module and its index in the module's table.
using SECTION_KEY = std::pair<const ELF_DESC*, uint32_t>;
using SECTION_INDEX = std::map<SECTION_KEY, const SECTION_REF*>;

SECTION_INDEX sections_by_index(const MODULE_SET& set)
{
    SECTION_INDEX index;
    for (const SECTION_REF& s : set.sections)
        index.emplace(SECTION_KEY{s.handle->desc, s.handle->index}, &s);
    return index;
}

// The section of the image that holds the symbol, or null. A reserved index
// names no section, however many the module has (the reader gives it
// section 0, never collected): an SHN_ABS address is in none. A symbol
// whose value lies outside its own section is no part of it.
const SECTION_REF* symbol_section(const ELF_DESC& m, const MODULE_SYMBOL& symbol, const SECTION_INDEX& sections)
{
    const auto s = sections.find({&m, symbol.section});
    if (s == sections.end())
        return nullptr;
    const SHDR_HANDLE& h = *s->second->handle;
    return symbol.address >= h.sh_addr && symbol.address - h.sh_addr < h.sh_size ? s->second : nullptr;
}

// Only a symbol in a section that the image holds has an address in it.
void add_module_symbols(std::vector<SYMBOL_ENTRY>& out, const ELF_DESC& m, size_t module,
                        const SECTION_INDEX& sections)
{
    for (MODULE_SYMBOL& symbol : read_symbols(m))
        if (const SECTION_REF* s = symbol_section(m, symbol, sections))
            out.push_back({std::move(symbol), s, module, 0});
}

// Symbols come in module order here, so a module's symbols follow each
// other and a name's modules are counted as they change.
void count_modules(std::vector<SYMBOL_ENTRY>& symbols)
{
    struct SEEN {
        size_t module = SIZE_MAX;
        uint32_t modules = 0;
    };
    std::map<std::string_view, SEEN> names;
    for (const SYMBOL_ENTRY& e : symbols) {
        SEEN& seen = names[e.symbol.name];
        if (seen.module != e.module)
            seen.module = e.module, ++seen.modules;
    }
    for (SYMBOL_ENTRY& e : symbols)
        e.modules = names[e.symbol.name].modules;
}

bool symbol_order(const SYMBOL_ENTRY& a, const SYMBOL_ENTRY& b)
{
    return std::tie(a.symbol.address, a.module, a.symbol.name) < std::tie(b.symbol.address, b.module, b.symbol.name);
}

// ---------------------------------------------------------------------------
// The GDB command file

// GDB may run anywhere, so every path is absolute. Where the working
// directory is gone, the path stays as given.
std::string absolute_path(const char* name)
{
    std::error_code error;
    const std::filesystem::path path = std::filesystem::absolute(name, error);
    return error ? name : path.string();
}

// A path as GDB splits a command's arguments: in double quotes, with a
// backslash before each '"' and '\'. Quoted, the line never ends in a
// backslash, which GDB would take for a line continued on the next.
std::string gdb_quoted(const std::string& path)
{
    std::string text = "\"";
    for (const char c : path) {
        if (c == '"' || c == '\\')
            text += '\\';
        text += c;
    }
    return text + "\"";
}

// Each comment below ends in text of its own, never in a name: a name that
// ends in a backslash would otherwise continue the comment over the next
// command.
void write_preamble(std::ostream& out, const std::string& path)
{
    out << "# GDB commands for " << printable(path) << ", written by elf-merge-map --gdb: the symbols of\n"
        << "# every module at the addresses its own sections give. No target and no byte\n"
        << "# order are set: first \"set endian little\" under QEMU's BE32 model or \"set endian\n"
        << "# big\" for a board, then this file, then \"target remote HOST:PORT\".\n"
        << "set confirm off\nset pagination off\n";
}

// A command GDB would stop at, for a module it cannot open again by its name.
void write_symbol_file(std::ostream& out, const char* command, const ELF_DESC& m)
{
    if (names_a_file_again(m.name))
        out << command << " " << gdb_quoted(absolute_path(m.name)) << "\n";
    else
        out << "# " << printable(m.name) << " names no file GDB can open again (a pipe, a device or a\n"
            << "# descriptor): its symbols are not loaded.\n";
}

// The module that supplies the entry point is the program; every other
// ELF module adds its symbols, at its own section addresses.
void write_symbol_files(std::ostream& out, const RUN& r)
{
    const ELF_DESC* program = entry_module(r);
    if (program)
        write_symbol_file(out, "file", *program);
    for (const ELF_DESC& m : r.modules)
        if (m.fake == ELF_KIND && &m != program)
            write_symbol_file(out, "add-symbol-file", m);
}

void write_raw_images(std::ostream& out, const MODULE_SET& set)
{
    for (const SECTION_REF& s : set.sections)
        if (s.handle->desc->fake != ELF_KIND)
            out << format("# A raw image has no symbols: [0x%08" PRIx32 ", 0x%08" PRIx64 ") is ", s.handle->sh_addr,
                          uint64_t{s.handle->sh_addr} + s.handle->sh_size)
                << printable(section_label(s)) << ".\n";
}

// The names several modules define, each with its address in each module.
void write_duplicates(std::ostream& out, const std::vector<SYMBOL_ENTRY>& symbols)
{
    std::map<std::string_view, std::vector<const SYMBOL_ENTRY*>> names;
    for (const SYMBOL_ENTRY& e : symbols)
        if (e.modules > 1)
            names[e.symbol.name].push_back(&e);
    if (names.empty())
        return;
    out << "# Names defined in more than one module: \"break NAME\" stops in each of them and\n"
        << "# \"print &NAME\" finds the first file's; \"break *ADDRESS\" picks one.\n";
    for (auto& [name, entries] : names) {
        std::stable_sort(entries.begin(), entries.end(),
                         [](const SYMBOL_ENTRY* a, const SYMBOL_ENTRY* b) { return a->module < b->module; });
        out << "#   " << printable(name) << " at";
        for (const SYMBOL_ENTRY* e : entries)
            out << (e == entries.front() ? " " : ", ") << format("0x%08" PRIx32, e->symbol.address) << " ("
                << printable(e->section->handle->desc->name) << ")";
        out << "\n";
    }
}

// ---------------------------------------------------------------------------
// Addresses

// The symbol of section s nearest at or below run address addr: the first
// in symbol order of those at the highest such address.
// Symbols lie inside their own sections, which do not overlap: every symbol
// from the section's start to addr is the section's, and the nearest is the
// first of those at the highest address. Two binary searches, however many
// symbols share an address.
const SYMBOL_ENTRY* nearest_symbol(const std::vector<SYMBOL_ENTRY>& symbols, const SECTION_REF& s, uint32_t addr)
{
    const auto by_address = [](const SYMBOL_ENTRY& e, uint32_t a) { return e.symbol.address < a; };
    auto it = std::upper_bound(symbols.begin(), symbols.end(), addr,
                               [](uint32_t a, const SYMBOL_ENTRY& e) { return a < e.symbol.address; });
    if (it == symbols.begin() || std::prev(it)->symbol.address < s.handle->sh_addr)
        return nullptr;
    it = std::lower_bound(symbols.begin(), it, std::prev(it)->symbol.address, by_address);
    return it->section == &s ? &*it : nullptr;
}

// Whether [start, start + size) holds address, without wrapping at 4 GiB.
bool holds(uint32_t start, uint32_t size, uint32_t address)
{
    return address >= start && address - start < size;
}

// A loader stores an entry's file bytes at p_paddr as they lie from
// p_vaddr, so a byte stored at a load address runs at the same offset from
// p_vaddr.
ADDRESS_PLACE place_in(uint32_t address, size_t index, const Elf32_Phdr& p, const MODULE_SET& set,
                       const std::vector<SYMBOL_ENTRY>& symbols)
{
    ADDRESS_PLACE place{address, index};
    place.run = holds(p.p_vaddr, p.p_memsz, address);
    place.load = holds(p.p_paddr, p.p_filesz, address);
    place.run_address = place.run ? address : p.p_vaddr + (address - p.p_paddr);
    place.section = set.given ? section_at(set, place.run_address) : nullptr;
    if (place.section)
        place.symbol = nearest_symbol(symbols, *place.section, place.run_address);
    return place;
}

void append_frame_place(std::string& out, const SOURCE_FRAME& f)
{
    out += " at ";
    append_printable(out, f.file);
    out += format(":%" PRIu32 ":%" PRIu32, f.line, f.column);
}

// ---------------------------------------------------------------------------
// The symbol map

size_t widest(const std::vector<std::string>& texts, size_t least)
{
    for (const std::string& t : texts)
        least = std::max(least, t.size());
    return least;
}

std::string symbol_row(const SYMBOL_ENTRY& e, const std::string& file, size_t file_width, const std::string& section,
                       size_t section_width)
{
    const MODULE_SYMBOL& s = e.symbol;
    std::string row = format("  0x%08" PRIx32 "  %-10" PRIu32 "  %-6s  %-6s  ", s.address, s.st_size,
                             symbol_type_name(s.st_info), symbol_binding_name(s.st_info).c_str());
    append_padded(row, file, file_width);
    row += "  ";
    append_padded(row, section, section_width);
    row += "  " + printable(s.name);
    if (e.modules > 1)
        row += format("  (in %" PRIu32 " modules)", e.modules);
    return row + "\n";
}

} // namespace

std::vector<SYMBOL_ENTRY> module_symbols(const MODULE_SET& set)
{
    if (!set.given)
        return {};
    const SECTION_INDEX sections = sections_by_index(set);
    std::vector<SYMBOL_ENTRY> symbols;
    for (size_t i = 0; i < set.run.modules.size(); ++i)
        add_module_symbols(symbols, set.run.modules[i], i, sections);
    count_modules(symbols);
    std::stable_sort(symbols.begin(), symbols.end(), symbol_order);
    return symbols;
}

const char* symbol_type_name(uint8_t st_info)
{
    return st_type(st_info) == STT_FUNC ? "FUNC" : "OBJECT";
}

std::string symbol_binding_name(uint8_t st_info)
{
    switch (st_bind(st_info)) {
    case STB_LOCAL:
        return "LOCAL";
    case STB_GLOBAL:
        return "GLOBAL";
    case STB_WEAK:
        return "WEAK";
    }
    return std::to_string(st_bind(st_info));
}

LINES gdb_refusal(const MODULE_SET& set)
{
    for (const ELF_DESC& m : set.run.modules) {
        const std::string path = absolute_path(m.name);
        if (m.fake == ELF_KIND && path.find('\n') != std::string::npos)
            return {printable(path) + ": a GDB command cannot name a path that holds a newline"};
    }
    return {};
}

void write_gdb_commands(std::ostream& out, const std::string& path, const MODULE_SET& set,
                        const std::vector<SYMBOL_ENTRY>& symbols)
{
    write_preamble(out, path);
    write_symbol_files(out, set.run);
    write_raw_images(out, set);
    write_duplicates(out, symbols);
}

std::vector<ADDRESS_PLACE> places_of(uint32_t address, const MAP_IMAGE& image, const MODULE_SET& set,
                                     const std::vector<SYMBOL_ENTRY>& symbols)
{
    std::vector<ADDRESS_PLACE> places;
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        // A run range is what the entry takes in memory, a load range the bytes stored.
        const bool held = holds(p.p_vaddr, p.p_memsz, address) || holds(p.p_paddr, p.p_filesz, address);
        if (p.p_type == PT_LOAD && held)
            places.push_back(place_in(address, i, p, set, symbols));
    }
    if (places.empty())
        places.push_back({address});
    return places;
}

LINE_INDEX module_lines(const MODULE_SET& set)
{
    LINE_INDEX index;
    for (const ELF_DESC& m : set.run.modules) {
        if (m.fake != ELF_KIND) {
            index.push_back(nullptr);
            continue;
        }
        std::vector<char> bytes(m.size);
        read_module_bytes(m, 0, m.size, reinterpret_cast<uint8_t*>(bytes.data()));
        index.push_back(read_module_lines(std::move(bytes)));
    }
    return index;
}

void add_source_places(std::vector<ADDRESS_PLACE>& places, const LINE_INDEX& lines)
{
    for (ADDRESS_PLACE& p : places)
        if (p.section)
            p.source = source_place(lines, p.section->handle->module, p.run_address);
}

// Code that the DWARF names no function for (an assembler's) is named by
// its symbol, as a symbolizer does.
std::string source_text(const SOURCE_PLACE& source, const SYMBOL_ENTRY* symbol)
{
    if (!source.reason.empty())
        return "; " + no_line_information(source);
    if (source.frames.empty())
        return "";
    std::string out = "; ";
    for (size_t i = 0; i < source.frames.size(); ++i) {
        const SOURCE_FRAME& f = source.frames[i];
        out += i == 0 ? "" : ", inlined into ";
        if (!f.function.empty())
            append_printable(out, f.function);
        else if (symbol)
            append_printable(out, symbol->symbol.name);
        else
            out += "??";
        append_frame_place(out, f);
    }
    return out;
}

std::string where_line(const ADDRESS_PLACE& p, const MAP_IMAGE& image, const MODULE_SET& set)
{
    std::string line = format("0x%08" PRIx32 ": ", p.address);
    if (p.segment == SIZE_MAX)
        return line + "not in the image";
    line += p.run && p.load ? "run and load address" : p.run ? "run address" : "load address";
    line += " in " + printable(segment_label(image, p.segment, set));
    if (!p.section)
        return line;
    // A raw image is one section of its own: the offset is the file's.
    const SHDR_HANDLE& h = *p.section->handle;
    line += ": ";
    line += printable(h.desc->name);
    if (h.desc->fake == ELF_KIND) {
        line += ' ';
        line += section_name_text(*p.section);
    }
    line += format("+0x%" PRIx32, p.run_address - h.sh_addr);
    if (p.symbol) {
        line += ' ';
        line += printable(p.symbol->symbol.name);
        line += format("+0x%" PRIx32, p.run_address - p.symbol->symbol.address);
    }
    return line + source_text(p.source, p.symbol);
}

std::string section_name_text(const SECTION_REF& s)
{
    return s.name.empty() ? "section " + std::to_string(s.handle->index) : printable(s.name);
}

void write_where_text(std::ostream& out, const std::vector<ADDRESS_PLACE>& places, const MAP_IMAGE& image,
                      const MODULE_SET& set)
{
    for (const ADDRESS_PLACE& p : places)
        out << where_line(p, image, set) << "\n";
}

void write_symbols_text(std::ostream& out, const std::vector<SYMBOL_ENTRY>& symbols)
{
    std::vector<std::string> files, sections;
    for (const SYMBOL_ENTRY& e : symbols) {
        files.push_back(printable(e.section->handle->desc->name));
        sections.push_back(section_name_text(*e.section));
    }
    const size_t file_width = widest(files, 6);
    const size_t section_width = widest(sections, 7);
    std::string lines = format("Symbols: %zu\n  address     size        type    bind    ", symbols.size());
    append_padded(lines, "module", file_width);
    lines += "  ";
    append_padded(lines, "section", section_width);
    lines += "  name\n";
    for (size_t i = 0; i < symbols.size(); ++i) {
        lines += symbol_row(symbols[i], files[i], file_width, sections[i], section_width);
        // Written a piece at a time, as the map's segment table is.
        if (lines.size() >= 65536) {
            out << lines;
            lines.clear();
        }
    }
    out << lines;
}
