// SPDX-License-Identifier: MIT
// Module input: the order and text of the header checks, the modules that
// are accepted although parts are missing or empty, the start-up symbols as
// the note reports them, and raw images of both kinds.
#include "elf-merge.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <ostream>
#include <string>
#include <vector>

using namespace tb;

namespace {

// A module's group in the note: tags 11, 9, 125, 126, 127.
struct Described {
    uint32_t pid, entry, priority, stack_size, stack;
    bool operator==(const Described&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Described& d)
{
    return os << std::hex << "{pid 0x" << d.pid << ", entry 0x" << d.entry << ", priority 0x" << d.priority
              << ", stack size 0x" << d.stack_size << ", stack 0x" << d.stack << "}";
}

// Merges one module in slot -e in resource-manager mode, where the note
// describes it, and reads its group back from the note after the table.
Described described(const Bytes& module)
{
    TempDir dir;
    const RunResult r = run_tool({"-r", "-e", dir.write("m.elf", module), "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const Image im = read_image(dir.path("out.elf"));
    if (im.phdrs.size() < 3 || im.phdrs[1].type != 4) {
        ADD_FAILURE() << "the image has no note";
        return {};
    }
    const uint32_t note = 52 + 32 * im.phnum;
    EXPECT_EQ(im.phdrs[1].offset, note);
    if (im.bytes.size() < note + 52) {
        ADD_FAILURE() << "the note is cut short";
        return {};
    }
    EXPECT_EQ(get32(im.bytes, note + 4), 40u); // one module
    const Bytes tags{0, 0, 0, 11, 0, 0, 0, 9, 0, 0, 0, 125, 0, 0, 0, 126, 0, 0, 0, 127};
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_EQ(get32(im.bytes, note + 12 + 8 * i), get32(tags, 4 * i)) << "pair " << i;
    return {get32(im.bytes, note + 16), get32(im.bytes, note + 24), get32(im.bytes, note + 32),
            get32(im.bytes, note + 40), get32(im.bytes, note + 48)};
}

// Runs the tool on module in slot -e and expects exactly message (with the
// module's path in place of "@") and an untouched earlier output.
void expect_refused(const Bytes& module, const std::string& message)
{
    TempDir dir;
    const std::string path = dir.write("bad.elf", module);
    const Bytes earlier{'o', 'l', 'd'};
    const std::string out = dir.write("out.elf", earlier);
    const RunResult r = run_tool({"-e", path, "-o", out});
    std::string expected = message;
    expected.replace(expected.find('@'), 1, path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(read_file(out), earlier);
}

// typical(0x10000, 7, 0x100): sections 1 .text, 2 .data, 3 .bss, 4 .symtab,
// 5 .strtab, 6 .shstrtab; symbols 1 _initPriority, 2 _initStackSize, 3 _initStack.
Built good()
{
    return build(typical(0x10000, 7, 0x100));
}

const Described good_described{1, 0x10000, 7, 0x100, 0x10200};

// Each refusal's first line, which the line that says why follows.
const std::string not_elf = "@ is not a supported Elf file.\n";
const std::string not_arm = "@ is not an ARM executable.\n";
const std::string bad_size = "@ has inconsisten Elf header size.\n";
const std::string no_magic = "  It does not begin with the ELF magic bytes 7f 45 4c 46.\n";

// ---------------------------------------------------------------------------
// The header checks

TEST(HeaderChecks, EveryIdentificationByteIsChecked)
{
    // Wrong magic, 64-bit class, little-endian data, version 0, OS ABI 0
    // (what a linker writes).
    const struct {
        uint8_t value;
        std::string why;
    } wrong[8] = {{0x7E, no_magic},
                  {'e', no_magic},
                  {'l', no_magic},
                  {'f', no_magic},
                  {2, "  EI_CLASS is 2, expected 1 (ELFCLASS32).\n"},
                  {1, "  EI_DATA is 1, expected 2 (ELFDATA2MSB).\n"},
                  {0, "  EI_VERSION is 0, expected 1 (EV_CURRENT).\n"},
                  {0, "  EI_OSABI is 0, expected 97 (ELFOSABI_ARM).\n"}};
    for (uint32_t i = 0; i < 8; ++i) {
        SCOPED_TRACE("byte " + std::to_string(i));
        Bytes b = good().bytes;
        b[i] = wrong[i].value;
        expect_refused(b, not_elf + wrong[i].why);
    }
}

TEST(HeaderChecks, IdentificationBytesEightToFifteenAreIgnored)
{
    Bytes b = good().bytes;
    for (uint32_t i = 8; i < 16; ++i)
        b[i] = 0xAA;
    EXPECT_EQ(described(b), good_described);
}

TEST(HeaderChecks, TypeMachineAndVersionMustBeThoseOfAnArmExecutable)
{
    const struct {
        uint32_t offset, width, value;
        std::string why;
    } faults[] = {{16, 2, 1, "  e_type is 1, expected 2 (ET_EXEC).\n"},
                  {16, 2, 3, "  e_type is 3, expected 2 (ET_EXEC).\n"},
                  {18, 2, 3, "  e_machine is 3, expected 40 (EM_ARM).\n"},
                  {18, 2, 0x2800, "  e_machine is 10240, expected 40 (EM_ARM).\n"},
                  {20, 4, 0, "  e_version is 0, expected 1 (EV_CURRENT).\n"},
                  {20, 4, 2, "  e_version is 2, expected 1 (EV_CURRENT).\n"}};
    for (const auto& f : faults) {
        SCOPED_TRACE("offset " + std::to_string(f.offset) + " value " + std::to_string(f.value));
        Bytes b = good().bytes;
        if (f.width == 2)
            put16(b, f.offset, static_cast<uint16_t>(f.value));
        else
            put32(b, f.offset, f.value);
        expect_refused(b, not_arm + f.why);
    }
}

TEST(HeaderChecks, HeaderSizeMustBe52)
{
    const std::pair<uint16_t, std::string> sizes[] = {{0, "  e_ehsize is 0, expected 52.\n"},
                                                      {51, "  e_ehsize is 51, expected 52.\n"},
                                                      {53, "  e_ehsize is 53, expected 52.\n"},
                                                      {64, "  e_ehsize is 64, expected 52.\n"}};
    for (const auto& [size, why] : sizes) {
        SCOPED_TRACE("e_ehsize " + std::to_string(size));
        Bytes b = good().bytes;
        put16(b, E_EHSIZE, size);
        expect_refused(b, bad_size + why);
    }
}

TEST(HeaderChecks, EntrySizesAreNotCheckedAndStridesStayFixed)
{
    Bytes b = good().bytes;
    put16(b, 42, 0);  // e_phentsize
    put16(b, 46, 64); // e_shentsize
    EXPECT_EQ(described(b), good_described);
}

TEST(HeaderChecks, TheEarlierCheckWinsWhenTwoFail)
{
    // Only the first field at fault is named.
    Bytes ident_and_type = good().bytes;
    ident_and_type[5] = 1;
    ident_and_type[7] = 0;
    put16(ident_and_type, 16, 3);
    expect_refused(ident_and_type, not_elf + "  EI_DATA is 1, expected 2 (ELFDATA2MSB).\n");

    Bytes type_and_size = good().bytes;
    put16(type_and_size, 18, 3);
    put32(type_and_size, 20, 0);
    put16(type_and_size, E_EHSIZE, 40);
    expect_refused(type_and_size, not_arm + "  e_machine is 3, expected 40 (EM_ARM).\n");

    Bytes size_and_tables = good().bytes;
    put16(size_and_tables, E_EHSIZE, 40);
    put32(size_and_tables, E_PHOFF, 0x7FFFFFFF);
    put16(size_and_tables, E_PHNUM, 1);
    put32(size_and_tables, E_SHOFF, 0x7FFFFFFF);
    expect_refused(size_and_tables, bad_size + "  e_ehsize is 40, expected 52.\n");

    Bytes both_tables = size_and_tables;
    put16(both_tables, E_EHSIZE, 52);
    expect_refused(both_tables, "@ is corrupt -- program header table lies outside the file.\n");

    // A short file fails identification, whatever its first bytes say.
    const Bytes whole = good().bytes;
    const Bytes short_file(whole.begin(), whole.begin() + 51);
    expect_refused(short_file, not_elf + "  It is 51 bytes long, shorter than an ELF header (52 bytes).\n");
}

TEST(HeaderChecks, ReaderRefusesBeforeSectionsAreCollected)
{
    // Section 1 ends past the top of memory and section 2's bytes lie
    // outside the file: the reader's refusal comes first.
    const Built b = good();
    Bytes bytes = b.bytes;
    put32(bytes, b.shdr_at(1) + SH_ADDR, 0xFFFFFFF8);
    put32(bytes, b.shdr_at(2) + SH_OFFSET, 0x7FFFFFF0);
    expect_refused(bytes, "@ is corrupt -- section 2 lies outside the file.\n");
}

TEST(HeaderChecks, AModuleThatIsRefusedStopsTheRun)
{
    TempDir dir;
    Bytes bad = good().bytes;
    bad[7] = 0;
    const std::string first = dir.write("first.elf", bad);
    const std::string second = dir.write("second.elf", Bytes{1, 2, 3});
    const RunResult r = run_tool({"-e", first, "-f", second, "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, first + " is not a supported Elf file.\n  EI_OSABI is 0, expected 97 (ELFOSABI_ARM).\n");
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

// ---------------------------------------------------------------------------
// Modules accepted with parts missing or empty

TEST(Accepted, ModuleWithoutSymbolTableHasZeroStartUpValues)
{
    Module m = typical(0x10000, 7, 0x100);
    m.with_symtab = false;
    EXPECT_EQ(described(build(m).bytes), (Described{1, 0x10000, 0, 0, 0}));
}

TEST(Accepted, ModuleWithoutSectionHeadersAddsOnlyItsNoteGroup)
{
    TempDir dir;
    Bytes b = good().bytes;
    put16(b, E_SHNUM, 0);
    put32(b, E_SHOFF, 0);
    EXPECT_EQ(described(b), (Described{1, 0x10000, 0, 0, 0}));
    ASSERT_EQ(run_tool({"-r", "-e", dir.write("m.elf", b), "-o", dir.path("out.elf")}).status, 0);
    EXPECT_EQ(read_image(dir.path("out.elf")).phnum, 3u); // the system entries alone
}

TEST(Accepted, ExtendedNumberingCountsComeFromSectionHeaderZero)
{
    // e_shnum 0 and e_phnum PN_XNUM: sh_size and sh_info of section header 0
    // hold the counts. The image must be the one the plain counts give.
    TempDir dir;
    Module m = typical(0x10000, 7, 0x100);
    m.segments = {{0x10000, 0x90000, 0x100}};
    const Built b = build(m);
    Bytes extended = b.bytes;
    put16(extended, E_SHNUM, 0);
    put16(extended, E_PHNUM, 0xFFFF);
    put32(extended, b.shdr_at(0) + SH_SIZE, get16(b.bytes, E_SHNUM));
    put32(extended, b.shdr_at(0) + 28, get16(b.bytes, E_PHNUM)); // sh_info
    EXPECT_EQ(described(extended), good_described);
    const std::string plain = dir.path("plain.elf"), ext = dir.path("ext.elf");
    ASSERT_EQ(run_tool({"-e", dir.write("a.elf", b.bytes), "-o", plain}).status, 0);
    ASSERT_EQ(run_tool({"-e", dir.write("b.elf", extended), "-o", ext}).status, 0);
    EXPECT_EQ(read_file(ext), read_file(plain));
    EXPECT_EQ(read_image(ext).phdrs.at(0).paddr, 0x90000u);
}

TEST(Accepted, TablesWithNoEntriesAreNeverOutOfBounds)
{
    const Built b = good();
    Bytes bytes = b.bytes;
    put32(bytes, E_PHOFF, 0xFFFFFFFF); // e_phnum is 0
    put32(bytes, b.shdr_at(4) + SH_OFFSET, 0xFFFFFFFF);
    put32(bytes, b.shdr_at(4) + SH_SIZE, 15); // less than one symbol
    put32(bytes, b.shdr_at(4) + SH_LINK, 0xFFFF);
    EXPECT_EQ(described(bytes), (Described{1, 0x10000, 0, 0, 0}));
}

TEST(Accepted, SectionsThatAreNotCopiedMayPointAnywhere)
{
    Module m = typical(0x10000, 7, 0x100);
    m.sections.push_back({".empty", PROGBITS, ALLOC, 0x10300, 4, {}, 0});
    m.sections.push_back({".note", PROGBITS, 0, 0, 4, ramp(8), 0});
    const Built b = build(m);
    Bytes bytes = b.bytes;
    put32(bytes, b.shdr_at(3) + SH_OFFSET, 0xFFFFFFF0); // .bss, NOBITS
    put32(bytes, b.shdr_at(4) + SH_OFFSET, 0xFFFFFFF0); // .empty, size 0
    put32(bytes, b.shdr_at(5) + SH_SIZE, 0xFFFFFFF0);   // .note, not allocated
    EXPECT_EQ(described(bytes), good_described);
}

// ---------------------------------------------------------------------------
// Start-up symbols

TEST(StartUpSymbols, WordsAreReadBigEndianAndTheStackIsTheAddress)
{
    EXPECT_EQ(described(build(typical(0x20000, 0x0102037F, 0x80000800)).bytes),
              (Described{1, 0x20000, 0x0102037F, 0x80000800, 0x20200}));
}

TEST(StartUpSymbols, TheLastSymbolOfANameWins)
{
    Module m = typical(0x10000, 7, 0x100);
    m.sections[1].data = words({7, 0x100, 9, 0x300});
    m.symbols.push_back({"_initPriority", 0x10108, 2});
    m.symbols.push_back({"_initStackSize", 0x1010C, 2});
    m.symbols.push_back({"_initStack", 0x10220, 3});
    EXPECT_EQ(described(build(m).bytes), (Described{1, 0x10000, 9, 0x300, 0x10220}));
}

TEST(StartUpSymbols, OnlyTheWholeNameMatches)
{
    Module m = typical(0x10000, 7, 0x100);
    m.symbols = {{"_initPriorityX", 0x10100, 2}, {"_initPrio", 0x10100, 2},  {"_initpriority", 0x10100, 2},
                 {"_initStackSize", 0x10104, 2}, {"_initStackS", 0x10200, 3}, {"initStack", 0x10200, 3}};
    EXPECT_EQ(described(build(m).bytes), (Described{1, 0x10000, 0, 0x100, 0}));

    m.symbols = {{"_initStack", 0x10200, 3}, {"_initStackSizes", 0x10104, 2}};
    EXPECT_EQ(described(build(m).bytes), (Described{1, 0x10000, 0, 0, 0x10200}));
}

TEST(StartUpSymbols, TheStackAddressNeedsNoSectionOrWord)
{
    // _initStack absolute and far past the file: only its value is taken.
    const Built b = good();
    Bytes bytes = b.bytes;
    put16(bytes, b.sym_at(3) + ST_SHNDX, 0xFFF1);
    put32(bytes, b.sym_at(3) + ST_VALUE, 0xFFFFFFF0);
    EXPECT_EQ(described(bytes), (Described{1, 0x10000, 7, 0x100, 0xFFFFFFF0}));
}

TEST(StartUpSymbols, AWordInANobitsSectionReadsZero)
{
    Module m = typical(0x10000, 7, 0x100);
    m.symbols[0] = {"_initPriority", 0x10200, 3};
    m.symbols[1] = {"_initStackSize", 0x10204, 3};
    const Built b = build(m);
    Bytes bytes = b.bytes;
    // .bss's offset points at .text's non-zero bytes, which must not be read.
    put32(bytes, b.shdr_at(3) + SH_OFFSET, b.section_offsets[0]);
    EXPECT_EQ(described(bytes), (Described{1, 0x10000, 0, 0, 0x10200}));
    // ...nor bytes past the end of the file.
    put32(bytes, b.shdr_at(3) + SH_OFFSET, 0xFFFFFFF0);
    EXPECT_EQ(described(bytes), (Described{1, 0x10000, 0, 0, 0x10200}));
}

TEST(StartUpSymbols, NameAndWordMayEndAtTheLastByteOfTheFile)
{
    Built b = good();
    Bytes& bytes = b.bytes;
    const auto name_at = static_cast<uint32_t>(bytes.size());
    for (char c : std::string("_initPriority"))
        bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
    const auto word_at = static_cast<uint32_t>(bytes.size());
    for (uint8_t v : {0x00, 0x00, 0x12, 0x34})
        bytes.push_back(v);
    // Symbol 1 now names the appended text and lies on the appended word.
    put32(bytes, b.sym_at(1) + ST_NAME, name_at - b.strtab_offset);
    put32(bytes, b.sym_at(1) + ST_VALUE, 0x10100 + word_at - b.section_offsets[1]);
    EXPECT_EQ(described(bytes), (Described{1, 0x10000, 0x1234, 0x100, 0x10200}));
}

// Tables are read into records of their own: symbol tables laid over the
// ELF header or over a section change nothing, and a section over the ELF
// header reaches the image exactly as the file holds it.
TEST(StartUpSymbols, TablesLaidOverHeadersAndSectionsAlterNothing)
{
    TempDir dir;
    Module m = typical(0x10000, 7, 0x100);
    m.sections.push_back({".hdr", PROGBITS, ALLOC, 0x20000, 4, ramp(52), 0});
    m.sections.push_back({".s1", PROGBITS, 0, 0, 4, ramp(4), 0});
    m.sections.push_back({".s2", PROGBITS, 0, 0, 4, ramp(4), 0});
    const Built b = build(m);
    Bytes bytes = b.bytes;
    put32(bytes, b.shdr_at(4) + SH_OFFSET, 0); // .hdr is the ELF header
    for (const auto& [index, offset] : {std::pair{5u, 0u}, std::pair{6u, b.section_offsets[0]}}) {
        put32(bytes, b.shdr_at(index) + SH_TYPE, SYMTAB);
        put32(bytes, b.shdr_at(index) + SH_OFFSET, offset);
        put32(bytes, b.shdr_at(index) + SH_SIZE, 48);
        put32(bytes, b.shdr_at(index) + SH_LINK, b.symtab_index + 1);
    }
    EXPECT_EQ(described(bytes), good_described); // the last symbol table counts
    const std::string out = dir.path("out.elf");
    ASSERT_EQ(run_tool({"-e", dir.write("m.elf", bytes), "-o", out}).status, 0);
    const LoadedImage loaded(read_image(out));
    EXPECT_TRUE(loaded.holds(0x20000, slice(bytes, 0, 52)));
    EXPECT_TRUE(loaded.holds(0x10000, m.sections[0].data));
}

TEST(StartUpSymbols, ReadElfFillsTheDescriptor)
{
    TempDir dir;
    const std::string path = dir.write("m.elf", build(typical(0x30000, 0x7F, 0x400)).bytes);
    ELF_DESC d(path.c_str(), 2, 0x00200000, -1);
    d.read_elf();
    EXPECT_EQ(d.entry, 0x30000u);
    EXPECT_EQ(d.priority, 0x7F);
    EXPECT_EQ(d.stack_size, 0x400);
    EXPECT_EQ(d.stack, 0x30200u);
    EXPECT_EQ(d.shnum, 7u);
    EXPECT_EQ(d.phnum, 0u);
    std::vector<ELF_DESC> modules{d};
    release_modules(modules); // closes the file the descriptor keeps open
}

// ---------------------------------------------------------------------------
// Raw images

// Merges in plain mode and returns the image; the run must succeed.
Image merged(TempDir& dir, std::vector<std::string> args)
{
    args.insert(args.end(), {"-o", dir.path("out.elf")});
    const RunResult r = run_tool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return read_image(dir.path("out.elf"));
}

TEST(RawImages, KindOneLiesAt0x3400WithItsOddLength)
{
    TempDir dir;
    const Image im = merged(dir, {"-p", dir.write("ka1.bin", Bytes{0xA1, 0xB2, 0xC3})});
    EXPECT_EQ(im.entry, 0xFFFFFFFFu);
    EXPECT_EQ(im.flags, 0u);
    ASSERT_EQ(im.phdrs.size(), 1u);
    const Phdr& p = im.phdrs[0];
    EXPECT_EQ(p.type, 1u);
    EXPECT_EQ(p.vaddr, 0x3400u);
    EXPECT_EQ(p.paddr, 0x3400u);
    EXPECT_EQ(p.filesz, 3u);
    EXPECT_EQ(p.memsz, 3u);
    EXPECT_EQ(p.flags, 0x00F00005u);
    EXPECT_TRUE(LoadedImage(im).holds(0x3400, {0xA1, 0xB2, 0xC3}));
}

TEST(RawImages, KindTwoTakesAnElfFileWholeAt0x12FFFE0)
{
    TempDir dir;
    const Bytes file = good().bytes;
    const Image im = merged(dir, {"-P", dir.write("ka2.bin", file)});
    EXPECT_EQ(im.entry, 0xFFFFFFFFu); // the file's e_entry is not taken
    EXPECT_EQ(im.flags, 0u);          // nor its e_flags
    ASSERT_EQ(im.phdrs.size(), 1u);
    EXPECT_EQ(im.phdrs[0].vaddr, 0x12FFFE0u);
    EXPECT_EQ(im.phdrs[0].filesz, file.size());
    EXPECT_TRUE(LoadedImage(im).holds(0x12FFFE0, file));
}

TEST(RawImages, BytesThatWouldBeRefusedAsElfAreTaken)
{
    TempDir dir;
    const Bytes whole = good().bytes;
    const Bytes cut_header(whole.begin(), whole.begin() + 51);
    const Image im = merged(dir, {"-p", dir.write("ka1.bin", cut_header)});
    ASSERT_EQ(im.phdrs.size(), 1u);
    EXPECT_EQ(im.phdrs[0].filesz, 51u);
    EXPECT_TRUE(LoadedImage(im).holds(0x3400, cut_header));
}

TEST(RawImages, EmptyImageOfEitherKindAddsNothing)
{
    for (const char* letter : {"-p", "-P"}) {
        TempDir dir;
        const Image im = merged(dir, {letter, dir.write("empty.bin", Bytes{})});
        EXPECT_EQ(im.phnum, 0u) << letter;
        EXPECT_EQ(im.bytes.size(), 52u) << letter;
    }
}

} // namespace
