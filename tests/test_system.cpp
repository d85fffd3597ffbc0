// SPDX-License-Identifier: MIT
// Kernel mode (-k) and resource-manager mode (-r): the PT_PHDR, PT_NOTE and
// Shared Data entries at the head of the table, the auxiliary-vector note
// after it, and the runs these modes refuse.
#include "harness.h"

#include <gtest/gtest.h>

using namespace tb;

namespace {

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// In every system image the Shared Data segment's file bytes are the table
// at 52 followed directly by the note, when there is one.
void expect_shared_data_holds_table_and_note(const Image& im)
{
    ASSERT_GE(im.phdrs.size(), 2u);
    EXPECT_EQ(im.phdrs[0].type, 6u);
    const uint32_t table = 32 * im.phnum;
    const bool has_note = im.phdrs[1].type == 4;
    const uint32_t note = has_note ? im.phdrs[1].filesz : 0;
    if (has_note) {
        EXPECT_EQ(im.phdrs[1].offset, 52 + table);
    }
    const Phdr& sd = im.phdrs[has_note ? 2 : 1];
    EXPECT_EQ(sd.type, 1u);
    EXPECT_EQ(sd.offset, 52u);
    EXPECT_EQ(sd.filesz, table + note);
}

// Every system image must also carry the table and the note in its Shared
// Data segment.
Image merge_system_ok(const TempDir& dir, std::vector<std::string> args, const std::vector<Module>& modules)
{
    const Image im = merge_ok(dir, std::move(args), modules);
    expect_shared_data_holds_table_and_note(im);
    return im;
}

// A module whose 16-byte .text at base holds its priority and stack-size
// words; its entry is base + 4 and its stack symbol names base + 0x800.
Module task(uint32_t base, uint32_t priority, uint32_t stack_size)
{
    Module m;
    m.entry = base + 4;
    m.sections = {{".text", PROGBITS, ALLOC | EXEC, base, 4, words({0xE1A00000, priority, stack_size, 0xE12FFF1E}), 0}};
    m.symbols = {{"_initPriority", base + 4, 1}, {"_initStackSize", base + 8, 1}, {"_initStack", base + 0x800, 1}};
    return m;
}

// The five (tag, value) pairs that describe one module, as big-endian words.
Bytes group(uint32_t pid, uint32_t entry, uint32_t priority, uint32_t stack_size, uint32_t stack)
{
    return words({11, pid, 9, entry, 125, priority, 126, stack_size, 127, stack});
}

// ---------------------------------------------------------------------------
// Kernel mode

TEST(KernelMode, KernelAndTwoModulesInFourSegments)
{
    TempDir dir;
    const Module k = task(0x10000, 0x10, 0x400);
    const Module e = task(0x20000, 5, 0x800);
    Module f = task(0x30000, 7, 0x1000);
    f.sections.push_back({".data", PROGBITS, ALLOC | WRITE, 0x30100, 4, words({1, 2}), 0});
    const Image im = merge_system_ok(dir,
                              {"-k", dir.write("k.elf", k), "-e", dir.write("e.elf", e), "-f", dir.write("f.elf", f),
                               "-s", "100000", "-z", "1000"},
                              {k, e, f});
    EXPECT_EQ(im.entry, 0x10004u);
    EXPECT_EQ(im.phnum, 7u);
    const Bytes table = words({6, 52,  0x100000, 0x100000, 224, 224,    0x00F00000, 4,      //
                               4, 276, 0x1000E0, 0x1000E0, 92,  92,     0x00F00000, 4,      //
                               1, 52,  0x100000, 0x100000, 316, 0x1000, 0x00F00000, 0x4000, //
                               1, 368, 0x10000,  0x10000,  16,  16,     0x00000005, 4,      //
                               1, 384, 0x20000,  0x20000,  16,  16,     0x00100005, 4,      //
                               1, 400, 0x30000,  0x30000,  16,  16,     0x00200005, 4,      //
                               1, 416, 0x30100,  0x30100,  8,   8,      0x00200006, 4});
    const Bytes note = concat(words({0, 80, 6}), concat(group(1, 0x20004, 5, 0x800, 0x20800),
                                                        group(2, 0x30004, 7, 0x1000, 0x30800)));
    EXPECT_EQ(slice(im.bytes, 52, 276), table);
    EXPECT_EQ(slice(im.bytes, 276, 368), note);
    EXPECT_EQ(im.bytes.size(), 424u);
    // The Shared Data segment maps exactly the table and the note, then zeros.
    const LoadedImage loaded(im);
    EXPECT_TRUE(loaded.holds(0x100000, concat(table, note)));
    EXPECT_TRUE(loaded.zeroed(0x100000 + 316, 0x1000 - 316));
}

TEST(KernelMode, SixEntriesAndTheSharedDataSize)
{
    TempDir dir;
    const Module k = task(0x10000, 1, 2);
    const Module e = task(0x20000, 3, 4);
    const Module f = task(0x30000, 5, 6);
    const std::vector<std::string> modules{"-k", dir.write("k.elf", k), "-e", dir.write("e.elf", e),
                                           "-f", dir.write("f.elf", f), "-s", "100000"};
    // -z below the table and note, or none, is raised to them; more is kept.
    const std::vector<std::pair<std::vector<std::string>, uint32_t>> sizes = {
        {{}, 284}, {{"-z", "10"}, 284}, {{"-z", "11C"}, 284}, {{"-z", "2000"}, 0x2000}};
    for (const auto& [size_args, memsz] : sizes) {
        std::vector<std::string> args = modules;
        args.insert(args.end(), size_args.begin(), size_args.end());
        const Image im = merge_system_ok(dir, args, {k, e, f});
        ASSERT_EQ(im.phdrs.size(), 6u);
        EXPECT_EQ(fields(im.phdrs[0]), (Fields{6, 52, 0x100000, 0x100000, 192, 192, 0x00F00000, 4}));
        EXPECT_EQ(fields(im.phdrs[1]), (Fields{4, 244, 0x1000C0, 0x1000C0, 92, 92, 0x00F00000, 4}));
        EXPECT_EQ(fields(im.phdrs[2]), (Fields{1, 52, 0x100000, 0x100000, 284, memsz, 0x00F00000, 0x4000}));
        EXPECT_EQ(im.phdrs[3].offset, 336u);
        EXPECT_EQ(slice(im.bytes, 336, 352), words({0xE1A00000, 1, 2, 0xE12FFF1E}));
    }
}

TEST(KernelMode, KernelAloneHasNoNote)
{
    TempDir dir;
    const Module k = task(0x10000, 1, 2);
    const Image im = merge_system_ok(dir, {"-k", dir.write("k.elf", k), "-s", "4000"}, {k});
    EXPECT_EQ(im.entry, 0x10004u);
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{6, 52, 0x4000, 0x4000, 96, 96, 0x00F00000, 4},
                                                   {1, 52, 0x4000, 0x4000, 96, 96, 0x00F00000, 0x4000},
                                                   {1, 148, 0x10000, 0x10000, 16, 16, 0x00000005, 4}}));
    EXPECT_EQ(im.bytes.size(), 164u);
}

TEST(KernelMode, KernelSuppliesTheEntryAndNoteFollowsTheCommandLine)
{
    TempDir dir;
    const Module k = task(0x10000, 1, 2);
    const Module e = task(0x20000, 3, 4);
    const Module f = task(0x30000, 5, 6);
    const Image im = merge_system_ok(dir,
                              {"-f", dir.write("f.elf", f), "-e", dir.write("e.elf", e), "-k", dir.write("k.elf", k),
                               "-s", "100000"},
                              {k, e, f});
    EXPECT_EQ(im.entry, 0x10004u);
    EXPECT_EQ(slice(im.bytes, 244, 336),
              concat(words({0, 80, 6}), concat(group(2, 0x30004, 5, 6, 0x30800), group(1, 0x20004, 3, 4, 0x20800))));
}

TEST(KernelMode, RawImagesAreNeverDescribed)
{
    TempDir dir;
    const Module k = task(0x10000, 1, 2);
    const Module e = task(0x20000, 3, 4);
    const Image im = merge_system_ok(dir,
                              {"-k", dir.write("k.elf", k), "-p", dir.write("ka1.bin", Bytes{1, 2, 3, 4}), "-e",
                               dir.write("e.elf", e), "-P", dir.write("ka2.bin", Bytes{5, 6, 7, 8}), "-s", "100000"},
                              {k, e});
    ASSERT_EQ(im.phdrs.size(), 7u);
    EXPECT_EQ(fields(im.phdrs[1]), (Fields{4, 276, 0x1000E0, 0x1000E0, 52, 52, 0x00F00000, 4}));
    EXPECT_EQ(slice(im.bytes, 276, 328), concat(words({0, 40, 6}), group(1, 0x20004, 3, 4, 0x20800)));
    const LoadedImage loaded(im);
    EXPECT_TRUE(loaded.holds(0x3400, {1, 2, 3, 4}));
    EXPECT_TRUE(loaded.holds(0x12FFFE0, {5, 6, 7, 8}));
}

TEST(KernelMode, ModuleWithoutStartUpSymbolsIsDescribedWithZeros)
{
    TempDir dir;
    const Module k = task(0x10000, 1, 2);
    Module bare = task(0x20000, 3, 4);
    bare.symbols.clear();
    const Image im = merge_system_ok(dir, {"-k", dir.write("k.elf", k), "-d", dir.write("d.elf", bare), "-s", "4000"}, {k, bare});
    ASSERT_EQ(im.phdrs.size(), 5u);
    EXPECT_EQ(slice(im.bytes, 212, 264), concat(words({0, 40, 6}), group(3, 0x20004, 0, 0, 0)));
}

// ---------------------------------------------------------------------------
// Resource-manager mode

TEST(ResourceManager, OneModuleIsDescribed)
{
    TempDir dir;
    const Module e = task(0x20000, 5, 0x800);
    const Image im = merge_system_ok(dir, {"-r", "-e", dir.write("e.elf", e), "-s", "8000"}, {e});
    EXPECT_EQ(im.entry, 0x20004u);
    EXPECT_EQ(all_fields(im), (std::vector<Fields>{{6, 52, 0x8000, 0x8000, 128, 128, 0x00F00000, 4},
                                                   {4, 180, 0x8080, 0x8080, 52, 52, 0x00F00000, 4},
                                                   {1, 52, 0x8000, 0x8000, 180, 180, 0x00F00000, 0x4000},
                                                   {1, 232, 0x20000, 0x20000, 16, 16, 0x00100005, 4}}));
    EXPECT_EQ(slice(im.bytes, 180, 232), concat(words({0, 40, 6}), group(1, 0x20004, 5, 0x800, 0x20800)));
}

TEST(ResourceManager, WithoutAddressTheSystemEntriesLieAtZero)
{
    TempDir dir;
    const Module e = task(0x20000, 5, 0x800);
    const Image im = merge_system_ok(dir, {"-r", "-e", dir.write("e.elf", e)}, {e});
    ASSERT_EQ(im.phdrs.size(), 4u);
    EXPECT_EQ(fields(im.phdrs[0]), (Fields{6, 52, 0, 0, 128, 128, 0x00F00000, 4}));
    EXPECT_EQ(fields(im.phdrs[1]), (Fields{4, 180, 128, 128, 52, 52, 0x00F00000, 4}));
    EXPECT_EQ(fields(im.phdrs[2]), (Fields{1, 52, 0, 0, 180, 180, 0x00F00000, 0x4000}));
}

TEST(ResourceManager, NoModuleGivesTheTableAlone)
{
    TempDir dir;
    const Image im = merge_system_ok(dir, {"-r"}, {});
    const Bytes header = {0x7F, 'E', 'L', 'F', 1, 2, 1, 0x61, 1,    0, 0,    0, 0, 0, 0, 0, 0, 2,
                          0,    0x28, 0, 0,   0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x34, 0, 0,
                          0,    0,    0, 0,   0, 0, 0,    0x34, 0,    0x20, 0, 2, 0, 0,    0, 0, 0, 0};
    EXPECT_EQ(im.bytes, concat(header, words({6, 52, 0, 0, 64, 64, 0x00F00000, 4,  //
                                              1, 52, 0, 0, 64, 64, 0x00F00000, 0x4000})));
}

TEST(ResourceManager, EveryModuleIsDescribedInCommandLineOrder)
{
    TempDir dir;
    const Module k = task(0x10000, 1, 2);
    const Module e1 = task(0x20000, 3, 4);
    const Module e2 = task(0x28000, 9, 10);
    const Module f = task(0x30000, 5, 6);
    // The kernel is described too, and a repeated slot gives a group per module.
    const Image im = merge_system_ok(dir,
                              {"-r", "-f", dir.write("f.elf", f), "-e", dir.write("e1.elf", e1), "-k",
                               dir.write("k.elf", k), "-e", dir.write("e2.elf", e2)},
                              {k, e1, e2, f});
    ASSERT_EQ(im.phdrs.size(), 7u);
    EXPECT_EQ(fields(im.phdrs[1]), (Fields{4, 276, 224, 224, 172, 172, 0x00F00000, 4}));
    const Bytes groups = concat(concat(group(2, 0x30004, 5, 6, 0x30800), group(1, 0x20004, 3, 4, 0x20800)),
                                concat(group(0, 0x10004, 1, 2, 0x10800), group(1, 0x28004, 9, 10, 0x28800)));
    EXPECT_EQ(slice(im.bytes, 276, 448), concat(words({0, 160, 6}), groups));
    EXPECT_EQ(im.entry, 0x10004u);
}

// ---------------------------------------------------------------------------
// Refusals

TEST(SystemRefusals, TwoKernelsMismatchTheNoteCount)
{
    TempDir dir;
    expect_refused(dir,
                   {"-k", dir.write("k1.elf", task(0x10000, 1, 2)), "-k", dir.write("k2.elf", task(0x18000, 1, 2)),
                    "-e", dir.write("e.elf", task(0x20000, 3, 4)), "-s", "4000"},
                   "Internal error:  aux vector and entry point count mismatched. 5 != 10\n");
}

TEST(SystemRefusals, KernelModeNeedsASharedDataAddress)
{
    TempDir dir;
    const std::string k = dir.write("k.elf", task(0x10000, 1, 2));
    const std::string usage = usage_text();
    for (const auto& args : {std::vector<std::string>{"-k", k}, {"-k", k, "-s", "0"}})
        expect_refused(dir, args, "Shared Data Segment address not specified.\n" + usage);
}

TEST(SystemRefusals, SegmentMeetingTheSharedDataRangeIsRefused)
{
    TempDir dir;
    const std::string k = dir.write("k.elf", task(0x40000, 1, 2));
    expect_refused(dir, {"-k", k, "-e", dir.write("e.elf", task(0x10800, 3, 4)), "-s", "10000", "-z", "1000"},
                   "Shared Data segment overlaps with program segment on (0x00010800 - 0x00010810).\n");
    // Segments that end at the range or start right after it are clear of it.
    const Module below = task(0xFFF0, 1, 2);
    const Module above = task(0x11000, 3, 4);
    merge_system_ok(dir,
             {"-k", dir.write("below.elf", below), "-e", dir.write("above.elf", above), "-s", "10000", "-z", "1000"},
             {below, above});
}

TEST(SystemRefusals, SharedDataRaisedOverASegmentIsRefused)
{
    // No -z: the segment is raised to the table and note, which would then
    // share memory with the module at 0x10040.
    TempDir dir;
    expect_refused(dir,
                   {"-k", dir.write("k.elf", task(0x40000, 1, 2)), "-e", dir.write("e.elf", task(0x10040, 3, 4)),
                    "-s", "10000"},
                   "Shared Data segment overlaps with program segment on (0x00010040 - 0x00010050).\n");
}

TEST(SystemRefusals, SharedDataPastTheTopIsRefused)
{
    TempDir dir;
    expect_refused(dir, {"-r", "-s", "FFFFC000", "-z", "8000"},
                   "Shared Data Segment (0xffffc000, 0x8000 bytes) ends beyond the 32-bit address space.\n");
    // Ending exactly at the top is fine.
    const Image im = merge_system_ok(dir, {"-r", "-s", "FFFFC000", "-z", "4000"}, {});
    ASSERT_EQ(im.phdrs.size(), 2u);
    EXPECT_EQ(fields(im.phdrs[1]), (Fields{1, 52, 0xFFFFC000, 0xFFFFC000, 64, 0x4000, 0x00F00000, 0x4000}));
}

} // namespace
