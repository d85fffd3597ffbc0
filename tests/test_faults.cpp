// SPDX-License-Identifier: MIT
// Faults around the files themselves: devices that refuse writes, paths that
// do not exist, directories and huge files named as modules, and the output
// file doubling as an input.
#include "elf-merge.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Section bytes go through the writer's buffer, in one piece or in many. A
// file size limit cuts a write short: the rest is written on, the next
// write's own error is reported (the limit's signal does not end the run),
// and the partial output is removed.
TEST(WriteFaults, SectionBytesArriveWholeAndAPartialWriteReportsTheRealError)
{
    for (const uint32_t size : {8192u, 1u << 20}) {
        TempDir dir;
        Module m;
        m.sections = {{".text", PROGBITS, ALLOC | EXEC, 0x10000, 4, ramp(size), 0}};
        for (uint32_t i = 0; i < size; i += 251)
            m.sections[0].data[i] ^= static_cast<uint8_t>(i >> 8);
        const std::string a = dir.write("a.elf", m);
        const Image im = merge_ok(dir, {"-e", a}, {m});
        EXPECT_EQ(im.bytes.size(), 84u + size);
        const RunResult r = run_program("bash", {"-c", "ulimit -f 2 && exec \"$0\" \"$@\"",
                                                 ELF_MERGE_PATH, "-e", a, "-o", dir.path("cut.elf")});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Error writing to " + dir.path("cut.elf") + " -- File too large.\n");
        EXPECT_FALSE(file_exists(dir.path("cut.elf")));
    }
}

// Starts elf-merge with args, the signal's default action restored, and
// sends it signal once path holds some of the image: mid-write, as a large
// image takes far longer to write than a poll. The wait status.
int signalled_mid_write(const std::vector<std::string>& args, const std::string& path, int signal)
{
    const pid_t child = ::fork();
    if (child == 0) {
        std::signal(signal, SIG_DFL);
        std::vector<char*> argv{const_cast<char*>(ELF_MERGE_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(ELF_MERGE_PATH, argv.data());
        ::_exit(127);
    }
    struct stat st;
    for (int polls = 0; polls < 20000 && !(::stat(path.c_str(), &st) == 0 && st.st_size > 0); ++polls)
        ::usleep(1000);
    ::kill(child, signal);
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

// A run stopped by a user or a build leaves neither a partial image, which
// a build that does not delete it would take for a whole one, nor a
// temporary dependency file; the previous rule stays. It ends by the
// signal, as its caller expects.
TEST(WriteFaults, SignalMidWriteRemovesThePartialImageAndEndsByTheSignal)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        TempDir dir;
        const std::string big = dir.path("big.bin");
        std::filesystem::resize_file(dir.write("big.bin", Bytes{}), 256u << 20);
        dir.write("out.d", Bytes{'o', 'l', 'd', '\n'});
        const int status = signalled_mid_write(
            {"-p", big, "-o", dir.path("out.elf"), "--dependency-file", dir.path("out.d")}, dir.path("out.elf"), signal);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal << " status " << status;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path("")))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "out.d"})) << signal;
        EXPECT_EQ(read_file(dir.path("out.d")), (Bytes{'o', 'l', 'd', '\n'})) << signal;
    }
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
    // Just under the limit, a module that is not ELF is refused by its header
    // alone, without the rest being read.
    std::filesystem::resize_file(huge, (2ull << 30) - 1);
    const RunResult r = run_tool({"-e", huge, "-o", dir.path("out.elf")});
    EXPECT_EQ(r.err, huge + " is not a supported Elf file.\n  It does not begin with the ELF magic bytes 7f 45 4c 46.\n");
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

// The output may be one of the inputs, under its own name or another: the
// image must be the one a separate output gets.
TEST(ReadFaults, OutputThatIsAnInputByNameLinkOrSymlinkIsReadFirst)
{
    for (const std::string how : {"same name", "hard link", "symlink"}) {
        TempDir dir;
        const std::string pa = dir.write("a.elf", typical(0x10000, 1, 2));
        const std::string pb = dir.write("b.elf", typical(0x20000, 3, 4));
        const RunResult apart = run_tool({"-e", pa, "-f", pb, "-o", dir.path("apart.elf")});
        ASSERT_EQ(apart.status, 0) << apart.err;
        std::string out = pb;
        if (how == "hard link")
            std::filesystem::create_hard_link(pb, out = dir.path("link.elf"));
        if (how == "symlink")
            std::filesystem::create_symlink(pb, out = dir.path("sym.elf"));
        const RunResult r = run_tool({"-e", pa, "-f", pb, "-o", out});
        ASSERT_EQ(r.status, 0) << how << ": " << r.err;
        EXPECT_EQ(read_file(out), read_file(dir.path("apart.elf"))) << how;
    }
}

// Only the standard three descriptors open, then a limit of n.
std::string standard_descriptors_and_limit(int n)
{
    return "for fd in /proc/$$/fd/*; do fd=${fd##*/}; [ $fd -gt 2 ] && eval \"exec $fd>&-\"; done; ulimit -n " +
           std::to_string(n);
}

// More modules than descriptors: files past the limit are opened again when
// their bytes are copied, one at a time. Descriptors that the caller hands
// down (30 under a hard limit of 64) take their share unannounced. Two
// free ones, the output's and a module's, are enough.
TEST(ReadFaults, ThousandsOfModulesMergeUnderALowDescriptorLimit)
{
    const std::pair<uint32_t, std::string> cases[] = {
        {3000, "ulimit -n 256"},
        {200, "ulimit -n 64 && for fd in $(seq 3 32); do eval \"exec $fd</dev/null\"; done"},
        {200, standard_descriptors_and_limit(5)},
    };
    for (const auto& [count, limit] : cases) {
        TempDir dir;
        std::vector<std::string> args;
        for (uint32_t i = 0; i < count; ++i) {
            args.push_back("-u");
            args.push_back(dir.write("m" + std::to_string(i) + ".elf", typical(0x100000 + 0x1000 * i, i, 2 * i)));
        }
        std::vector<std::string> limited{"-c", limit + " && exec \"$0\" \"$@\"", ELF_MERGE_PATH};
        limited.insert(limited.end(), args.begin(), args.end());
        limited.insert(limited.end(), {"-o", dir.path("limited.elf")});
        args.insert(args.end(), {"-o", dir.path("free.elf")});
        const RunResult free_run = run_tool(args);
        ASSERT_EQ(free_run.status, 0) << free_run.err;
        const RunResult r = run_program("bash", limited);
        ASSERT_EQ(r.status, 0) << limit << ": " << r.err;
        EXPECT_EQ(read_file(dir.path("limited.elf")), read_file(dir.path("free.elf"))) << limit;
        const uint32_t last = count - 1;
        EXPECT_EQ(check_sections_loaded(LoadedImage(read_image(dir.path("limited.elf"))),
                                        typical(0x100000 + 0x1000 * last, last, 2 * last)),
                  "");
    }
}

// With one descriptor free, the output's, no module can be copied: the run
// fails, names the module and leaves no output. A sanitizer build's leak
// check, which reads /proc at exit, finds no descriptor either and is off.
TEST(ReadFaults, OneFreeDescriptorIsTooFewAndSaysSo)
{
    TempDir dir;
    const std::string e = dir.write("e.elf", typical(0x10000, 1, 2));
    const std::string no_leak_check = "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0";
    const RunResult r = run_program("bash", {"-c",
                                             standard_descriptors_and_limit(4) + " && " + no_leak_check +
                                                 " exec \"$0\" \"$@\"",
                                             ELF_MERGE_PATH, "-e", e, "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Error opening file " + e + " -- Too many open files\n");
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

// A raw image or a module from a pipe or process substitution is read to
// its end, and merges as the same file would.
TEST(ReadFaults, PipesAndProcessSubstitutionAreReadWhole)
{
    TempDir dir;
    const std::string raw = dir.write("ka1.bin", ramp(257));
    const std::string mod = dir.write("m.elf", typical(0x10000, 1, 2));
    const std::string tool = ELF_MERGE_PATH;
    ASSERT_EQ(run_tool({"-p", raw, "-e", mod, "-o", dir.path("files.elf")}).status, 0);
    for (const std::string& line :
         {tool + " -p <(cat " + raw + ") -e " + mod + " -o " + dir.path("out.elf"),
          "cat " + raw + " | " + tool + " -p /dev/stdin -e " + mod + " -o " + dir.path("out.elf"),
          "cat " + mod + " | " + tool + " -p " + raw + " -e /dev/stdin -o " + dir.path("out.elf")}) {
        const RunResult r = run_program("bash", {"-c", line});
        ASSERT_EQ(r.status, 0) << line << ": " << r.err;
        EXPECT_EQ(read_file(dir.path("out.elf")), read_file(dir.path("files.elf"))) << line;
    }
    // A stream's header is checked before the rest is read: this one has no end.
    const RunResult zero = run_tool({"-e", "/dev/zero", "-o", dir.path("zero.elf")});
    EXPECT_EQ(zero.err, "/dev/zero is not a supported Elf file.\n"
                        "  It does not begin with the ELF magic bytes 7f 45 4c 46.\n");
}

TEST(WriteFaults, OutputIsCreatedExecutable)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    ASSERT_EQ(run_tool({"-e", a, "-o", dir.path("out.elf")}).status, 0);
    const auto perms = std::filesystem::status(dir.path("out.elf")).permissions();
    EXPECT_NE(perms & std::filesystem::perms::owner_exec, std::filesystem::perms::none);
}

// A module that changes after it was read ends the run with one line that
// names it: before the output is opened, and at any read after that.
TEST(ChangedInputs, TruncatedRewrittenOrReplacedModulesAreRefused)
{
    namespace fs = std::filesystem;
    TempDir dir;
    const std::string path = dir.path("m.elf");
    const Bytes good = build(typical(0x10000, 1, 2)).bytes;
    Bytes other = good;
    other.back() ^= 1;
    const std::pair<const char*, std::function<void()>> changes[] = {
        {"truncated", [&] { fs::resize_file(path, 100); }},
        {"rewritten", [&] {
             const auto when = fs::last_write_time(path);
             dir.write("m.elf", other);
             fs::last_write_time(path, when + std::chrono::seconds(1));
         }},
        {"replaced", [&] { fs::rename(dir.write("new.elf", other), path); }},
    };
    for (const auto& [what, change] : changes) {
        dir.write("m.elf", good);
        EXPECT_EXIT(
            {
                std::vector<ELF_DESC> modules{ELF_DESC(path.c_str(), 1, 0x00100000, ELF_KIND)};
                modules[0].read_elf();
                change();
                protect_inputs(modules, dir.path("out.elf").c_str());
                std::exit(0);
            },
            testing::ExitedWithCode(1), "Error reading file .*m.elf -- the file changed while it was being merged")
            << what;
    }
    // Cut short while its bytes are copied: a short read is a change, not a loop.
    dir.write("m.elf", good);
    EXPECT_EXIT(
        {
            ELF_DESC m(path.c_str(), 1, 0x00100000, ELF_KIND);
            m.read_elf();
            fs::resize_file(path, 100);
            uint8_t byte;
            read_module_bytes(m, good.size() - 1, 1, &byte);
            std::exit(0);
        },
        testing::ExitedWithCode(1), "the file changed while it was being merged");
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
