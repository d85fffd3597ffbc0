// SPDX-License-Identifier: MIT
#include "elf_builder.h"

#include <algorithm>

namespace tb {

void put16(Bytes& b, uint32_t offset, uint16_t v)
{
    b.at(offset) = static_cast<uint8_t>(v >> 8);
    b.at(offset + 1) = static_cast<uint8_t>(v);
}

void put32(Bytes& b, uint32_t offset, uint32_t v)
{
    put16(b, offset, static_cast<uint16_t>(v >> 16));
    put16(b, offset + 2, static_cast<uint16_t>(v));
}

uint16_t get16(const Bytes& b, uint32_t offset)
{
    return static_cast<uint16_t>(b.at(offset) << 8 | b.at(offset + 1));
}

uint32_t get32(const Bytes& b, uint32_t offset)
{
    return static_cast<uint32_t>(get16(b, offset)) << 16 | get16(b, offset + 2);
}

Bytes words(std::initializer_list<uint32_t> values)
{
    Bytes b(values.size() * 4);
    uint32_t at = 0;
    for (uint32_t v : values) {
        put32(b, at, v);
        at += 4;
    }
    return b;
}

Bytes ramp(uint32_t n, uint8_t first)
{
    Bytes b(n);
    for (uint32_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i);
    return b;
}

namespace {

void align4(Bytes& b)
{
    b.resize((b.size() + 3) & ~size_t{3});
}

uint32_t append(Bytes& b, const Bytes& data)
{
    const auto at = static_cast<uint32_t>(b.size());
    b.insert(b.end(), data.begin(), data.end());
    return at;
}

// Appends name and its NUL to a string table; returns the name's offset.
uint32_t add_name(Bytes& table, const std::string& name)
{
    const auto at = static_cast<uint32_t>(table.size());
    table.insert(table.end(), name.begin(), name.end());
    table.push_back(0);
    return at;
}

void write_ehdr(Bytes& b, const Module& m, uint32_t phnum)
{
    const uint8_t ident[16] = {0x7F, 'E', 'L', 'F', 1, 2, 1, 97, 0};
    std::copy(ident, ident + 16, b.begin());
    put16(b, 16, 2);  // ET_EXEC
    put16(b, 18, 40); // EM_ARM
    put32(b, 20, 1);
    put32(b, E_ENTRY, m.entry);
    put32(b, E_FLAGS, m.flags);
    put16(b, E_EHSIZE, 52);
    put16(b, 42, 32);
    put16(b, E_PHNUM, static_cast<uint16_t>(phnum));
    put16(b, 46, 40);
}

struct ShdrFields {
    uint32_t name, type, flags, addr, offset, size, link, info, align, entsize;
};

void write_shdr(Bytes& b, uint32_t at, const ShdrFields& f)
{
    const uint32_t fields[10] = {f.name,   f.type, f.flags, f.addr,  f.offset,
                                 f.size,   f.link, f.info,  f.align, f.entsize};
    for (uint32_t i = 0; i < 10; ++i)
        put32(b, at + 4 * i, fields[i]);
}

Bytes symbol_table(const Module& m, Bytes& strtab)
{
    Bytes syms(16); // the null symbol
    for (const Symbol& s : m.symbols) {
        Bytes one(16);
        put32(one, ST_NAME, add_name(strtab, s.name));
        put32(one, ST_VALUE, s.value);
        put32(one, 8, 4);
        one[12] = 0x11; // global object
        put16(one, ST_SHNDX, s.shndx);
        append(syms, one);
    }
    return syms;
}

} // namespace

Built build(const Module& m)
{
    Built out;
    Bytes& b = out.bytes;
    const auto phnum = static_cast<uint32_t>(m.segments.size());
    b.resize(52 + 32 * phnum);
    write_ehdr(b, m, phnum);
    out.phoff = phnum ? 52 : 0;
    put32(b, E_PHOFF, out.phoff);
    for (uint32_t i = 0; i < phnum; ++i) {
        const Segment& s = m.segments[i];
        const uint32_t fields[8] = {s.type, 0, s.vaddr, s.paddr, s.memsz, s.memsz, s.flags, 4};
        for (uint32_t f = 0; f < 8; ++f)
            put32(b, 52 + 32 * i + 4 * f, fields[f]);
    }

    for (const Section& s : m.sections) {
        align4(b);
        out.section_offsets.push_back(static_cast<uint32_t>(b.size()));
        if (s.type != NOBITS)
            append(b, s.data);
    }

    Bytes shstrtab(1), strtab(1);
    Bytes syms = symbol_table(m, strtab);
    if (m.with_symtab) {
        align4(b);
        out.strtab_offset = append(b, strtab);
        align4(b);
        out.symtab_offset = append(b, syms);
    }
    std::vector<uint32_t> names;
    for (const Section& s : m.sections)
        names.push_back(add_name(shstrtab, s.name));
    const uint32_t symtab_name = add_name(shstrtab, ".symtab");
    const uint32_t strtab_name = add_name(shstrtab, ".strtab");
    const uint32_t shstrtab_name = add_name(shstrtab, ".shstrtab");
    const uint32_t shstrtab_offset = append(b, shstrtab);

    const auto user = static_cast<uint32_t>(m.sections.size());
    const uint32_t shnum = 1 + user + (m.with_symtab ? 2 : 0) + 1;
    align4(b);
    out.shoff = static_cast<uint32_t>(b.size());
    b.resize(b.size() + 40 * shnum);
    put32(b, E_SHOFF, out.shoff);
    // Counts from 0xFF00 up are held in section header 0, as ELF has it.
    const bool extended = shnum >= 0xFF00;
    put16(b, E_SHNUM, extended ? 0 : static_cast<uint16_t>(shnum));
    put16(b, 50, extended ? 0xFFFF : static_cast<uint16_t>(shnum - 1));
    if (extended)
        write_shdr(b, out.shdr_at(0), {0, 0, 0, 0, 0, shnum, shnum - 1, 0, 0, 0});

    for (uint32_t i = 0; i < user; ++i) {
        const Section& s = m.sections[i];
        const uint32_t size = s.type == NOBITS ? s.size : static_cast<uint32_t>(s.data.size());
        write_shdr(b, out.shdr_at(i + 1),
                   {names[i], s.type, s.flags, s.addr, out.section_offsets[i], size, 0, 0, s.align, 0});
    }
    if (m.with_symtab) {
        out.symtab_index = user + 1;
        write_shdr(b, out.shdr_at(user + 1),
                   {symtab_name, SYMTAB, 0, 0, out.symtab_offset, static_cast<uint32_t>(syms.size()),
                    user + 2, 1, 4, 16});
        write_shdr(b, out.shdr_at(user + 2),
                   {strtab_name, 3, 0, 0, out.strtab_offset, static_cast<uint32_t>(strtab.size()), 0, 0, 1, 0});
    }
    write_shdr(b, out.shdr_at(shnum - 1),
               {shstrtab_name, 3, 0, 0, shstrtab_offset, static_cast<uint32_t>(shstrtab.size()), 0, 0, 1, 0});
    return out;
}

Module typical(uint32_t base, uint32_t priority, uint32_t stack_size)
{
    Module m;
    m.entry = base;
    m.sections = {
        {".text", PROGBITS, ALLOC | EXEC, base, 4, ramp(16), 0},
        {".data", PROGBITS, ALLOC | WRITE, base + 0x100, 4, words({priority, stack_size}), 0},
        {".bss", NOBITS, ALLOC | WRITE, base + 0x200, 8, {}, 0x40},
    };
    m.symbols = {
        {"_initPriority", base + 0x100, 2},
        {"_initStackSize", base + 0x104, 2},
        {"_initStack", base + 0x200, 3},
    };
    return m;
}

} // namespace tb
