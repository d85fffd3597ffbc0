// SPDX-License-Identifier: MIT
// The command line: usage text, option forms, -s/-z parsing, repeated and
// grouped letters, and which module supplies the entry point.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
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

// Runs program in dir, so that relative names are looked up there, with
// standard input read from input.
RunResult run_in(const std::string& dir, const std::string& program, std::vector<std::string> args,
                 const std::string& input = "/dev/null")
{
    args.insert(args.begin(), {"-c", "cd \"$0\" && exec \"$@\" <\"$INPUT\"", dir, program});
    args.insert(args.begin(), {"INPUT=" + input, "sh"});
    return run_program("env", args);
}

// A name in build.ninja, where '$' escapes a space, a ':' and itself.
std::string ninja_escaped(const std::string& name)
{
    std::string text;
    for (const char c : name) {
        if (c == '$' || c == ' ' || c == ':')
            text += '$';
        text += c;
    }
    return text;
}

void write_bytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

std::string read_text(const std::string& path)
{
    const Bytes bytes = read_file(path);
    return {bytes.begin(), bytes.end()};
}

// text with each "{}" replaced by dir.
std::string in_dir(std::string text, const std::string& dir)
{
    for (size_t at = 0; (at = text.find("{}", at)) != std::string::npos; at += dir.size())
        text.replace(at, 2, dir);
    return text;
}

void set_age(const std::string& path, int seconds)
{
    const auto now = std::filesystem::file_time_type::clock::now();
    std::filesystem::last_write_time(path, now + std::chrono::seconds(seconds));
}

// "current" or "stale", as make -q and ninja -n find the image. make is
// given the goal: it takes no target that holds a '%' for its default.
std::string make_state(const std::string& dir, const std::string& image)
{
    return run_in(dir, "make", {"-q", image}).status == 0 ? "current" : "stale";
}

std::string ninja_state(const std::string& dir, const std::string&)
{
    const RunResult n = run_in(dir, "ninja", {"-n"});
    return n.out.find("no work to do") != std::string::npos ? "current" : "stale";
}

// make and ninja, reading the rule in dir, find the image current while
// every module is older, and stale once any one of them is newer; ninja
// makes the image itself first, with the same command. Neither leaves a
// file the rule did not name. ninja is left out where it cannot match the
// rule's target to the image.
void expect_builds_follow(const std::string& dir, const std::vector<std::string>& command, bool with_ninja)
{
    const std::string rule = read_text(dir + "out.d"), target = rule.substr(0, rule.find(": "));
    const std::string image = dir + command[4];
    std::string words;
    for (const std::string& word : command)
        words += " '" + ninja_escaped(word) + "'";
    std::ofstream(dir + "Makefile") << "-include out.d\n" << target << ": ; @echo remade\n";
    std::ofstream(dir + "build.ninja") << "rule merge\n  command =" << words << "\n  depfile = out.d\nbuild "
                                       << ninja_escaped(image) << ": merge\n";
    ASSERT_EQ(run_in(dir, "ninja", {}).status, 0) << dir;
    const std::string module = dir + command[2];
    for (const auto state : {&make_state, &ninja_state}) {
        if (state == &ninja_state && !with_ninja)
            continue;
        set_age(module, -100);
        EXPECT_EQ(state(dir, image), "current") << module << (state == &make_state ? " to make" : " to ninja");
        set_age(module, 100);
        EXPECT_EQ(state(dir, image), "stale") << module << (state == &make_state ? " to make" : " to ninja");
    }
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{command[2], command[4], "plain.bin", "out.d", "Makefile", "build.ninja", ".ninja_log"}));
}

// A build reads the rule: the output and every module that names a file
// again, absolute and escaped as compilers escape them, and make and ninja
// both follow it. A path that no rule can hold refuses the run before
// anything is written; the message shows it as given, or the working
// directory it is resolved in.
TEST(DependencyFile, NamesTheOutputAndEveryModuleFileEscaped)
{
    struct Case {
        std::string module, output, input, rule, error;
        bool with_ninja = true;
    };
    const std::string refused = " in the dependency file -- a Makefile rule cannot hold ";
    const std::string halved = " in the dependency file -- make and ninja read a backslash before '#', ':', '$' or "
                               "the end of a name differently.\n";
    const Case cases[] = {
        {"plain.bin", "out.elf", "", "{}out.elf: {}plain.bin\n", ""},
        {"a b.bin", "out.elf", "", "{}out.elf: {}a\\ b.bin\n", ""},
        {"a#b.bin", "out.elf", "", "{}out.elf: {}a\\#b.bin\n", ""},
        {"a$b.bin", "out.elf", "", "{}out.elf: {}a$$b.bin\n", ""},
        {"sp\\ ce.bin", "out.elf", "", "{}out.elf: {}sp\\\\\\ ce.bin\n", ""},
        {"c:d.bin", "out.elf", "", "{}out.elf: {}c\\:d.bin\n", ""},
        {"plain.bin", "o:t.elf", "", "{}o\\:t.elf: {}plain.bin\n", ""},
        {"plain.bin", "o:", "", "{}o\\:: {}plain.bin\n", ""},
        {"plain.bin", "o t.elf", "", "{}o\\ t.elf: {}plain.bin\n", ""},
        // ninja compares the target as written, backslash and all, and so
        // always remakes this image; make would read a bare '%' as a pattern.
        {"plain.bin", "o%t.elf", "", "{}o\\%t.elf: {}plain.bin\n", "", false},
        {"/dev/stdin", "out.elf", "", "{}out.elf:\n", ""},
        {"/dev/stdin", "out.elf", "plain.bin", "{}out.elf:\n", ""},
        {"/dev/fd/0", "out.elf", "plain.bin", "{}out.elf:\n", ""},
        {"a\nb.bin", "out.elf", "", "", "Cannot name a\\nb.bin" + refused + "a newline.\n"},
        {"a\tb.bin", "out.elf", "", "", "Cannot name a\\tb.bin" + refused + "a tab.\n"},
        {"m.elf;touch${IFS}PWNED", "out.elf", "", "", "Cannot name m.elf;touch${IFS}PWNED" + refused + "a ';'.\n"},
        {"a=b.bin", "out.elf", "", "", "Cannot name a=b.bin" + refused + "an '='.\n"},
        {"x\\#y.bin", "out.elf", "", "", "Cannot name x\\#y.bin" + halved},
        {"end\\", "out.elf", "", "", "Cannot name end\\" + halved},
        {"end:", "out.elf", "", "",
         "Cannot name end: in the dependency file -- ninja cannot read a ':' at the end of a name.\n"},
        {"plain.bin", "o;t.elf", "", "", "Cannot name o;t.elf" + refused + "a ';'.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module + " -o " + c.output);
        TempDir top;
        const std::string dir = top.path("");
        write_bytes(dir + "plain.bin", ramp(8));
        if (c.module[0] != '/')
            write_bytes(dir + c.module, ramp(8));
        const std::vector<std::string> command{ELF_MERGE_PATH, "-p", c.module, "-o", c.output, "--dependency-file", "out.d"};
        const RunResult r = run_in(dir, command[0], {command.begin() + 1, command.end()}, c.input.empty() ? "/dev/null" : c.input);
        EXPECT_EQ(r.err, c.error) << c.module;
        EXPECT_EQ(r.status, c.error.empty() ? 0 : 1) << c.module;
        EXPECT_EQ(read_text(dir + "out.d"), in_dir(c.rule, dir)) << c.module;
        EXPECT_EQ(file_exists(dir + c.output), c.error.empty()) << c.module;
        if (c.error.empty() && c.module[0] != '/')
            expect_builds_follow(dir, command, c.with_ninja);
    }
}

// The check sees the working directory too, where a relative name is
// resolved.
TEST(DependencyFile, RefusesAWorkingDirectoryThatNoRuleCanName)
{
    TempDir top;
    const std::string dir = top.path("new\nline/");
    std::filesystem::create_directory(dir);
    write_bytes(dir + "plain.bin", ramp(8));
    const RunResult r = run_in(dir, ELF_MERGE_PATH, {"-p", "plain.bin", "-o", "out.elf", "--dependency-file", "out.d"});
    EXPECT_EQ(r.err, "Cannot name " + top.path("new\\nline/out.elf") +
                         " in the dependency file -- a Makefile rule cannot hold a newline.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(file_exists(dir + "out.elf"));
    EXPECT_FALSE(file_exists(dir + "out.d"));
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
        ASSERT_EQ(run_in(dir.path(""), ELF_MERGE_PATH, {"-p", "p.bin", "-o", "out.elf"}).status, 0);
        c.setup(dir);
        const auto before = directory_snapshot(dir.path(""));
        std::vector<std::string> args{"-p", "p.bin"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run_in(dir.path(""), ELF_MERGE_PATH, args);
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
