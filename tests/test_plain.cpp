// SPDX-License-Identifier: MIT
// Plain mode (neither -k nor -r): the whole-file layout, how sections become
// PT_LOAD entries, the padding between them, and the errors that refuse an
// image without touching an existing output file.
#include "harness.h"

#include <gtest/gtest.h>

using namespace tb;

namespace {

Section text(const std::string& name, uint32_t addr, Bytes data, uint32_t align = 4)
{
    return {name, PROGBITS, ALLOC | EXEC, addr, align, std::move(data), 0};
}

Section data(const std::string& name, uint32_t addr, Bytes bytes, uint32_t align = 4)
{
    return {name, PROGBITS, ALLOC | WRITE, addr, align, std::move(bytes), 0};
}

Section bss(const std::string& name, uint32_t addr, uint32_t size, uint32_t align = 4)
{
    return {name, NOBITS, ALLOC | WRITE, addr, align, {}, size};
}

Module module_of(std::vector<Section> sections, uint32_t entry = 0x1000)
{
    Module m;
    m.entry = entry;
    m.sections = std::move(sections);
    return m;
}

// ---------------------------------------------------------------------------
// Whole-file layout

TEST(PlainLayout, NoModuleGivesTheBare52ByteHeader)
{
    TempDir dir;
    const Image im = merge_ok(dir, {}, {});
    // With no program header table, e_phoff is 0 as ELF asks.
    const Bytes expected = {0x7F, 'E',  'L',  'F',  1,    2,    1,    0x61, 1,    0,    0,    0,    0,
                            0,    0,    0,    0,    2,    0,    0x28, 0,    0,    0,    1,    0xFF, 0xFF,
                            0xFF, 0xFF, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                            0,    0,    0x34, 0,    0x20, 0,    0,    0,    0,    0,    0,    0,    0};
    EXPECT_EQ(im.bytes, expected);
}

TEST(PlainLayout, TwoEntriesLieAt0x74And0x17C)
{
    TempDir dir;
    const Module m = module_of({text(".text", 0x1000, ramp(0x108)),
                                data(".data", 0x2000, {0xCA, 0xFE, 0xF0, 0x0D, 0x12, 0x34, 0x56, 0x78})},
                               0x1040);
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(im.entry, 0x1040u);
    EXPECT_EQ(im.phnum, 2u);
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x74, 0x1000, 0x1000, 0x108, 0x108, 0x00100005, 4},
                                                   {1, 0x17C, 0x2000, 0x2000, 8, 8, 0x00100006, 4}}));
    ASSERT_EQ(im.bytes.size(), 0x184u);
    EXPECT_EQ(slice(im.bytes, 0x74, 0x17C), ramp(0x108));
    EXPECT_EQ(slice(im.bytes, 0x17C, 0x184), (Bytes{0xCA, 0xFE, 0xF0, 0x0D, 0x12, 0x34, 0x56, 0x78}));
    // e_phoff 52 and e_phentsize 32 as the bytes a reader sees.
    EXPECT_EQ(slice(im.bytes, 28, 32), (Bytes{0, 0, 0, 52}));
    EXPECT_EQ(slice(im.bytes, 42, 44), (Bytes{0, 32}));
}

TEST(PlainLayout, HeaderFlagsAreTheUnionOfTheModules)
{
    TempDir dir;
    Module a = module_of({text(".text", 0x1000, ramp(4))});
    Module b = module_of({text(".text", 0x2000, ramp(4))});
    a.flags = 2;
    b.flags = 512;
    const std::string pa = dir.write("a.elf", a), pb = dir.write("b.elf", b);
    const std::string raw = dir.write("raw.bin", Bytes{1, 2, 3, 4});
    for (const auto& args : {std::vector<std::string>{"-e", pa, "-f", pb}, {"-p", raw, "-e", pb, "-f", pa}}) {
        const Image im = merge_ok(dir, args, {a, b});
        EXPECT_EQ(slice(im.bytes, 36, 40), (Bytes{0, 0, 0x02, 0x02}));
    }
}

// ---------------------------------------------------------------------------
// Segment building

TEST(Coalescing, ContiguousSectionsWithEqualFlagsShareOneEntry)
{
    TempDir dir;
    const Module m = module_of({text(".t1", 0x100, ramp(0x100)), text(".t2", 0x200, ramp(0x80, 0x40)),
                                data(".d1", 0x400, ramp(0x40, 0x80)), bss(".b1", 0x440, 0x100),
                                data(".d2", 0x540, ramp(0x10, 0xC0))},
                               0x100);
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    // A zero-filled tail ends an entry for file-backed sections: .d2 starts anew.
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x94, 0x100, 0x100, 0x180, 0x180, 0x00100005, 4},
                                                   {1, 0x214, 0x400, 0x400, 0x40, 0x140, 0x00100006, 4},
                                                   {1, 0x254, 0x540, 0x540, 0x10, 0x10, 0x00100006, 4}}));
    EXPECT_EQ(im.bytes.size(), 0x264u);
}

TEST(Coalescing, ZeroFillBeforeFileBytesGivesTwoEntries)
{
    TempDir dir;
    const Module m = module_of({bss(".bss", 0x800, 0x20), data(".data", 0x820, ramp(0x10))});
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x74, 0x800, 0x800, 0, 0x20, 0x00100006, 4},
                                                   {1, 0x74, 0x820, 0x820, 0x10, 0x10, 0x00100006, 4}}));
}

TEST(Coalescing, WriteExecuteOrProtectionDifferencesSplitEntries)
{
    TempDir dir;
    const Module e = module_of({{".ro", PROGBITS, ALLOC, 0x900, 4, ramp(0x10), 0}, data(".rw", 0x910, ramp(0x10)),
                                {".ro2", PROGBITS, ALLOC, 0xA00, 4, ramp(0x10), 0}, text(".rx", 0xA10, ramp(0x10)),
                                text(".t", 0xB00, ramp(0x10))});
    // -f's protection bits differ from -e's even for equal section flags.
    const Module f = module_of({text(".t", 0xB10, ramp(0x10, 0x50))});
    const Image im = merge_ok(dir, {"-e", dir.write("e.elf", e), "-f", dir.write("f.elf", f)}, {e, f});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0xF4, 0x900, 0x900, 0x10, 0x10, 0x00100004, 4},
                                                   {1, 0x104, 0x910, 0x910, 0x10, 0x10, 0x00100006, 4},
                                                   {1, 0x114, 0xA00, 0xA00, 0x10, 0x10, 0x00100004, 4},
                                                   {1, 0x124, 0xA10, 0xA10, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0x134, 0xB00, 0xB00, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0x144, 0xB10, 0xB10, 0x10, 0x10, 0x00200005, 4}}));
}

TEST(Coalescing, SectionsJoinOnlyWhereTheirLoadAddressesContinueTheEntry)
{
    // -u and -v carry the same protection bits; v's first section runs right
    // after u's. It joins only where v also stores it right after u's bytes.
    // Zero fill after file bytes stores none, so v's .b joins wherever its
    // module puts it; zero fill alone is cleared at its load address, so it
    // joins zero fill only where that continues.
    Module u_text = module_of({text(".t", 0x1000, ramp(0x10))});
    u_text.segments = {{0x1000, 0x81000, 0x10}};
    const Module v_text =
        module_of({text(".t", 0x1010, ramp(0x10, 0x60)), {".b", NOBITS, ALLOC | EXEC, 0x1020, 4, {}, 0x10}});
    Module u_bss = module_of({bss(".b", 0x2000, 0x10)});
    u_bss.segments = {{0x2000, 0x82000, 0x10}};
    const Module v_bss = module_of({bss(".b", 0x2010, 0x10)});
    struct Case {
        const Module& u;
        const Module& v;
        Segment v_stored;
        std::vector<Fields> entries;
    };
    for (const Case& c : {Case{u_text, v_text, {0x1010, 0x81010, 0x10}, {{1, 0x54, 0x1000, 0x81000, 0x20, 0x30, 0x00F00005, 4}}},
                          Case{u_text, v_text, {0x1010, 0x91010, 0x10},
                               {{1, 0x74, 0x1000, 0x81000, 0x10, 0x10, 0x00F00005, 4},
                                {1, 0x84, 0x1010, 0x91010, 0x10, 0x20, 0x00F00005, 4}}},
                          Case{u_bss, v_bss, {0x2010, 0x82010, 0x10}, {{1, 0x54, 0x2000, 0x82000, 0, 0x20, 0x00F00006, 4}}},
                          Case{u_bss, v_bss, {0x2010, 0x92010, 0x10},
                               {{1, 0x74, 0x2000, 0x82000, 0, 0x10, 0x00F00006, 4},
                                {1, 0x74, 0x2010, 0x92010, 0, 0x10, 0x00F00006, 4}}}}) {
        TempDir dir;
        Module v = c.v;
        v.segments = {c.v_stored};
        const Image im = merge_ok(dir, {"-v", dir.write("v.elf", v), "-u", dir.write("u.elf", c.u)}, {c.u, v});
        EXPECT_EQ(all_fields(im), c.entries) << std::hex << c.v_stored.paddr;
    }
}

TEST(Coalescing, ModuleStoredApartFromTheRawImageBeforeItKeepsItsLoadAddress)
{
    // Linked to run right after the -P image but stored elsewhere.
    TempDir dir;
    Module u = module_of({text(".t", 0x1300000, ramp(0x10))}, 0x1300000);
    u.segments = {{0x1300000, 0x2000000, 0x10}};
    const std::string ka2 = dir.write("ka2.bin", ramp(0x20));
    const Image im = merge_ok(dir, {"-P", ka2, "-u", dir.write("u.elf", u)}, {u});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x74, 0x12FFFE0, 0x12FFFE0, 0x20, 0x20, 0x00F00005, 1},
                                                   {1, 0x94, 0x1300000, 0x2000000, 0x10, 0x10, 0x00F00005, 4}}));
}

TEST(Coalescing, AlignmentIsPromotedOnlyWhenTheEntryStartAllowsIt)
{
    TempDir dir;
    const Module m = module_of({text(".a", 0x100, ramp(0x10)), text(".b", 0x110, ramp(0x10, 0x20), 16),
                                text(".c", 0x204, ramp(0xC, 0x40)), text(".d", 0x210, ramp(0x10, 0x60), 16)},
                               0x100);
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x94, 0x100, 0x100, 0x20, 0x20, 0x00100005, 16},
                                                   {1, 0xB4, 0x204, 0x204, 0xC, 0xC, 0x00100005, 4},
                                                   {1, 0xC0, 0x210, 0x210, 0x10, 0x10, 0x00100005, 16}}));
}

TEST(Coalescing, RelativeOffsetsRoundEachEntryUpToFourBytes)
{
    // Entries with file sizes 5, 0 and 8 lie at relative offsets 0, 8 and 8.
    TempDir dir;
    const Module m = module_of({text(".a", 0x1000, {0xA1, 0xA2, 0xA3, 0xA4, 0xA5}, 1), bss(".b", 0x2000, 0x10),
                                data(".c", 0x3000, {0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8})});
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x94, 0x1000, 0x1000, 5, 5, 0x00100005, 1},
                                                   {1, 0x9C, 0x2000, 0x2000, 0, 0x10, 0x00100006, 4},
                                                   {1, 0x9C, 0x3000, 0x3000, 8, 8, 0x00100006, 4}}));
    EXPECT_EQ(slice(im.bytes, 0x94, im.bytes.size()),
              (Bytes{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA1, 0xA2, 0xA3, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8}));
}

TEST(Coalescing, SectionsAfterAnOddSizedSectionStillLoadAtTheirAddresses)
{
    // Were .b to join .a, the fill after .a's six bytes would shift .b two
    // bytes away from where the entry maps it, and .c with it.
    TempDir dir;
    const Module m = module_of({text(".a", 0x1000, {0x61, 0x62, 0x63, 0x64, 0x65, 0x66}, 0),
                                text(".b", 0x1006, {0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78}, 2),
                                text(".c", 0x2000, {0xDE, 0xAD, 0xBE, 0xEF}),
                                data(".d", 0x3000, {0x81, 0x82, 0x83, 0x84, 0x85, 0x86}, 2), bss(".e", 0x3006, 0x1A, 2)});
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    // The refused join leaves .a's entry with its own alignment (0); zero
    // fill still joins an odd-sized section.
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0xB4, 0x1000, 0x1000, 6, 6, 0x00100005, 0},
                                                   {1, 0xBC, 0x1006, 0x1006, 8, 8, 0x00100005, 2},
                                                   {1, 0xC4, 0x2000, 0x2000, 4, 4, 0x00100005, 4},
                                                   {1, 0xC8, 0x3000, 0x3000, 6, 0x20, 0x00100006, 2}}));
    EXPECT_EQ(slice(im.bytes, 0xB4, im.bytes.size()),
              (Bytes{0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x61, 0x62, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77,
                     0x78, 0xDE, 0xAD, 0xBE, 0xEF, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x81, 0x82}));
}

TEST(Coalescing, PhysicalAddressesComeFromTheFirstModuleHeaderHoldingTheSection)
{
    TempDir dir;
    Module m = module_of({text(".a", 0x180, ramp(0x10)), data(".b", 0x300, ramp(0x10)), text(".c", 0x400, ramp(0x10)),
                          text(".d", 0x500, ramp(0x10)), text(".e", 0x700, ramp(0x10))},
                         0x180);
    m.segments = {{0x100, 0x900, 0x200}, {0x400, 0x8400, 0x200, 4, 4}, {0x500, 0x9500, 0x100}};
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    // 0x300 is the first header's end, outside it; 0x500 lies in two headers;
    // 0x700 lies in none.
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0xD4, 0x180, 0x980, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0xE4, 0x300, 0x300, 0x10, 0x10, 0x00100006, 4},
                                                   {1, 0xF4, 0x400, 0x8400, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0x104, 0x500, 0x8500, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0x114, 0x700, 0x700, 0x10, 0x10, 0x00100005, 4}}));
}

TEST(Coalescing, SectionsOfEightToElevenBytesArePaddedWithTheirOpeningBytes)
{
    TempDir dir;
    const Module m = module_of({text(".a", 0x1000, ramp(8, 0x10), 1), text(".b", 0x2000, ramp(9, 0x20), 1),
                                text(".c", 0x3000, ramp(10, 0x30), 1), text(".d", 0x4000, ramp(11, 0x40), 1)});
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    ASSERT_EQ(im.phdrs.size(), 4u);
    EXPECT_EQ(im.phdrs[0].offset, 0xB4u);
    EXPECT_EQ(im.phdrs[1].offset, 0xBCu);
    EXPECT_EQ(im.phdrs[2].offset, 0xC8u);
    EXPECT_EQ(im.phdrs[3].offset, 0xD4u);
    EXPECT_EQ(slice(im.bytes, 0xB4, im.bytes.size()),
              (Bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,                         //
                     0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x20, 0x21, 0x22, //
                     0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x30, 0x31, //
                     0x40, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x40}));
}

TEST(Coalescing, IgnoredSectionsAreNeitherCheckedNorPlaced)
{
    TempDir dir;
    // A section without SHF_ALLOC or of size 0 may be misaligned or lie in
    // another; alignment 0 and 1 allow any address.
    const Module m = module_of({{".note", PROGBITS, 0, 0x1002, 16, ramp(4), 0}, text(".empty", 0x1003, {}, 8),
                                text(".t", 0x1000, ramp(0x10)), text(".odd", 0x2001, {0x55}, 1),
                                text(".any", 0x3003, {0x66, 0x67}, 0)});
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x94, 0x1000, 0x1000, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0xA4, 0x2001, 0x2001, 1, 1, 0x00100005, 1},
                                                   {1, 0xA8, 0x3003, 0x3003, 2, 2, 0x00100005, 0}}));
}

// ---------------------------------------------------------------------------
// Raw images

TEST(RawImages, TakeTheirFixedAddressesAndPadWithZeroPastTheirEnd)
{
    TempDir dir;
    const Module m = module_of({text(".text", 0x10000, ramp(0x10))}, 0x10008);
    const std::string ka1 = dir.write("ka1.bin", Bytes{0xAB});
    const std::string ka2 = dir.write("ka2.bin", Bytes{0x7F, 'E', 'L', 'F', 0x01, 0x02});
    const Image im = merge_ok(dir, {"-p", ka1, "-P", ka2, "-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(im.entry, 0x10008u);
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x94, 0x3400, 0x3400, 1, 1, 0x00F00005, 1},
                                                   {1, 0x98, 0x10000, 0x10000, 0x10, 0x10, 0x00100005, 4},
                                                   {1, 0xA8, 0x12FFFE0, 0x12FFFE0, 6, 6, 0x00F00005, 1}}));
    // The one-byte image's fill would come from beyond its file: zeros.
    EXPECT_EQ(slice(im.bytes, 0x94, 0x98), (Bytes{0xAB, 0xAB, 0, 0}));
    EXPECT_EQ(slice(im.bytes, 0xA8, im.bytes.size()), (Bytes{0x7F, 'E', 'L', 'F', 0x01, 0x02, 0x7F, 'E'}));
    const LoadedImage loaded(im);
    EXPECT_TRUE(loaded.holds(0x3400, {0xAB}));
    EXPECT_TRUE(loaded.holds(0x12FFFE0, {0x7F, 'E', 'L', 'F', 0x01, 0x02}));
}

TEST(RawImages, EmptyImageAddsNothing)
{
    TempDir dir;
    const Image im = merge_ok(dir, {"-P", dir.write("empty.bin", Bytes{})}, {});
    EXPECT_EQ(im.phnum, 0u);
    EXPECT_EQ(im.bytes.size(), 52u);
}

// ---------------------------------------------------------------------------
// Top of the address space

TEST(AddressSpace, SectionEndingAtTheTopIsPlaced)
{
    TempDir dir;
    const Module m = module_of({text(".top", 0xFFFFFFF0, ramp(0x10))}, 0xFFFFFFF0);
    const Image im = merge_ok(dir, {"-e", dir.write("m.elf", m)}, {m});
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{1, 0x54, 0xFFFFFFF0, 0xFFFFFFF0, 0x10, 0x10, 0x00100005, 4}}));
}

// ---------------------------------------------------------------------------
// Refusals

TEST(Refusals, MisalignedSectionIsNamedByIndexBeforeAnyOverlap)
{
    TempDir dir;
    // Index 3 counts the null header and the skipped .comment.
    const Module m = module_of({text(".t", 0x1000, ramp(0x10)), {".comment", PROGBITS, 0, 0x1001, 16, ramp(4), 0},
                                text(".v", 0x1008, ramp(0x10), 16)});
    const std::string p = dir.write("m.elf", m);
    expect_refused(dir, {"-e", p}, "Section 3 of " + p + " has inconsistent alignment.\n");
}

TEST(Refusals, OverlapNamesTheLowerSectionFirst)
{
    TempDir dir;
    const std::string hi = dir.write("hi.elf", module_of({text(".t", 0x200, ramp(0x80))}));
    const std::string lo = dir.write("lo.elf", module_of({text(".t", 0x100, ramp(0x101), 1)}));
    expect_refused(dir, {"-e", hi, "-f", lo},
                   "Overlapping sections between " + lo + " [0x00000100 - 0x00000201) and " + hi +
                       " [0x00000200 - 0x00000280).\n");
}

TEST(Refusals, SectionsAtOneAddressAlwaysOverlap)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", module_of({bss(".bss", 0x4000, 4)}));
    const std::string b = dir.write("b.elf", module_of({text(".t", 0x4000, ramp(8))}));
    const std::string out = dir.path("out.elf");
    const RunResult r = run_tool({"-e", a, "-e", b, "-o", out});
    EXPECT_EQ(r.status, 1);
    // Which of the two is named first is not fixed.
    const std::string ab = "Overlapping sections between " + a + " [0x00004000 - 0x00004004) and " + b +
                           " [0x00004000 - 0x00004008).\n";
    const std::string ba = "Overlapping sections between " + b + " [0x00004000 - 0x00004008) and " + a +
                           " [0x00004000 - 0x00004004).\n";
    EXPECT_TRUE(r.err == ab || r.err == ba) << r.err;
    EXPECT_FALSE(file_exists(out));
}

TEST(Refusals, AddressesPastTheTopAreRefusedAndPrintedUnwrapped)
{
    TempDir dir;
    const std::string past = dir.write("past.elf", module_of({text(".t", 0xFFFFFF00, ramp(0x104))}));
    expect_refused(dir, {"-e", past}, "Section 1 of " + past + " ends beyond the 32-bit address space.\n");

    const std::string top = dir.write("top.elf", module_of({text(".t", 0xFFFFFF00, ramp(0x100))}));
    const std::string in = dir.write("in.elf", module_of({text(".t", 0xFFFFFF80, ramp(0x10))}));
    expect_refused(dir, {"-e", top, "-f", in},
                   "Overlapping sections between " + top + " [0xffffff00 - 0x100000000) and " + in +
                       " [0xffffff80 - 0xffffff90).\n");
}

TEST(Refusals, LoadRangesMayTouchButNeverOverlap)
{
    TempDir dir;
    // a stores .t at [0x20000, 0x20100); b runs .d at 0x30000 and stores it
    // at `stored`. Zero fill past a load range's file bytes is not part of it.
    Module a = module_of({text(".t", 0x20000, ramp(0x100)), bss(".b", 0x20100, 0x100)});
    const std::string pa = dir.write("a.elf", a);
    const auto b_stored_at = [&](uint32_t stored) {
        Module b = module_of({data(".d", 0x30000, ramp(0x10))});
        b.segments = {{0x30000, stored, 0x10}};
        return std::make_pair(b, dir.write("b.elf", b));
    };
    for (const uint32_t touching : {0x1FFF0u, 0x20100u}) {
        const auto [b, pb] = b_stored_at(touching);
        merge_ok(dir, {"-e", pa, "-f", pb}, {a, b});
    }
    const std::string pb = b_stored_at(0x200F8).second;
    expect_refused(dir, {"-f", pb, "-e", pa},
                   "Overlapping load addresses between " + pa + " [0x00020000 - 0x00020100) and " + pb +
                       " [0x000200f8 - 0x00020108).\n");
}

TEST(Refusals, LoadRangeOverTheSharedDataSegmentOrPastTheTop)
{
    TempDir dir;
    Module k = module_of({text(".t", 0x1000, ramp(0x10))});
    Module m = module_of({data(".d", 0x30000, ramp(0x10))});
    m.segments = {{0x30000, 0x100040, 0x10}};
    const std::string pk = dir.write("k.elf", k), pm = dir.write("m.elf", m);
    // Table (five entries) and note (one module): 0xA0 + 0x34 bytes at 0x100000.
    expect_refused(dir, {"-k", pk, "-e", pm, "-s", "100000"},
                   "Overlapping load addresses between Shared Data segment [0x00100000 - 0x001000d4) and " + pm +
                       " [0x00100040 - 0x00100050).\n");
    m.segments = {{0x30000, 0xFFFFFFF8, 0x10}};
    const std::string top = dir.write("top.elf", m);
    expect_refused(dir, {"-e", top},
                   "Load range of " + top + " [0xfffffff8 - 0x100000008) ends beyond the 32-bit address space.\n");
}

// count four-byte sections, each its own entry: they lie 8 bytes apart.
Module scattered(uint32_t count, uint32_t first)
{
    Module m;
    m.entry = 0x100000;
    for (uint32_t i = 0; i < count; ++i)
        m.sections.push_back(text(".t", 0x100000 + 8 * (first + i), {1, 2, 3, 4}));
    return m;
}

TEST(Refusals, ProgramHeaderCountMustFitSixteenBits)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", scattered(32768, 0));
    const std::string b = dir.write("b.elf", scattered(32766, 40000));
    const std::string c = dir.write("c.elf", scattered(32767, 40000));
    // 65535 would read as PN_XNUM, which points at a section header.
    expect_refused(dir, {"-e", a, "-f", c}, "Too many program header entries (65535); at most 65534 fit.\n");

    // One fewer fits. (The loaded view is not built: it compares every pair.)
    const std::string out = dir.path("out.elf");
    const RunResult r = run_tool({"-e", a, "-f", b, "-o", out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(reader_complaints(out), "");
    const Image im = read_image(out);
    ASSERT_EQ(im.phnum, 65534u);
    EXPECT_EQ(fields(im.phdrs[65533]),
              (Fields{1, 52 + 32 * 65534 + 4 * 65533, 0x100000 + 8 * (40000 + 32765), 0x100000 + 8 * (40000 + 32765), 4,
                      4, 0x00200005, 4}));
    EXPECT_EQ(slice(im.bytes, im.bytes.size() - 4, im.bytes.size()), (Bytes{1, 2, 3, 4}));
}

TEST(Refusals, SharedDataRangeIsTestedInPlainModeToo)
{
    TempDir dir;
    const Module m = module_of({text(".t", 0x100, ramp(0x100))});
    const std::string p = dir.write("m.elf", m);
    // -z without -s: the range [0, 0x400) meets the segment.
    expect_refused(dir, {"-e", p, "-z", "400"},
                   "Shared Data segment overlaps with program segment on (0x00000100 - 0x00000200).\n");
    // With a size of 0, a segment that straddles the address is reported.
    const std::string straddle = dir.write("s.elf", module_of({text(".t", 0x3F00, ramp(0x200))}));
    expect_refused(dir, {"-e", straddle, "-s", "4000"},
                   "Shared Data segment overlaps with program segment on (0x00003f00 - 0x00004100).\n");
    const std::string top = dir.write("top.elf", module_of({text(".t", 0xFFFFF000, ramp(0x1000))}));
    expect_refused(dir, {"-e", top, "-s", "FFFFC000", "-z", "4000"},
                   "Shared Data segment overlaps with program segment on (0xfffff000 - 0x100000000).\n");
}

TEST(Refusals, SegmentsThatOnlyTouchTheSharedDataRangePass)
{
    TempDir dir;
    const Module below = module_of({text(".t", 0x3F00, ramp(0x100))});
    const Module above = module_of({text(".t", 0x5000, ramp(0x10))});
    const Module at = module_of({text(".t", 0x8000, ramp(0x10))});
    merge_ok(dir, {"-e", dir.write("b.elf", below), "-f", dir.write("a.elf", above), "-s", "4000", "-z", "1000"},
             {below, above});
    // With no size, a segment that starts at the address is clear of it.
    merge_ok(dir, {"-e", dir.write("at.elf", at), "-s", "8000"}, {at});
}

} // namespace
