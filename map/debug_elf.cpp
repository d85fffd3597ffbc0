// SPDX-License-Identifier: MIT
// --debug-elf: the image with section headers and a symbol table added,
// one file for disassemblers, nm and debuggers. What a loader reads (the
// ELF header's loader fields, the program headers, every loaded byte) stays
// at its offset; the tables follow the image's last byte.
#include "map.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace {

constexpr uint32_t SHT_STRTAB = 3;
constexpr uint32_t SHT_NOTE = 7;
constexpr uint8_t STT_FILE = 4;

// A section of OUTPUT: its header, with the name not yet placed.
struct OUT_SECTION {
    std::string name;
    Elf32_Shdr shdr{};
};

// A symbol of OUTPUT: its section's full index, or SHN_UNDEF or a reserved
// index as written.
struct OUT_SYMBOL {
    Elf32_Sym sym{};
    uint32_t section = 0;
    bool as_written = true;
    // Past the field's reach, st_shndx says SHN_XINDEX and .symtab_shndx
    // holds the index; every other symbol's word there is 0.
    bool extended() const { return !as_written && section >= SHN_LORESERVE; }
};

using SECTION_KEY = std::pair<const ELF_DESC*, uint32_t>;

struct DEBUG_ELF {
    std::vector<OUT_SECTION> sections; // [0] the null section
    std::map<SECTION_KEY, uint32_t> index; // a module's section to OUTPUT's
    std::vector<OUT_SYMBOL> symbols;       // [0] the null symbol
    uint32_t first_global = 0;
    std::string strtab{'\0'};
};

// "vo" for a module vo.elf: the module comes first, so that the name never
// reads as one of the module's own (.text.vo would).
std::string module_stem(const ELF_DESC& m)
{
    return std::filesystem::path(m.name).stem().string();
}

std::string module_file(const ELF_DESC& m)
{
    return std::filesystem::path(m.name).filename().string();
}

std::string out_section_name(const SECTION_REF& s)
{
    const ELF_DESC& m = *s.handle->desc;
    if (m.fake != ELF_KIND)
        return module_file(m);
    return module_stem(m) + ":" + (s.name.empty() ? "section" + std::to_string(s.handle->index) : std::string(s.name));
}

OUT_SECTION collected_section(const SECTION_REF& s, const Elf32_Phdr& p)
{
    const SHDR_HANDLE& h = *s.handle;
    OUT_SECTION out{out_section_name(s), {}};
    out.shdr.sh_type = h.nobits ? SHT_NOBITS : SHT_PROGBITS;
    out.shdr.sh_flags = h.sh_flags;
    out.shdr.sh_addr = h.sh_addr;
    // Sections and their padding lie in the image as in memory.
    out.shdr.sh_offset = p.p_offset + (h.sh_addr - p.p_vaddr);
    out.shdr.sh_size = h.sh_size;
    out.shdr.sh_addralign = h.sh_addralign;
    return out;
}

OUT_SECTION system_section(const char* name, uint32_t type, const Elf32_Phdr& p)
{
    OUT_SECTION out{name, {}};
    out.shdr.sh_type = type;
    out.shdr.sh_flags = SHF_ALLOC;
    out.shdr.sh_addr = p.p_vaddr;
    out.shdr.sh_offset = p.p_offset;
    out.shdr.sh_size = p.p_filesz;
    out.shdr.sh_addralign = 4;
    return out;
}

// The Shared Data segment's program header table and note, which the
// system entries describe.
void add_system_sections(std::vector<std::pair<OUT_SECTION, const SECTION_REF*>>& all, const MAP_IMAGE& image)
{
    if (!image.layout.system || image.phdrs.empty())
        return;
    all.push_back({system_section("sd:.phdr", SHT_PROGBITS, image.phdrs.front()), nullptr});
    if (image.layout.note_index)
        all.push_back({system_section("sd:.note", SHT_NOTE, image.phdrs[*image.layout.note_index]), nullptr});
}

// Every collected section and the system's, in address order.
void add_image_sections(DEBUG_ELF& d, const MAP_IMAGE& image, const MODULE_SET& set)
{
    std::vector<std::pair<OUT_SECTION, const SECTION_REF*>> all;
    add_system_sections(all, image);
    for (size_t i = 0; i < image.phdrs.size(); ++i)
        for (const SECTION_REF& s : sections_in(image, i, set))
            all.push_back({collected_section(s, image.phdrs[i]), &s});
    std::stable_sort(all.begin(), all.end(),
                     [](const auto& a, const auto& b) { return a.first.shdr.sh_addr < b.first.shdr.sh_addr; });
    for (auto& [section, ref] : all) {
        if (ref)
            d.index.emplace(SECTION_KEY{ref->handle->desc, ref->handle->index}, d.sections.size());
        d.sections.push_back(std::move(section));
    }
}

uint32_t add_name(std::string& table, const std::string& name)
{
    if (name.empty())
        return 0;
    const uint32_t offset = static_cast<uint32_t>(table.size());
    table += name;
    table += '\0';
    return offset;
}

// A symbol's section in OUTPUT; false where the image holds no copy of it.
bool out_section(const DEBUG_ELF& d, const ELF_DESC& m, const MODULE_SYMBOL& s, OUT_SYMBOL& out)
{
    if (s.st_shndx == 0 || reserved_index(s.st_shndx)) {
        out.section = s.st_shndx;
        return true;
    }
    const auto found = d.index.find({&m, s.section});
    if (found == d.index.end())
        return false;
    out.section = found->second;
    out.as_written = false;
    return true;
}

// A symbol of a section that the image does not hold (a debugging
// section, say) has no place in it and is left out.
void add_symbol(DEBUG_ELF& d, const ELF_DESC& m, const MODULE_SYMBOL& s)
{
    OUT_SYMBOL out;
    if (!out_section(d, m, s, out))
        return;
    out.sym.st_name = add_name(d.strtab, s.name);
    out.sym.st_value = s.st_value;
    out.sym.st_size = s.st_size;
    out.sym.st_info = s.st_info;
    out.sym.st_other = s.st_other;
    d.symbols.push_back(out);
}

// Each module's locals after an STT_FILE that names it, so that two
// modules' locals stay apart; the globals after every local, as ELF wants.
void add_symbols(DEBUG_ELF& d, const MODULE_SET& set)
{
    d.symbols.emplace_back();
    std::vector<std::pair<const ELF_DESC*, MODULE_SYMBOL>> globals;
    for (const ELF_DESC& m : set.run.modules) {
        if (m.fake != ELF_KIND)
            continue;
        OUT_SYMBOL file;
        file.sym.st_name = add_name(d.strtab, module_file(m));
        file.sym.st_info = STT_FILE;
        file.section = SHN_ABS;
        file.sym.st_shndx = SHN_ABS;
        d.symbols.push_back(file);
        for (MODULE_SYMBOL& s : read_symbols(m, SYMBOL_CHOICE::all)) {
            if (st_bind(s.st_info) == STB_LOCAL)
                add_symbol(d, m, s);
            else
                globals.emplace_back(&m, std::move(s));
        }
    }
    d.first_global = static_cast<uint32_t>(d.symbols.size());
    for (const auto& [m, s] : globals)
        add_symbol(d, *m, s);
}

// ---------------------------------------------------------------------------
// The tables after the image

constexpr uint64_t align4(uint64_t offset)
{
    return (offset + 3) & ~uint64_t{3};
}

// A table's header; offset and size are checked against 4 GiB before any
// header is written.
OUT_SECTION table_section(const char* name, uint32_t type, uint64_t offset, uint64_t size, uint32_t entsize)
{
    OUT_SECTION out{name, {}};
    out.shdr.sh_type = type;
    out.shdr.sh_offset = static_cast<uint32_t>(offset);
    out.shdr.sh_size = static_cast<uint32_t>(size);
    out.shdr.sh_addralign = entsize ? 4 : 1;
    out.shdr.sh_entsize = entsize;
    return out;
}

// Where each table lies: the symbol table and its indices word-aligned
// after the image, the names, then the section header table.
struct TABLE_PLACES {
    uint64_t symtab, shndx, strtab, shstrtab, shoff, end;
    bool extended;
    std::string shstrtab_bytes{'\0'};
};

TABLE_PLACES add_tables(DEBUG_ELF& d, uint32_t image_size)
{
    TABLE_PLACES t{};
    const uint64_t count = d.symbols.size();
    // .symtab, perhaps .symtab_shndx, .strtab and .shstrtab follow.
    t.extended = d.sections.size() + 4 >= SHN_LORESERVE;
    const uint32_t symtab = static_cast<uint32_t>(d.sections.size());
    t.symtab = align4(image_size);
    t.shndx = t.symtab + count * SYM_SIZE;
    t.strtab = t.shndx + (t.extended ? count * 4 : 0);
    d.sections.push_back(table_section(".symtab", SHT_SYMTAB, t.symtab, count * SYM_SIZE, SYM_SIZE));
    d.sections.back().shdr.sh_link = symtab + (t.extended ? 2 : 1);
    d.sections.back().shdr.sh_info = d.first_global;
    if (t.extended) {
        d.sections.push_back(table_section(".symtab_shndx", SHT_SYMTAB_SHNDX, t.shndx, count * 4, 4));
        d.sections.back().shdr.sh_link = symtab;
    }
    d.sections.push_back(table_section(".strtab", SHT_STRTAB, t.strtab, d.strtab.size(), 0));
    t.shstrtab = t.strtab + d.strtab.size();
    d.sections.push_back(table_section(".shstrtab", SHT_STRTAB, t.shstrtab, 0, 0));
    for (OUT_SECTION& s : d.sections)
        s.shdr.sh_name = add_name(t.shstrtab_bytes, s.name);
    d.sections.back().shdr.sh_size = static_cast<uint32_t>(t.shstrtab_bytes.size());
    t.shoff = align4(t.shstrtab + t.shstrtab_bytes.size());
    t.end = t.shoff + uint64_t{SHDR_SIZE} * d.sections.size();
    return t;
}

// ELF extended numbering: counts and indices too large for their fields
// are held in section 0 and in .symtab_shndx.
Elf32_Ehdr out_header(const MAP_IMAGE& image, DEBUG_ELF& d, const TABLE_PLACES& t)
{
    Elf32_Ehdr h = image.ehdr;
    const uint32_t count = static_cast<uint32_t>(d.sections.size());
    const uint32_t shstrndx = count - 1;
    h.e_shoff = static_cast<uint32_t>(t.shoff);
    h.e_shentsize = SHDR_SIZE;
    h.e_shnum = count < SHN_LORESERVE ? static_cast<uint16_t>(count) : 0;
    h.e_shstrndx = shstrndx < SHN_LORESERVE ? static_cast<uint16_t>(shstrndx) : SHN_XINDEX;
    if (count >= SHN_LORESERVE)
        d.sections[0].shdr.sh_size = count;
    if (shstrndx >= SHN_LORESERVE)
        d.sections[0].shdr.sh_link = shstrndx;
    return h;
}

void put_zeros(std::ostream& out, uint64_t from, uint64_t to)
{
    for (; from < to; ++from)
        out.put('\0');
}

template <typename T>
void put_record(std::ostream& out, T record, void (*convert)(T&))
{
    convert(record);
    out.write(reinterpret_cast<const char*>(&record), sizeof record);
}

void put_word(std::ostream& out, uint32_t word)
{
    word = be32(word);
    out.write(reinterpret_cast<const char*>(&word), sizeof word);
}

void put_symbols(std::ostream& out, const DEBUG_ELF& d, bool extended)
{
    for (const OUT_SYMBOL& s : d.symbols) {
        Elf32_Sym sym = s.sym;
        sym.st_shndx = s.extended() ? SHN_XINDEX : static_cast<uint16_t>(s.section);
        put_record(out, sym, convert_sym);
    }
    if (extended)
        for (const OUT_SYMBOL& s : d.symbols)
            put_word(out, s.extended() ? s.section : 0);
}

// Every offset is 32-bit: the tables must end below 4 GiB, not wrap.
void check_size(const std::string& path, const TABLE_PLACES& t)
{
    if (t.end > UINT32_MAX)
        fatal("%s: larger than 4 GiB with its sections and symbols, which a 32-bit ELF file cannot describe\n",
              printable(path).c_str());
}

void write_debug_elf(std::ostream& out, const std::string& path, const MAP_IMAGE& image, DEBUG_ELF& d)
{
    const TABLE_PLACES t = add_tables(d, image.size);
    check_size(path, t);
    put_record(out, out_header(image, d, t), convert_ehdr);
    out.write(reinterpret_cast<const char*>(image.bytes) + EHDR_SIZE, image.size - EHDR_SIZE);
    put_zeros(out, image.size, t.symtab);
    put_symbols(out, d, t.extended);
    out.write(d.strtab.data(), static_cast<std::streamsize>(d.strtab.size()));
    out.write(t.shstrtab_bytes.data(), static_cast<std::streamsize>(t.shstrtab_bytes.size()));
    put_zeros(out, t.shstrtab + t.shstrtab_bytes.size(), t.shoff);
    for (const OUT_SECTION& s : d.sections)
        put_record(out, s.shdr, convert_shdr);
}

} // namespace

void write_debug_elf(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set)
{
    DEBUG_ELF d;
    d.sections.emplace_back();
    add_image_sections(d, image, set);
    add_symbols(d, set);
    write_debug_elf(out, path, image, d);
}
