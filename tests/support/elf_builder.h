// SPDX-License-Identifier: MIT
// Writes small big-endian ELF32 ARM modules for the tests, so that each case
// states its input in a few lines. Every field is written at its documented
// offset, independently of the tool's own records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tb {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t PROGBITS = 1;
constexpr uint32_t SYMTAB = 2;
constexpr uint32_t NOBITS = 8;
constexpr uint32_t WRITE = 0x1;
constexpr uint32_t ALLOC = 0x2;
constexpr uint32_t EXEC = 0x4;

// Field offsets inside the ELF header and a section header, for tests that
// break one field of an otherwise good module.
constexpr uint32_t E_ENTRY = 24, E_PHOFF = 28, E_SHOFF = 32, E_FLAGS = 36, E_EHSIZE = 40,
                   E_PHNUM = 44, E_SHNUM = 48;
constexpr uint32_t SH_TYPE = 4, SH_FLAGS = 8, SH_ADDR = 12, SH_OFFSET = 16, SH_SIZE = 20,
                   SH_LINK = 24, SH_ADDRALIGN = 32;
constexpr uint32_t ST_NAME = 0, ST_VALUE = 4, ST_SHNDX = 14;

struct Section {
    std::string name;
    uint32_t type = PROGBITS;
    uint32_t flags = ALLOC;
    uint32_t addr = 0;
    uint32_t align = 4;
    Bytes data;         // file bytes (ignored for NOBITS)
    uint32_t size = 0;  // size of a NOBITS section
};

struct Symbol {
    std::string name;
    uint32_t value;
    uint16_t shndx; // index of the section it lies in; user sections count from 1
};

struct Segment {
    uint32_t vaddr, paddr, memsz;
    uint32_t flags = 4;
    uint32_t type = 1;
};

struct Module {
    uint32_t entry = 0;
    uint32_t flags = 0x05000000; // e_flags
    std::vector<Section> sections;
    std::vector<Segment> segments; // program headers; file offsets filled in by build
    std::vector<Symbol> symbols;
    bool with_symtab = true;
};

// Where build put things, so that a test can break one of them.
struct Built {
    Bytes bytes;
    uint32_t phoff = 0;
    uint32_t shoff = 0;
    uint32_t symtab_index = 0; // section index of .symtab
    uint32_t symtab_offset = 0;
    uint32_t strtab_offset = 0;
    std::vector<uint32_t> section_offsets; // file offset of each user section

    // File offset of section header `index` (0 is the null entry).
    uint32_t shdr_at(uint32_t index) const { return shoff + 40 * index; }
    // File offset of symbol `index` (0 is the null symbol).
    uint32_t sym_at(uint32_t index) const { return symtab_offset + 16 * index; }
};

Built build(const Module& m);

void put16(Bytes& b, uint32_t offset, uint16_t v);
void put32(Bytes& b, uint32_t offset, uint32_t v);
uint16_t get16(const Bytes& b, uint32_t offset);
uint32_t get32(const Bytes& b, uint32_t offset);

// Big-endian words, as section contents.
Bytes words(std::initializer_list<uint32_t> values);
// n bytes counting up from first.
Bytes ramp(uint32_t n, uint8_t first = 1);

// A module of the usual shape at base: .text (RX, 16 bytes) at base,
// .data (RW, the priority and stack-size words) at base + 0x100 and .bss
// (the 0x40-byte stack) at base + 0x200, with its three start-up symbols.
Module typical(uint32_t base, uint32_t priority, uint32_t stack_size);

} // namespace tb
