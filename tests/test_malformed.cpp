// SPDX-License-Identifier: MIT
// A corpus of malformed modules, each one good module with one fault: every
// field that locates something pushed past the file, counts and offsets
// whose sums wrap at 32 bits, truncations at each header boundary, names
// without their NUL, start-up words outside any section, and sections past
// the top of the address space. Each is refused with its exact message, and
// an output file from an earlier run is left as it was.
#include "harness.h"

#include <gtest/gtest.h>

#include <functional>
#include <ostream>

using namespace tb;

namespace {

// The module every case starts from. Sections: 1 .text, 2 .data, 3 .bss,
// 4 .symtab, 5 .strtab, 6 .shstrtab (7 headers). Symbols: 1 _initPriority,
// 2 _initStackSize, 3 _initStack. One program header.
Built good()
{
    Module m = typical(0x10000, 5, 0x80);
    m.segments = {{0x10000, 0x10000, 0x240}};
    return build(m);
}

uint32_t size_of(const Built& b)
{
    return static_cast<uint32_t>(b.bytes.size());
}

Bytes cut(Built b, uint32_t length)
{
    b.bytes.resize(length);
    return b.bytes;
}

Bytes with32(Built b, uint32_t offset, uint32_t value)
{
    put32(b.bytes, offset, value);
    return b.bytes;
}

Bytes with16(Built b, uint32_t offset, uint16_t value)
{
    put16(b.bytes, offset, value);
    return b.bytes;
}

// The good module with one 16-bit header field changed, for a second change.
Built with16_built(uint32_t offset, uint16_t value)
{
    Built b = good();
    put16(b.bytes, offset, value);
    return b;
}

// A field of section header index.
Bytes shdr_field(uint32_t index, uint32_t field, uint32_t value)
{
    const Built b = good();
    return with32(b, b.shdr_at(index) + field, value);
}

// A field of symbol index.
Bytes sym32(uint32_t index, uint32_t field, uint32_t value)
{
    const Built b = good();
    return with32(b, b.sym_at(index) + field, value);
}

Bytes sym_shndx(uint32_t index, uint16_t value)
{
    const Built b = good();
    return with16(b, b.sym_at(index) + ST_SHNDX, value);
}

// Symbol 2's name becomes text appended at the very end, with no NUL after it.
Bytes name_without_nul()
{
    Built b = good();
    const uint32_t at = size_of(b);
    for (char c : std::string("_initStackSiz"))
        b.bytes.push_back(static_cast<uint8_t>(c));
    return with32(b, b.sym_at(2) + ST_NAME, at - b.strtab_offset);
}

// Moves the symbol table onto its own section header, from sh_addr on:
// converting the entry in place would swap the table's checked sh_size.
Bytes symtab_over_own_header()
{
    Built b = good();
    const uint32_t at = b.shdr_at(4);
    put32(b.bytes, at + SH_OFFSET, at + SH_ADDR);
    put32(b.bytes, at + SH_SIZE, 16);
    put32(b.bytes, at + SH_ADDR, 0); // the entry's st_name: an empty name
    return b.bytes;
}

// A symbol table over the header of .data, the last allocated section, after
// that header was checked: converting the entry would swap its sh_offset and
// sh_size. Zeros appended at the end give the entry's name (the swapped
// sh_addr, 0x10100 either way) something to point at.
Bytes symtab_over_checked_header()
{
    Module m;
    m.entry = 0x10000;
    m.sections = {{".text", PROGBITS, ALLOC | EXEC, 0x10000, 4, ramp(16), 0},
                  {".data", PROGBITS, ALLOC | WRITE, 0x10100, 4, words({5, 0x80}), 0}};
    Built b = build(m);
    put32(b.bytes, b.shdr_at(3) + SH_OFFSET, b.shdr_at(2) + SH_ADDR);
    put32(b.bytes, b.shdr_at(3) + SH_SIZE, 16);
    b.bytes.resize(b.bytes.size() + 0x11000);
    return b.bytes;
}

struct Case {
    const char* name;
    std::function<Bytes()> make;
    // The expected message; every "@" stands for the module's path.
    std::string message;
};

std::ostream& operator<<(std::ostream& os, const Case& c)
{
    return os << c.name;
}

const std::string not_elf = "@ is not a supported Elf file.\n";
const std::string no_magic = not_elf + "  It does not begin with the ELF magic bytes 7f 45 4c 46.\n";
const std::string ph_outside = "@ is corrupt -- program header table lies outside the file.\n";
const std::string sh_outside = "@ is corrupt -- section header table lies outside the file.\n";

const Case cases[] = {
    // Short files and truncation at each boundary of the layout.
    {"EmptyFile", [] { return Bytes{}; }, no_magic},
    {"OneByte", [] { return Bytes{0x7F}; }, no_magic},
    {"CutInsideElfHeader", [] { return cut(good(), 51); },
     not_elf + "  It is 51 bytes long, shorter than an ELF header (52 bytes).\n"},
    {"CutAfterElfHeader", [] { return cut(good(), 52); }, ph_outside},
    {"CutInsideProgramHeader", [] { return cut(good(), 52 + 31); }, ph_outside},
    {"CutAfterProgramHeaders", [] { return cut(good(), 52 + 32); }, sh_outside},
    {"CutAtSectionHeaders", [] { const Built b = good(); return cut(b, b.shoff); }, sh_outside},
    {"CutInsideLastSectionHeader", [] { const Built b = good(); return cut(b, size_of(b) - 1); }, sh_outside},

    // The program and section header tables.
    {"PhoffAtEndOfFile", [] { const Built b = good(); return with32(b, E_PHOFF, size_of(b)); }, ph_outside},
    {"PhoffWrapsPastZero", [] { return with32(good(), E_PHOFF, 0xFFFFFFF0); }, ph_outside},
    {"PhnumHuge", [] { return with16(good(), E_PHNUM, 0xFFFE); }, ph_outside},
    // Extended numbering needs section header 0 inside the file.
    {"ShnumInHeaderZeroPastEnd", [] { return with32(with16_built(E_SHNUM, 0), E_SHOFF, 0xFFFFFFFF); }, sh_outside},
    {"PnXnumWithHeaderZeroPastEnd", [] { return with32(with16_built(E_PHNUM, 0xFFFF), E_SHOFF, 0xFFFFFFF0); },
     sh_outside},
    // The 280-byte table one byte past the end.
    {"ShoffPastEnd", [] { const Built b = good(); return with32(b, E_SHOFF, size_of(b) - 279); }, sh_outside},
    {"ShoffWrapsToZero", [] { return with32(good(), E_SHOFF, 0xFFFFFFD8); }, sh_outside},
    {"ShnumOneTooMany", [] { return with16(good(), E_SHNUM, 8); }, sh_outside},
    {"ShnumHuge", [] { return with16(good(), E_SHNUM, 0xFFFF); }, sh_outside},

    // Contents of allocated sections, which the writer copies.
    {"TextOffsetPastEnd", [] { return shdr_field(1, SH_OFFSET, size_of(good())); },
     "@ is corrupt -- section 1 lies outside the file.\n"},
    {"TextSizePastEnd", [] { return shdr_field(1, SH_SIZE, size_of(good())); },
     "@ is corrupt -- section 1 lies outside the file.\n"},
    {"TextSizeAllOnes", [] { return shdr_field(1, SH_SIZE, 0xFFFFFFFF); },
     "@ is corrupt -- section 1 lies outside the file.\n"},
    {"DataOffsetPlusSizeWraps",
     [] {
         const Built b = good();
         Bytes bytes = with32(b, b.shdr_at(2) + SH_OFFSET, 0xFFFFFF00);
         put32(bytes, b.shdr_at(2) + SH_SIZE, 0x108); // ends at 8 modulo 2^32
         return bytes;
     },
     "@ is corrupt -- section 2 lies outside the file.\n"},

    // The symbol table and its string table.
    {"SymtabOffsetPastEnd", [] { return shdr_field(4, SH_OFFSET, size_of(good()) - 8); },
     "@ is corrupt -- symbol table in section 4 lies outside the file.\n"},
    {"SymtabSizePastEnd", [] { return shdr_field(4, SH_SIZE, size_of(good())); },
     "@ is corrupt -- symbol table in section 4 lies outside the file.\n"},
    {"SymtabCountTimesSizeWraps", [] { return shdr_field(4, SH_SIZE, 0xFFFFFFF0); },
     "@ is corrupt -- symbol table in section 4 lies outside the file.\n"},
    {"SecondSymtabOutsideFile",
     [] {
         const Built b = good();
         Bytes bytes = with32(b, b.shdr_at(6) + SH_TYPE, SYMTAB);
         put32(bytes, b.shdr_at(6) + SH_SIZE, 0x10000);
         return bytes;
     },
     "@ is corrupt -- symbol table in section 6 lies outside the file.\n"},
    {"SymtabOverItsOwnHeader", symtab_over_own_header,
     "@ is corrupt -- symbol table in section 4 overlaps the section header table.\n"},
    {"SymtabOverCheckedDataHeader", symtab_over_checked_header,
     "@ is corrupt -- symbol table in section 3 overlaps the section header table.\n"},
    {"SymtabLinkEqualsShnum", [] { return shdr_field(4, SH_LINK, 7); },
     "@ is corrupt -- symbol table links to section 7, which does not exist.\n"},
    {"SymtabLinkAllOnes", [] { return shdr_field(4, SH_LINK, 0xFFFFFFFF); },
     "@ is corrupt -- symbol table links to section 4294967295, which does not exist.\n"},
    {"StrtabOffsetPastEnd", [] { return shdr_field(5, SH_OFFSET, size_of(good()) + 1); },
     "@ is corrupt -- string table lies outside the file.\n"},
    {"StrtabOffsetAtEnd", [] { return shdr_field(5, SH_OFFSET, size_of(good())); },
     "@ is corrupt -- name of symbol 0 is not inside the file.\n"},
    {"NamePastEnd", [] { return sym32(1, ST_NAME, size_of(good())); },
     "@ is corrupt -- name of symbol 1 is not inside the file.\n"},
    {"NameOffsetWraps", [] { return sym32(3, ST_NAME, 0xFFFFFFFF); },
     "@ is corrupt -- name of symbol 3 is not inside the file.\n"},
    {"NameWithoutNulAtEndOfFile", name_without_nul,
     "@ is corrupt -- name of symbol 2 is not inside the file.\n"},

    // Start-up words.
    {"PriorityShndxEqualsShnum", [] { return sym_shndx(1, 7); },
     "@ is corrupt -- symbol _initPriority is in section 7, which does not exist.\n"},
    {"PriorityInAbsSection", [] { return sym_shndx(1, 0xFFF1); },
     "@ is corrupt -- symbol _initPriority is in section 65521, which does not exist.\n"},
    {"StackSizeInAbsSection", [] { return sym_shndx(2, 0xFFF1); },
     "@ is corrupt -- symbol _initStackSize is in section 65521, which does not exist.\n"},
    {"PriorityValuePastEnd", [] { return sym32(1, ST_VALUE, 0x10100 + size_of(good())); },
     "@ is corrupt -- the word at symbol _initPriority lies outside the file.\n"},
    {"StackSizeValuePastEnd", [] { return sym32(2, ST_VALUE, 0x10100 + size_of(good())); },
     "@ is corrupt -- the word at symbol _initStackSize lies outside the file.\n"},
    {"PriorityWordStraddlesEnd",
     [] {
         // .data's file offset is where 0x10100 is read from; the word's last
         // two bytes fall past the end.
         const Built b = good();
         return with32(b, b.sym_at(1) + ST_VALUE, 0x10100 + size_of(b) - 2 - b.section_offsets[1]);
     },
     "@ is corrupt -- the word at symbol _initPriority lies outside the file.\n"},
    {"PriorityValueBelowSection", [] { return sym32(1, ST_VALUE, 0xFF00); },
     "@ is corrupt -- the word at symbol _initPriority lies outside the file.\n"},

    // Addresses past the top of the 32-bit space.
    {"TextEndsPastTop", [] { return shdr_field(1, SH_ADDR, 0xFFFFFFF8); },
     "Section 1 of @ ends beyond the 32-bit address space.\n"},
    {"BssEndsPastTop", [] { return shdr_field(3, SH_ADDR, 0xFFFFFFE0); },
     "Section 3 of @ ends beyond the 32-bit address space.\n"},
};

std::string with_path(std::string message, const std::string& path)
{
    const size_t at = message.find('@');
    return at == std::string::npos ? message : message.replace(at, 1, path);
}

class Malformed : public ::testing::TestWithParam<Case> {};

TEST_P(Malformed, IsRefusedWithItsMessageAndTheOutputIsUntouched)
{
    TempDir dir;
    const Case& c = GetParam();
    const std::string module = dir.write("bad.elf", c.make());
    const Bytes earlier{'e', 'a', 'r', 'l', 'i', 'e', 'r', '\n'};
    const std::string out = dir.write("out.elf", earlier);

    const RunResult r = run_tool({"-e", module, "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, with_path(c.message, module));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(read_file(out), earlier);
}

INSTANTIATE_TEST_SUITE_P(Corpus, Malformed, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The corpus's faults are real: the module they start from merges cleanly.
TEST(MalformedBase, GoodModuleIsAccepted)
{
    TempDir dir;
    const RunResult r = run_tool({"-e", dir.write("good.elf", good().bytes), "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
}

} // namespace
