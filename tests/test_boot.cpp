// SPDX-License-Identifier: MIT
// The example firmware's kernel-mode image booted under QEMU by boot.sh: its
// kernel checks every module and raw image where the loader stored them.
// Skipped where qemu-system-arm is missing.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>

using namespace tb;

namespace {

const std::string example = EXAMPLE_DIR;

// merge.sh kernel, run with the elf-merge under test; returns the image's path.
std::string merge_kernel_image(const TempDir& dir)
{
    setenv("ELF_MERGE", ELF_MERGE_PATH, 1);
    const std::string image = dir.path("fw.elf");
    const RunResult r = run_program(example + "/merge.sh", {"kernel", image});
    EXPECT_EQ(r.status, 0) << r.err;
    return image;
}

RunResult boot(const std::string& image)
{
    return run_program(example + "/boot.sh", {image});
}

TEST(ExampleBoots, EveryCheckPasses)
{
    TempDir dir;
    const RunResult r = boot(merge_kernel_image(dir));
    if (r.status == 77)
        GTEST_SKIP() << r.err;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "kernel   pid 0   running   rodata ok  data ok  bss ok\n"
                     "quenlor  pid 1   note ok   rodata ok  data ok  bss ok\n"
                     "vo       pid 2   note ok   rodata ok  data ok  bss ok\n"
                     "zu       pid 3   note ok   rodata ok  data ok  bss ok\n"
                     "gul      pid 7   note ok   rodata ok  data ok  bss ok\n"
                     "rak      pid 14  note ok   rodata ok  data ok  bss ok\n"
                     "tej      pid 19  note ok   rodata ok  data ok  bss ok\n"
                     "ka1      raw at 0x00003400, 260 bytes ok\n"
                     "ka2      raw at 0x012fffe0, 32 bytes ok\n"
                     "all 9 checks passed\n");
    EXPECT_EQ(r.err, "");
}

// A fault planted in one PT_LOAD entry of the merged image: the first whose
// p_vaddr lies in [from, from + 0x8000) and whose R, W, X flags are rwx.
struct Fault {
    const char* name;
    uint32_t from, rwx;
    bool flip; // flip a bit in the middle of its file bytes, else raise p_paddr by 0x100
    const char* line; // the kernel's line for the module it breaks
};

std::ostream& operator<<(std::ostream& os, const Fault& f)
{
    return os << f.name;
}

class PlantedFault : public testing::TestWithParam<Fault> {};

TEST_P(PlantedFault, FailsTheBoot)
{
    const Fault& f = GetParam();
    TempDir dir;
    Image im = read_image(merge_kernel_image(dir));
    size_t i = 0;
    while (i < im.phdrs.size() && !(im.phdrs[i].type == 1 && im.phdrs[i].vaddr - f.from < 0x8000 &&
                                    (im.phdrs[i].flags & 7) == f.rwx))
        ++i;
    ASSERT_LT(i, im.phdrs.size()) << "no entry for " << f.name;
    if (f.flip)
        im.bytes.at(im.phdrs[i].offset + im.phdrs[i].filesz / 2) ^= 0x01;
    else
        put32(im.bytes, static_cast<uint32_t>(52 + 32 * i + 12), im.phdrs[i].paddr + 0x100);
    const RunResult r = boot(dir.write("broken.elf", im.bytes));
    if (r.status == 77)
        GTEST_SKIP() << r.err;
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find(std::string(f.line) + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 of 9 checks failed\n"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    ExampleBoots, PlantedFault,
    testing::Values(Fault{"FlippedRodataByte", 0x50000, 4, true, // rak's .rodata
                          "rak      pid 14  note ok   rodata BAD  data ok  bss ok"},
                    // vo's stored .data: the copy to its run address finds zeros.
                    Fault{"MovedLoadAddress", 0x28000, 6, false,
                          "vo       pid 2   note ok   rodata ok  data BAD  bss ok"}),
    [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

} // namespace
