// Faults around the files themselves: devices that refuse writes, paths that
// do not exist, directories and huge files named as modules, and the output
// file doubling as an input.
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace tb;

namespace {

TEST(WriteFaults, FullDeviceIsReportedAsAWriteError)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    const RunResult r = run_tool({"-e", a, "-o", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error writing to /dev/full -- No space left on device.\n");
}

TEST(WriteFaults, MissingDirectoryIsReportedAsAnOpenError)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    const std::string out = dir.path("no-such-dir/out.elf");
    const RunResult r = run_tool({"-e", a, "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening output file " + out + " -- No such file or directory.\n");
}

TEST(ReadFaults, DirectoryNamedAsModuleIsRefusedWhenRead)
{
    TempDir dir;
    std::filesystem::create_directory(dir.path("sub"));
    for (const char* letter : {"-e", "-p"}) {
        const RunResult r = run_tool({letter, dir.path("sub"), "-o", dir.path("out.elf")});
        EXPECT_EQ(r.status, 1) << letter;
        EXPECT_EQ(r.err, "Error reading file " + dir.path("sub") + " -- Is a directory\n") << letter;
    }
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

TEST(ReadFaults, HugeSparseModuleIsRefusedBeforeItIsRead)
{
    TempDir dir;
    const std::string huge = dir.path("huge.bin");
    { std::ofstream touch(huge); }
    std::filesystem::resize_file(huge, 5ull << 30); // sparse: no blocks written
    for (const char* letter : {"-e", "-p"}) {
        const RunResult r = run_tool({letter, huge, "-o", dir.path("out.elf")});
        EXPECT_EQ(r.status, 1) << letter;
        EXPECT_EQ(r.err, "Error reading file " + huge + " -- File too large\n") << letter;
    }
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

TEST(ReadFaults, ModuleNamedTwiceOverlapsItself)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    const RunResult r = run_tool({"-e", a, "-f", a, "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Overlapping sections between " + a + " [0x00010000 - 0x00010010) and " + a +
                         " [0x00010000 - 0x00010010).\n");
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

TEST(ReadFaults, OutputNamedAsInputIsReadWholeFirst)
{
    TempDir dir;
    const Module a = typical(0x10000, 1, 2);
    const Module b = typical(0x20000, 3, 4);
    const std::string pa = dir.write("a.elf", a);
    const std::string pb = dir.write("b.elf", b);
    const RunResult r = run_tool({"-e", pa, "-f", pb, "-o", pb});
    ASSERT_EQ(r.status, 0) << r.err;
    const Image im = read_image(pb);
    EXPECT_EQ(reader_complaints(pb), "");
    const LoadedImage loaded(im);
    EXPECT_EQ(check_sections_loaded(loaded, a), "");
    EXPECT_EQ(check_sections_loaded(loaded, b), "");
}

TEST(WriteFaults, OutputIsCreatedExecutable)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    ASSERT_EQ(run_tool({"-e", a, "-o", dir.path("out.elf")}).status, 0);
    const auto perms = std::filesystem::status(dir.path("out.elf")).permissions();
    EXPECT_NE(perms & std::filesystem::perms::owner_exec, std::filesystem::perms::none);
}

} // namespace

namespace {

// Inputs that once made a fuzz target fail, replayed through the tool itself:
// a module input's first byte chose its kind, the rest is the file.
TEST(FuzzRegressions, SavedModuleInputsEndWithOneLineOrAnImage)
{
    TempDir dir;
    const std::filesystem::path saved = std::filesystem::path(FUZZ_DIR) / "regressions";
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(saved)) {
        if (entry.path().filename().string().rfind("fuzz_module-", 0) != 0)
            continue;
        const Bytes input = read_file(entry.path().string());
        ASSERT_FALSE(input.empty());
        const char* letters[] = {"-e", "-p", "-P"};
        const std::string module = dir.write("m", Bytes(input.begin() + 1, input.end()));
        const RunResult r = run_tool({letters[input[0] % 3], module, "-o", dir.path("out.elf")});
        EXPECT_TRUE(r.status == 0 || (r.status == 1 && r.err.find('\n') == r.err.size() - 1))
            << entry.path() << ": status " << r.status << ", " << r.err;
        ++replayed;
    }
    EXPECT_GE(replayed, 1);
}

} // namespace
