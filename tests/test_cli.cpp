// The command line: usage text, option forms, -s/-z parsing, repeated and
// grouped letters, and which module supplies the entry point.
#include "harness.h"

#include <gtest/gtest.h>

using namespace tb;

namespace {

bool ends_with(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Usage, HelpPrintsTheUsageTextAndFails)
{
    const RunResult r = run_tool({"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, usage_text());
    EXPECT_EQ(r.out, "");
}

TEST(Usage, UnknownLetterMissingArgumentAndLongFormsLeadToUsage)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-q"}, {"-e"}, {"--kernel", "k.elf"}, {"-o"}}) {
        const RunResult r = run_tool(args);
        EXPECT_EQ(r.status, 1) << args[0];
        // getopt's own diagnostic comes first, then the usage text.
        EXPECT_TRUE(ends_with(r.err, usage_text())) << r.err;
        EXPECT_NE(r.err, usage_text()) << "getopt's diagnostic is missing for " << args[0];
    }
}

TEST(Usage, NoArgumentsMeansNoOutputFile)
{
    const RunResult r = run_tool({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Output file undefined.\n" + usage_text());
}

TEST(SharedDataAddress, MisalignedOrTooWideValuesAreRefusedWithUsage)
{
    TempDir dir;
    for (const char* text : {"1000", "0x4001", "100000000", "ffffffffffff"}) {
        const RunResult r = run_tool({"-s", text, "-o", dir.path("out.elf")});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_EQ(r.err, "Shared Data address must be 0x4000 aligned.\n" + usage_text()) << text;
    }
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

TEST(SharedDataAddress, EveryValueIsTestedWhenRead)
{
    // A later aligned -s does not excuse an earlier misaligned one.
    const RunResult r = run_tool({"-s", "10", "-s", "4000", "-o", "x"});
    EXPECT_EQ(r.err, "Shared Data address must be 0x4000 aligned.\n" + usage_text());
}

TEST(SharedDataAddress, EarlierUnreadableModuleIsReportedFirst)
{
    TempDir dir;
    const std::string missing = dir.path("missing.elf");
    const RunResult r = run_tool({"-e", missing, "-s", "1", "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening file " + missing + " -- No such file or directory\n");
}

// Reads back the Shared Data entry's address from a resource-manager image
// (PT_PHDR, then the Shared Data PT_LOAD when no module is described).
uint32_t sd_address_of(const std::vector<std::string>& sd_args)
{
    TempDir dir;
    std::vector<std::string> args{"-r", "-o", dir.path("out.elf")};
    args.insert(args.end(), sd_args.begin(), sd_args.end());
    const RunResult r = run_tool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    const Image im = read_image(dir.path("out.elf"));
    return im.phdrs.size() >= 2 ? im.phdrs[1].vaddr : 0xDEAD;
}

TEST(SharedDataAddress, HexWithOrWithoutPrefixAndNoDigitsMeansZero)
{
    EXPECT_EQ(sd_address_of({"-s", "00F00000"}), 0x00F00000u);
    EXPECT_EQ(sd_address_of({"-s", "0xF04000"}), 0x00F04000u);
    EXPECT_EQ(sd_address_of({"-s", "zz"}), 0u);
    // The last -s wins.
    EXPECT_EQ(sd_address_of({"-s", "8000", "-s", "C000"}), 0xC000u);
}

TEST(SharedDataSize, OversizedValueSaturates)
{
    // 0x1_0000_0000 saturates to 0xFFFFFFFF and then counts as the size of
    // the Shared Data range, which a module at 0x1000 overlaps.
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x1000, 1, 2));
    const RunResult r = run_tool({"-e", a, "-z", "100000000", "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Shared Data segment overlaps with program segment on (0x00001000 - 0x00001010).\n");
}

TEST(Modules, RepeatedLetterAddsModulesAndTheFirstKeepsTheEntry)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    const std::string b = dir.write("b.elf", typical(0x20000, 3, 4));
    const RunResult r = run_tool({"-e", a, "-e", b, "-o", dir.path("x.elf"), "-o", dir.path("out.elf")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(file_exists(dir.path("x.elf"))); // the last -o wins
    const Image im = read_image(dir.path("out.elf"));
    EXPECT_EQ(im.entry, 0x10000u);
    const LoadedImage loaded(im);
    EXPECT_EQ(check_sections_loaded(loaded, typical(0x10000, 1, 2)), "");
    EXPECT_EQ(check_sections_loaded(loaded, typical(0x20000, 3, 4)), "");
}

TEST(Modules, LowestPidSuppliesTheEntryWhateverTheOrder)
{
    TempDir dir;
    const std::string d = dir.write("d.elf", typical(0x30000, 0, 0)); // -d: pid 3
    const std::string f = dir.write("f.elf", typical(0x20000, 0, 0)); // -f: pid 2
    const std::string c = dir.write("c.elf", typical(0x70000, 0, 0)); // -c: pid 7
    const RunResult r = run_tool({"-d", d, "-c", c, "-f", f, "-o", dir.path("out.elf")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_image(dir.path("out.elf")).entry, 0x20000u);
}

TEST(Modules, GroupedLettersAreReadOneByOne)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    // -ro out.elf is -r then -o out.elf; the argument may follow its letter directly.
    const RunResult r = run_tool({"-ro", dir.path("out.elf"), "-e" + a});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image im = read_image(dir.path("out.elf"));
    ASSERT_GE(im.phdrs.size(), 1u);
    EXPECT_EQ(im.phdrs[0].type, 6u); // resource-manager mode: PT_PHDR first
}

TEST(Modules, RawImagesAloneGiveNoEntryPoint)
{
    TempDir dir;
    const std::string p = dir.write("p.bin", ramp(8));
    const RunResult r = run_tool({"-p", p, "-o", dir.path("out.elf")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_image(dir.path("out.elf")).entry, 0xFFFFFFFFu);
}

TEST(Modules, ModuleWithoutEntryPointDoesNotSupplyOne)
{
    TempDir dir;
    Module none = typical(0x10000, 0, 0);
    none.entry = 0xFFFFFFFF;
    const std::string e = dir.write("e.elf", none);
    const std::string f = dir.write("f.elf", typical(0x20000, 0, 0));
    const RunResult r = run_tool({"-e", e, "-f", f, "-o", dir.path("out.elf")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_image(dir.path("out.elf")).entry, 0x20000u);
}

} // namespace
