// SPDX-License-Identifier: MIT
// The command line: usage text, option forms, -s/-z parsing, repeated and
// grouped letters, and which module supplies the entry point.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

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

TEST(Usage, OptionErrorsGiveGetoptsDiagnosticThenUsage)
{
    // Unknown letter, missing argument; unknown, ambiguous (--r: ra0, ra1,
    // rak, rm), argument-less and unwanted-argument long forms.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-q"}, {"-e"}, {"-o"}, {"--nope"}, {"--r", "x"}, {"--kernel"}, {"--rm=1"}}) {
        const RunResult r = run_tool(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_TRUE(ends_with(r.err, usage_text())) << r.err;
        EXPECT_NE(r.err, usage_text()) << "getopt's diagnostic is missing for " << args[0];
    }
}

// --help, asked for, goes where a pager reads it; -V is --version.
TEST(Usage, LongHelpGoesToStandardOutputAndVersionSucceedsWhenRead)
{
    const RunResult help = run_tool({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out, usage_text());
    EXPECT_EQ(help.err, "");

    for (const char* option : {"--version", "-V"}) {
        const RunResult version = run_tool({option, "-e", "/nonexistent.elf"});
        EXPECT_EQ(version.status, 0) << option << version.err;
        EXPECT_EQ(version.out, "elf-merge " ELF_MERGE_VERSION "\n") << option;
        EXPECT_EQ(version.err, "") << option;
    }
    // Options before it are handled first.
    const RunResult late = run_tool({"-e", "/nonexistent.elf", "--version"});
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(late.out, "");
}

TEST(Usage, LongOptionsAndAbbreviationsGiveTheSameImage)
{
    TempDir dir;
    const std::string k = dir.write("k.elf", typical(0x10000, 1, 2));
    const std::string e = dir.write("e.elf", typical(0x20000, 3, 4));
    const std::string p = dir.write("p.bin", ramp(8));
    const RunResult s = run_tool({"-k", k, "-e", e, "-p", p, "-s", "F00000", "-z", "800", "-r", "-o", dir.path("s.elf")});
    ASSERT_EQ(s.status, 0) << s.err;
    const RunResult l = run_tool({"--kernel=" + k, "--quen", e, "--ka1", p, "--sd_addr", "F00000", "--sd_s=800",
                                  "--rm", "--outfile", dir.path("l.elf")});
    ASSERT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(read_file(dir.path("l.elf")), read_file(dir.path("s.elf")));
}

TEST(Usage, EveryArgumentNeedsItsOptionLetter)
{
    TempDir dir;
    const std::string a = dir.write("a.elf", typical(0x10000, 1, 2));
    const std::string b = dir.write("b.elf", typical(0x20000, 3, 4));
    const std::string out = dir.path("out.elf");
    const std::string missing = dir.path("missing.elf");
    const auto unexpected = [](const std::string& word) {
        return "Unexpected argument " + word + " -- every module needs its option letter.\n" + usage_text();
    };
    // The first operand in command-line order is named, after "--" too, and
    // only once every option has been read: the missing module comes first.
    for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"-o", out, "-e", a, b}, unexpected(b)},
             {{b, "-o", out, "--", a}, unexpected(b)},
             {{"-o", out, "--", "-e", a}, unexpected("-e")},
             {{"stray", "-e", missing}, "Error opening file " + missing + " -- No such file or directory\n"}}) {
        const RunResult r = run_tool(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, message);
    }
    EXPECT_FALSE(file_exists(out));
}

TEST(Usage, NoArgumentsMeansNoOutputFile)
{
    const RunResult r = run_tool({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Output file undefined.\n" + usage_text());
}

TEST(SharedDataAddress, MisalignedValuesAreRefusedWithUsage)
{
    TempDir dir;
    for (const char* text : {"1000", "0x4001", "FFFFFFFF"}) {
        const RunResult r = run_tool({"-s", text, "-o", dir.path("out.elf")});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_EQ(r.err, "Shared Data address must be 0x4000 aligned.\n" + usage_text()) << text;
    }
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

TEST(Numbers, AnythingButHexDigitsAfterAnOptionalPrefixIsRefused)
{
    // 4001zz would fail the alignment test too: the number is tested first.
    for (const char* text : {"", "8k", "4001zz", "-4000", "+4000", " 4000", "4000 ", "0x", "0x-1", "100000000",
                             "000000000100000000", "ffffffffffff"}) {
        for (const char* letter : {"-s", "-z"}) {
            const RunResult r = run_tool({letter, text, "-o", "x"});
            EXPECT_EQ(r.status, 1) << letter << " '" << text << "'";
            EXPECT_EQ(r.err, std::string("Invalid hexadecimal number ") + text + " for " + letter + ".\n" +
                                 usage_text());
        }
    }
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

TEST(SharedDataAddress, HexWithOrWithoutPrefix)
{
    EXPECT_EQ(sd_address_of({"-s", "00F00000"}), 0x00F00000u);
    EXPECT_EQ(sd_address_of({"-s", "0xF04000"}), 0x00F04000u);
    EXPECT_EQ(sd_address_of({"-s", "0XfFFfC000"}), 0xFFFFC000u);
    // The last -s wins.
    EXPECT_EQ(sd_address_of({"-s", "8000", "-s", "C000"}), 0xC000u);
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

// Runs elf-merge in dir, so that relative names are looked up there.
RunResult run_tool_in(const TempDir& dir, std::vector<std::string> args)
{
    args.insert(args.begin(), {"-c", "cd \"$0\" && exec \"$@\" </dev/null", dir.path(""), ELF_MERGE_PATH});
    return run_program("sh", args);
}

// A build reads the rule: the output and every module that is a regular
// file, absolute and escaped as compilers escape them. A path that no rule
// can hold refuses the run.
TEST(DependencyFile, NamesTheOutputAndEveryModuleFileEscaped)
{
    TempDir dir;
    const std::string d = dir.path("");
    struct Case {
        std::string module, rule, error;
    };
    const Case cases[] = {
        {"plain.bin", d + "out.elf: " + d + "plain.bin\n", ""},
        {"a b.bin", d + "out.elf: " + d + "a\\ b.bin\n", ""},
        {"a#b.bin", d + "out.elf: " + d + "a\\#b.bin\n", ""},
        {"a$b.bin", d + "out.elf: " + d + "a$$b.bin\n", ""},
        {"/dev/stdin", d + "out.elf:\n", ""},
        {"a\nb.bin", "", "Cannot name a\\nb.bin in the dependency file -- a Makefile rule cannot hold a newline.\n"},
    };
    for (const Case& c : cases) {
        if (c.module[0] != '/')
            dir.write(c.module, ramp(8));
        const RunResult r = run_tool_in(dir, {"-p", c.module, "-o", "out.elf", "--dependency-file", "out.d"});
        EXPECT_EQ(r.err, c.error) << c.module;
        EXPECT_EQ(r.status, c.error.empty() ? 0 : 1) << c.module;
        EXPECT_EQ(read_file(dir.path("out.d")), Bytes(c.rule.begin(), c.rule.end())) << c.module;
        EXPECT_EQ(file_exists(dir.path("out.elf")), c.error.empty()) << c.module;
        std::remove(dir.path("out.d").c_str());
        std::remove(dir.path("out.elf").c_str());
    }
}

// The rule changes only with a complete image, and whole: a failed run
// leaves it as it was, and one that cannot be put in place fails the run
// and leaves no temporary file.
TEST(DependencyFile, ChangesWholeAndOnlyAfterASuccessfulMerge)
{
    TempDir dir;
    const std::string old = dir.write("out.d", Bytes{'o', 'l', 'd', '\n'});
    const std::string p = dir.write("p.bin", ramp(8));
    const RunResult missing =
        run_tool({"-p", dir.path("none.bin"), "-o", dir.path("out.elf"), "--dependency-file", old});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(read_file(old), (Bytes{'o', 'l', 'd', '\n'}));

    std::filesystem::create_directory(dir.path("sub"));
    const RunResult taken = run_tool({"-p", p, "-o", dir.path("out.elf"), "--dependency-file", dir.path("sub")});
    EXPECT_EQ(taken.status, 1);
    EXPECT_EQ(taken.err, "Error writing dependency file " + dir.path("sub") + " -- Is a directory.\n");
    for (const auto& entry : std::filesystem::directory_iterator(dir.path("")))
        EXPECT_NE(entry.path().filename().string().substr(0, 4), "sub.") << entry.path();
}

// The dependency file is never a file the run reads or writes as its
// image, however named, and one that cannot be written is found out before
// the image is opened: each run is refused with one line, and nothing in
// its directory changes, the previous image included.
TEST(DependencyFile, RefusedBeforeAnythingIsWrittenWhenItIsAnInputTheImageOrUnwritable)
{
    struct Case {
        std::string name;
        std::function<void(const TempDir&)> setup;
        std::vector<std::string> args; // after -p p.bin
        std::string error;
        bool as_root; // runs only where permissions do not hold (false) or where nodes can be made (true)
    };
    const auto nothing = [](const TempDir&) {};
    const std::string usage_line = "Dependency file name is empty.\n" + usage_text();
    const Case cases[] = {
        {"the image", nothing, {"-o", "out.elf", "--dependency-file", "out.elf"},
         "Cannot write dependency file out.elf -- it is the output file out.elf.\n", false},
        {"an image yet to be made", nothing, {"-o", "new.elf", "--dependency-file", "./new.elf"},
         "Cannot write dependency file ./new.elf -- it is the output file new.elf.\n", false},
        {"the image through a link", [](const TempDir& d) { EXPECT_EQ(::symlink("out.elf", d.path("img.d").c_str()), 0); },
         {"-o", "out.elf", "--dependency-file", "img.d"},
         "Cannot write dependency file img.d -- it is the output file out.elf.\n", false},
        {"a module", nothing, {"-o", "out.elf", "--dependency-file", "p.bin"},
         "Cannot write dependency file p.bin -- it is the input file p.bin.\n", false},
        {"a module through a link", [](const TempDir& d) { EXPECT_EQ(::symlink("p.bin", d.path("p.d").c_str()), 0); },
         {"-o", "out.elf", "--dependency-file", "p.d"},
         "Cannot write dependency file p.d -- it is the input file p.bin.\n", false},
        {"a module's hard link", [](const TempDir& d) { EXPECT_EQ(::link(d.path("p.bin").c_str(), d.path("hard.d").c_str()), 0); },
         {"-o", "out.elf", "--dependency-file", "hard.d"},
         "Cannot write dependency file hard.d -- it is the input file p.bin.\n", false},
        {"a directory", [](const TempDir& d) { std::filesystem::create_directory(d.path("sub")); },
         {"-o", "out.elf", "--dependency-file", "sub"}, "Error writing dependency file sub -- Is a directory.\n",
         false},
        {"in a missing directory", nothing, {"-o", "out.elf", "--dependency-file", "none/out.d"},
         "Error writing dependency file none/out.d -- No such file or directory.\n", false},
        {"a name that the temporary file's suffix makes too long", nothing,
         {"-o", "out.elf", "--dependency-file", std::string(250, 'd')},
         "Error writing dependency file " + std::string(250, 'd') + " -- File name too long.\n", false},
        {"an empty name", nothing, {"-o", "out.elf", "--dependency-file", ""}, usage_line, false},
        {"in a read-only directory",
         [](const TempDir& d) {
             std::filesystem::create_directory(d.path("ro"));
             ::chmod(d.path("ro").c_str(), 0555);
         },
         {"-o", "out.elf", "--dependency-file", "ro/out.d"},
         "Error writing dependency file ro/out.d -- Permission denied.\n", true},
    };
    for (const Case& c : cases) {
        if (c.as_root && ::geteuid() == 0)
            continue; // root writes in a read-only directory
        TempDir dir;
        dir.write("p.bin", ramp(8));
        ASSERT_EQ(run_tool_in(dir, {"-p", "p.bin", "-o", "out.elf"}).status, 0);
        c.setup(dir);
        const auto before = directory_snapshot(dir.path(""));
        std::vector<std::string> args{"-p", "p.bin"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_tool_in(dir, args);
        EXPECT_EQ(r.err, c.error) << c.name;
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_EQ(directory_snapshot(dir.path("")), before) << c.name;
        ::chmod(dir.path("ro").c_str(), 0755);
    }
}

// A device or a FIFO is written in place and stays what it was; a link is
// written through, to the file it leads to, and stays a link.
TEST(DependencyFile, DeviceAndFifoAreWrittenInPlaceAndALinkThrough)
{
    TempDir dir;
    const std::string d = dir.path("");
    const std::string rule = d + "out.elf: " + d + "p.bin\n";
    dir.write("p.bin", ramp(8));
    for (const InPlaceTarget& t : in_place_targets(dir)) {
        const RunResult r =
            run_writing_to(dir, t, ELF_MERGE_PATH, {"-p", "p.bin", "-o", "out.elf", "--dependency-file", t.name});
        EXPECT_EQ(r.err, "") << t.name;
        EXPECT_EQ(r.status, 0) << t.name;
        EXPECT_EQ(directory_snapshot(d).at(t.name), t.entry) << t.name;
        if (!t.read_back.empty()) {
            EXPECT_EQ(read_file(dir.path(t.read_back)), Bytes(rule.begin(), rule.end())) << t.name;
        }
    }
}

} // namespace
