// SPDX-License-Identifier: MIT
// The map as text and as JSON: mode, Shared Data segment, the modules that
// the note describes, segments with their slots and sections, the summary;
// and the command line itself.
#include "map_fixture.h"

using namespace maptest;
using testing::HasSubstr;

namespace {

const std::string phdr_row =
    "  0    PT_PHDR  0x00100000-0x00100180  0x00100000  0x00000034  0x00000180  0x00000180  ---   0x00f00000  system\n";
const std::string kernel_text_row =
    "  3    PT_LOAD  0x00001000-0x00001010  0x00001000  0x00000210  0x00000010  0x00000010  R-X   0x00000000  k\n";
const std::string bss_row =
    "  5    PT_LOAD  0x00001200-0x00001240  0x00001200  0x00000228  0x00000000  0x00000040  RW-   0x00000000  k\n";
const std::string e_text_row =
    "  6    PT_LOAD  0x00002000-0x00002010  0x00002000  0x00000228  0x00000010  0x00000010  R-X   0x00100000  e\n";

TEST(MapReport, KernelImageWithModulesNamesEverySegmentsSlotAndSections)
{
    Firmware fw;
    fw.merge("kernel");
    const tb::RunResult r = fw.map({}, "kernel");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string& out = r.out;
    EXPECT_THAT(out, HasSubstr("Header: entry 0x00001000, flags 0x05000000, 12 program headers\n"));
    EXPECT_THAT(out, HasSubstr("Mode: kernel\n"));
    EXPECT_THAT(out, HasSubstr("Shared Data segment: address 0x00100000, memory size 0x2000, file size 0x1dc\n"
                               "  program header table at +0x0, 0x180 bytes\n"
                               "  note at +0x180, 0x5c bytes\n"
                               "Modules described by the note: 2\n"));
    EXPECT_THAT(out, HasSubstr("  1    0x00002000  5            0x00000400  0x00002200  " + fw.e + "\n"));
    EXPECT_THAT(out, HasSubstr("  2    0x00003000  7            0x00000200  0x00003200  " + fw.f + "\n"));
    EXPECT_THAT(out, HasSubstr(phdr_row));
    EXPECT_THAT(out, HasSubstr(kernel_text_row + "       " + fw.k + " section 1 .text  0x00001000  0x10\n"));
    EXPECT_THAT(out, HasSubstr(bss_row + "       " + fw.k + " section 3 .bss  0x00001200  0x40 (zero-filled)\n"));
    EXPECT_THAT(out, HasSubstr(e_text_row + "       " + fw.e + " section 1 .text  0x00002000  0x10\n"));
    EXPECT_THAT(out, HasSubstr("Loaded: 10 PT_LOAD segments, 0x224 bytes from the file, 0x2108 bytes of memory\n"));
    EXPECT_THAT(out, HasSubstr("Gaps: 9\n  0x00001010-0x00001100  0xf0 bytes\n"));
}

TEST(MapReport, WithoutModulesSegmentsHaveNoSectionsAndGroupsNoFiles)
{
    Firmware fw;
    fw.merge("kernel");
    const tb::RunResult r = fw.map({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("  1    0x00002000  5            0x00000400  0x00002200  -\n"));
    EXPECT_THAT(r.out, HasSubstr(kernel_text_row + "  4    PT_LOAD"));
}

// Kernel mode leaves the lowest-pid module out of the note; whether it was
// left out can be seen only when the image says where it starts.
TEST(MapReport, ModeIsToldFromTheImageWhereItCanBeAndFromTheOptionsOtherwise)
{
    Firmware fw;
    fw.merge("rm");
    EXPECT_THAT(fw.map({}).out, HasSubstr("Mode: resource-manager\n"));
    EXPECT_THAT(fw.map({}).out, HasSubstr("Modules described by the note: 3\n"));

    tb::TempDir dir;
    const std::string image = dir.path("rm.elf");
    ASSERT_EQ(tb::run_tool({"-r", "-e", fw.e, "-f", fw.f, "-o", image}).status, 0);
    EXPECT_THAT(run_map({image}).out, HasSubstr("Mode: kernel or resource-manager\n"));
    EXPECT_THAT(run_map({image, "--", "-r", "-e", fw.e, "-f", fw.f}).out, HasSubstr("Mode: resource-manager\n"));

    ASSERT_EQ(tb::run_tool({"-k", fw.k, "-s", "8000", "-o", image}).status, 0);
    const std::string alone = run_map({image}).out;
    EXPECT_THAT(alone, HasSubstr("Mode: kernel\n"));
    EXPECT_THAT(alone, HasSubstr("  note: none\nModules described by the note: 0\n"));

    fw.merge("plain");
    const std::string plain = fw.map({}).out;
    EXPECT_THAT(plain, HasSubstr("Mode: plain\nShared Data segment: none\nSegments: 6\n"));
}

// Several slots share protection bits: the image alone names them all, the
// modules name the slot each segment's module was given.
TEST(MapReport, SegmentsNameTheSlotOfTheirModuleWhenModulesAreGiven)
{
    Firmware fw;
    tb::TempDir dir;
    const std::string raw = dir.write("ka1.bin", tb::ramp(6));
    const std::string image = dir.path("raw.elf");
    ASSERT_EQ(tb::run_tool({"-p", raw, "-c", fw.e, "-o", image}).status, 0);
    const std::string out = run_map({image, "--", "-p", raw, "-c", fw.e}).out;
    EXPECT_THAT(out, HasSubstr("R-X   0x00f00000  p\n       raw image " + raw + "  0x00003400  0x6\n"));
    EXPECT_THAT(out, HasSubstr("R-X   0x00700000  c\n       " + fw.e + " section 1 .text"));
    EXPECT_THAT(run_map({image}).out, HasSubstr("R-X   0x00f00000  uvEanWLKNbCxyPp\n"));
}

TEST(MapJson, DocumentParsesAndCarriesTheReport)
{
    Firmware fw;
    fw.merge("kernel");
    const tb::RunResult r = fw.map({"--json"}, "kernel");
    ASSERT_EQ(r.status, 0) << r.err;
    tb::TempDir dir;
    EXPECT_EQ(json_query(dir, r.out, "list(d)[0], d['schema']"), "schema 3\n");
    EXPECT_EQ(json_query(dir, r.out, "d['mode'], d['header']['entry'], d['header']['phnum']"), "kernel 4096 12\n");
    EXPECT_EQ(json_query(dir, r.out, "d['shared_data']"),
              "{'address': 1048576, 'memory_size': 8192, 'file_size': 476, 'table': {'offset': 0, 'size': 384}, "
              "'note': {'offset': 384, 'size': 92}}\n");
    EXPECT_EQ(json_query(dir, r.out, "d['modules'][1]['pid'], d['modules'][1]['priority'], d['modules'][1]['file']"),
              "2 7 " + fw.f + "\n");
    EXPECT_EQ(json_query(dir, r.out, "[(s['index'], s['slots'], s['read'], s['write'], s['execute']) for s in d['segments'][5:7]]"),
              "[(5, ['k'], True, True, False), (6, ['e'], True, False, True)]\n");
    EXPECT_EQ(json_query(dir, r.out, "d['segments'][5]['sections']"),
              "[{'file': '" + fw.k + "', 'index': 3, 'name': '.bss', 'address': 4608, 'load_address': 4608, 'size': 64, "
              "'nobits': True}]\n");
    EXPECT_EQ(json_query(dir, r.out, "d['loaded'], d['gaps'][0]"),
              "{'segments': 10, 'file_bytes': 548, 'memory_bytes': 8456} {'start': 4112, 'end': 4352, 'size': 240}\n");
}

// A section stored apart from where it runs shows both addresses.
TEST(MapJson, SectionsCarryTheirLoadAddress)
{
    tb::TempDir dir;
    tb::Module m = tb::typical(0x2000, 1, 0x100);
    m.segments = {{0x2100, 0x9100, 8}};
    const auto [mod, image] = merge_alone(dir, m);
    const tb::RunResult r = run_map({"--json", image, "--", "-e", mod});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json_query(dir, r.out,
                         "[(s['name'], s['address'], s['load_address']) for g in d['segments'] for s in g['sections']]"),
              "[('.text', 8192, 8192), ('.data', 8448, 37120), ('.bss', 8704, 8704)]\n");
}

// Section names come from the module's bytes; the document must stay valid
// JSON whatever they hold: a byte that is not UTF-8 becomes U+FFFD.
TEST(MapJson, NamesWithQuotesControlAndInvalidBytesAreEscaped)
{
    tb::TempDir dir;
    tb::Module m = tb::typical(0x2000, 1, 0x100);
    m.sections[0].name = std::string("a\"b\\c\n\xff");
    const auto [mod, image] = merge_alone(dir, m);
    const tb::RunResult r = run_map({"--json", image, "--", "-e", mod});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(R"("name":"a\"b\\c\n)" "\xEF\xBF\xBD\""));
    EXPECT_EQ(json_query(dir, r.out, "ascii(d['segments'][0]['sections'][0]['name'])"), "'a\"b\\\\c\\n\\ufffd'\n");
}

TEST(MapCommandLine, VersionHelpAndMistakes)
{
    const tb::RunResult version = run_map({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "elf-merge-map 1.2.0\n");
    const tb::RunResult help = run_map({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("usage: elf-merge-map [--json] [--check] IMAGE [-- MODULE OPTIONS"));

    const tb::RunResult none = run_map({});
    EXPECT_EQ(none.status, 1);
    EXPECT_THAT(none.err, HasSubstr("elf-merge-map: no IMAGE given\nusage:"));
    EXPECT_EQ(run_map({"--jsn", "x"}).status, 1);
    const std::pair<std::vector<std::string>, std::string> mistakes[] = {
        {{"--region", "ram=1000", "x"}, "--region ram=1000: expected NAME=START:SIZE"},
        {{"--load-region", "rom=0:1_000", "x"},
         "--load-region rom=0:1_000: START and SIZE are hexadecimal numbers, or decimal ones followed by K or M"},
        {{"--region", "ram=0x10K:1", "x"},
         "--region ram=0x10K:1: START and SIZE are hexadecimal numbers, or decimal ones followed by K or M"},
        {{"--region", "ram=0:4096M", "x"},
         "--region ram=0:4096M: START and SIZE are hexadecimal numbers, or decimal ones followed by K or M"},
        {{"--region", "top=FFFFFF00:101", "x"}, "--region top=FFFFFF00:101: the region passes 0xFFFFFFFF"},
        {{"--sha256", std::string(64, 'a'), "x"}, "--sha256 needs --check"},
        {{"--check", "--sha256", "abc", "x"}, "--sha256 abc: not a SHA-256 digest (64 hexadecimal digits)"},
        {{"--svg", "", "-O", "binary", "x", "y"}, "-O, --svg and --diff go one at a time"},
        {{"--svg", "m.svg", "--region", "a=0:1", "x"}, "--region and --load-region go with the map and --check"},
        {{"--svg", "m.svg", "--json", "x"}, "--svg takes neither --json nor --check"},
        {{"--gdb", "g", "--where", "0", "x"},
         "--gdb, --debug-elf, --where, --symbols and --symbolize go alone, without -O, --svg, --diff or each other"},
        {{"--where", "8000,", "x"}, "--where 8000,: each ADDRESS is hexadecimal, at most FFFFFFFF"},
        {{"--symbols", "x"}, "--symbols needs the module options after --"},
    };
    for (const auto& [args, why] : mistakes) {
        const tb::RunResult r = run_map(args);
        EXPECT_EQ(r.status, 1) << why;
        EXPECT_THAT(r.err, HasSubstr("elf-merge-map: " + why + "\nusage:"));
    }

    Firmware fw;
    fw.merge("plain");
    const std::pair<std::vector<std::string>, std::string> bad_options[] = {
        {{"-q", fw.e}, "-q is not an elf-merge module option or lacks its file name"},
        {{"-e", fw.e, "-f"}, "-f is not an elf-merge module option or lacks its file name"},
        {{"-e", fw.e, "-s"}, "-s lacks its number"},
        {{"-e", fw.e, "--sd_size"}, "--sd_size lacks its number"},
    };
    for (const auto& [options, message] : bad_options) {
        std::vector<std::string> args{fw.image, "--"};
        args.insert(args.end(), options.begin(), options.end());
        const tb::RunResult bad = run_map(args);
        EXPECT_EQ(bad.status, 1) << message;
        EXPECT_THAT(bad.err, HasSubstr("elf-merge-map: module options: " + message + "\n"));
    }
    // A module that elf-merge refuses is refused with elf-merge's words.
    const tb::RunResult bad_module = run_map({fw.image, "--", "-e", fw.image + ".missing"});
    EXPECT_EQ(bad_module.status, 1);
    EXPECT_THAT(bad_module.err, HasSubstr("Error opening file " + fw.image + ".missing -- No such file or directory\n"));
    // As a linker leaves it, without ELFOSABI_ARM: both lines, as elf-merge prints them.
    Bytes unmarked = tb::build(tb::typical(0x2000, 5, 0x400)).bytes;
    unmarked[7] = 0;
    const std::string linked = fw.dir.write("linked.elf", unmarked);
    const tb::RunResult refused = run_map({fw.image, "--", "-e", linked});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, linked + " is not a supported Elf file.\n  EI_OSABI is 0, expected 97 (ELFOSABI_ARM).\n");
}

// Faults of the run itself: each ends with one line and status 1, or prints
// the name as one line of its own.
TEST(MapCommandLine, NoFaultOfTheRunIsSilent)
{
    Firmware fw;
    const Bytes image = fw.merge("kernel");
    const tb::RunResult zero = run_map({"/dev/zero"});
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(zero.err, "/dev/zero: larger than 4 GiB, which a 32-bit image cannot describe\n");

    const tb::RunResult full = run_map_in_shell("exec \"$0\" \"$@\" > /dev/full", {"--json", fw.image});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "elf-merge-map: cannot write standard output -- No space left on device\n");

    // About 600 characters, in components that a file system takes.
    const std::string long_dir = fw.dir.path(std::string(200, 'd') + "/" + std::string(200, 'e'));
    ASSERT_EQ(tb::run_program("mkdir", {"-p", long_dir}).status, 0);
    const std::string long_path = long_dir + "/" + std::string(190, 'f') + ".elf";
    fw.dir.write(long_path.substr(fw.dir.path("").size()), image);
    const std::string report = run_map({long_path}).out;
    EXPECT_EQ(report.substr(0, report.find("\nMode:")),
              "Image: " + long_path + " (" + std::to_string(image.size()) + " bytes)\nHeader: entry 0x00001000, "
              "flags 0x05000000, 12 program headers");

    // A newline in a name cannot start a line of its own.
    const std::string forged = fw.dir.write("x.elf: all checks hold\nfw.elf", image);
    EXPECT_EQ(run_map({"--check", forged}).out, fw.dir.path("x.elf: all checks hold\\nfw.elf: all checks hold\n"));
    const std::string broken = fw.dir.write("y\n.elf", Bytes{'#', '!'});
    EXPECT_EQ(run_map({"--check", broken}).err, fw.dir.path("y\\n.elf: not an ELF file\n"));
    // Nor can a right-to-left override make a line read as another.
    const std::string reordered = fw.dir.write("\xE2\x80\xAE" "fle.elf", image);
    EXPECT_EQ(run_map({"--check", reordered}).out, fw.dir.path("\\u202efle.elf: all checks hold\n"));

    const std::string utf8 = fw.dir.write("\xC3\xA9.elf", image);
    EXPECT_EQ(json_query(fw.dir, run_map({"--json", utf8}).out, "d['image'].endswith('\\u00e9.elf')"), "True\n");
}

// An allocation that fails ends the run with one line; sanitizer builds
// cannot run under an address-space limit.
TEST(MapCommandLine, OutOfMemoryIsOneLine)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer needs more address space than the limit leaves";
#endif
    Firmware fw;
    Bytes head = fw.merge("plain");
    fw.dir.write("big.elf", head);
    ASSERT_EQ(tb::run_program("truncate", {"-s", "1600M", fw.dir.path("big.elf")}).status, 0);
    const tb::RunResult r = run_map_in_shell("ulimit -v 300000 && exec \"$0\" \"$@\"", {fw.dir.path("big.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Out of memory.\n");
}

// More modules than descriptors: the map reads them as elf-merge does, each
// module file opened again when it is needed. Under the sanitizers the
// module files take every descriptor, and UBSan's vptr check, which tests
// whether it can read an object's vtable through a pipe, finds none left
// and reports any virtual call as on an object of the wrong type.
TEST(MapCommandLine, MoreModulesThanDescriptorsMapAsWithoutALimit)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "UBSan's vptr check needs two descriptors that the module files take";
#endif
    tb::TempDir dir;
    std::vector<std::string> modules;
    for (uint32_t i = 0; i < 40; ++i)
        modules.insert(modules.end(), {"-u", dir.write("m" + std::to_string(i) + ".elf",
                                                       tb::typical(0x100000 + 0x1000 * i, i, 2 * i))});
    std::vector<std::string> merge = modules;
    merge.insert(merge.end(), {"-o", dir.path("fw.elf")});
    ASSERT_EQ(tb::run_tool(merge).status, 0);
    std::vector<std::string> args{dir.path("fw.elf"), "--"};
    args.insert(args.end(), modules.begin(), modules.end());
    const tb::RunResult free_run = run_map(args);
    ASSERT_EQ(free_run.status, 0) << free_run.err;
    // bash, which closes any descriptor it was handed down, and not sh.
    args.insert(args.begin(), {"-c",
                               "for fd in /proc/$$/fd/*; do fd=${fd##*/}; [ $fd -gt 2 ] && eval \"exec $fd>&-\"; "
                               "done; ulimit -n 8 && exec \"$0\" \"$@\"",
                               ELF_MERGE_MAP_PATH});
    const tb::RunResult limited = tb::run_program("bash", args);
    EXPECT_EQ(limited.status, 0) << limited.err;
    EXPECT_TRUE(limited.out == free_run.out) << limited.out.size() << " bytes, " << free_run.out.size() << " without a limit";
}

} // namespace
