// SPDX-License-Identifier: MIT
// Layout work on the example firmware: memory use by module, regions and
// budgets, the diff of two images, the SVG picture and the digests, each
// checked against readelf, rsvg-convert or python3 rather than the map.
#include "map_fixture.h"

#include <algorithm>
#include <cctype>

using namespace maptest;
using testing::HasSubstr;

namespace {

// Sums the allocatable sections that readelf -SW lists for each module
// (argv[3:], as letter and file), a raw image being one executable section,
// and compares them with the usage rows of the JSON with modules (argv[1])
// and per slot without (argv[2]), where ka1 and ka2 share one row.
const char* usage_from_readelf = R"(
import json, os, subprocess, sys
def sums(path):
    if path.endswith('.bin'):
        return [os.path.getsize(path), 0, 0, 0]
    s = [0, 0, 0, 0]  # code, rodata, data, bss
    listing = subprocess.run(['readelf', '-SW', path], capture_output=True, text=True, check=True).stdout
    for line in listing.splitlines():
        f = line.split(']', 1)[1].split() if line.strip().startswith('[') else []
        if len(f) == 10 and 'A' in f[6]:
            s[3 if f[1] == 'NOBITS' else 0 if 'X' in f[6] else 2 if 'W' in f[6] else 1] += int(f[4], 16)
    return s
modules = [(a, sums(f)) for a, f in zip(sys.argv[3::2], sys.argv[4::2])]
by_module = [[''.join(r['slots']), r['code'], r['rodata'], r['data'], r['bss'], r['total']] for r in json.load(open(sys.argv[1]))['usage']]
want = [[a] + s + [sum(s)] for a, s in modules]
print(by_module == want or (by_module, want))
slots = {}
for a, s in modules:
    row = slots.setdefault('uvEanWLKNbCxyPp' if a in 'pP' else a, [0, 0, 0, 0, 0])
    row[:] = [x + y for x, y in zip(row, s + [sum(s)])]
by_slot = {''.join(r['slots']): [r['code'], r['rodata'], r['data'], r['bss'], r['total']] for r in json.load(open(sys.argv[2]))['usage']}
print(by_slot == slots or (by_slot, slots))
)";

TEST(MapLayout, UsageByModuleAndBySlotEqualsTheSectionsReadelfLists)
{
    Example fw;
    const tb::RunResult with = fw.map({"--json"});
    const tb::RunResult without = run_map({"--json", fw.image});
    ASSERT_EQ(with.status + without.status, 0) << with.err << without.err;
    std::vector<std::string> args{fw.dir.write("with.json", Bytes(with.out.begin(), with.out.end())),
                                  fw.dir.write("without.json", Bytes(without.out.begin(), without.out.end()))};
    const std::vector<std::string> options = Example::module_options();
    for (size_t i = 0; i + 1 < options.size(); i += 2)
        if (options[i] != "-s" && options[i] != "-z")
            args.insert(args.end(), {options[i].substr(1), options[i + 1]});
    EXPECT_EQ(python(usage_from_readelf, args), "True\nTrue\n");
    EXPECT_EQ(json_query(fw.dir, with.out, "[r['pid'] for r in d['usage']]"), "[0, 1, 2, 3, 7, 14, 19, None, None]\n");
    EXPECT_EQ(json_query(fw.dir, without.out, "[r['slots'] for r in d['usage']]"),
              "[['k'], ['e'], ['f'], ['d'], ['u', 'v', 'E', 'a', 'n', 'W', 'L', 'K', 'N', 'b', 'C', 'x', 'y', 'P', 'p'], "
              "['c'], ['S'], ['F']]\n");
    EXPECT_THAT(fw.map({}).out,
                HasSubstr("Memory use by module: 9\n"
                          "  slot  pid  code        rodata      data        bss         total       file\n"
                          "  k     0    4980        752         8           1052        6792        " +
                          Example::module("kernel.elf") + "\n"));
}

// zu's four segments fill [0x30000, 0x30558) without a gap; the load ranges
// run from ka1 at 0x3400 to the end of ka2 at 0x1300000.
TEST(MapLayout, RegionsFailCheckOneByteTooSmallAndPassExact)
{
    Example fw;
    const std::vector<std::string> run{"--region", "low=0:30000", "--region", "high=40000:12C0000"};
    const auto regions = [&](const std::string& zu, const std::string& flash) {
        std::vector<std::string> r = run;
        r.insert(r.end(), {"--region", "zu=30000:" + zu, "--load-region", "flash=3400:" + flash});
        return r;
    };
    const std::string zu_bss = "segment 18 (section 4 (.bss) of " + Example::module("zu.elf") + ")";
    const std::string ka2 = "segment 30 (raw image " + Example::module("ka2.bin") + ")";
    struct Case {
        std::vector<std::string> regions;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {regions("558", "12FCC00"), 0, ""},
        {regions("557", "12FCC00"), 1,
         fw.image + ": " + zu_bss + ": run range [0x000302d0, 0x00030558) runs past the end of run region zu "
                    "[0x00030000, 0x00030557)\n" +
             fw.image + ": run region zu [0x00030000, 0x00030557) is over budget: " + zu_bss +
             " brings its use to 1368 bytes, more than its 1367\n"},
        {regions("558", "12FCBFF"), 1,
         fw.image + ": " + ka2 + ": load range [0x012fffe0, 0x01300000) runs past the end of load region flash "
                    "[0x00003400, 0x012fffff)\n"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> flags{"--check"};
        flags.insert(flags.end(), c.regions.begin(), c.regions.end());
        const tb::RunResult r = fw.map(flags);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
    const std::string table = fw.map(regions("558", "12FCC00")).out;
    EXPECT_THAT(table, HasSubstr("  zu      run   0x00030000  1368        1368        100.00%\n"
                                 "  flash   load  0x00003400  12040       19909632    0.06%\n"));
    EXPECT_EQ(json_query(fw.dir, fw.map({"--json", "--region", "zu=30000:557"}).out, "d['regions']"),
              "[{'name': 'zu', 'kind': 'run', 'start': 196608, 'size': 1367, 'used': 1368, 'overflow': 1}]\n");
    // The plain map marks the overflow as a linker does, and still succeeds.
    const tb::RunResult over = fw.map({"--region", "zu=30000:557"});
    EXPECT_EQ(over.status, 0);
    EXPECT_THAT(over.out, HasSubstr("  zu      run   0x00030000  1368        1367        100.07%  overflowed by 1 bytes\n"));
}

// A linker script's units: decimal with K or M, the same regions as in hex.
TEST(MapLayout, RegionsInKAndMEqualTheirHexForms)
{
    Example fw;
    const tb::RunResult units =
        fw.map({"--region", "RAM=0:384k", "--region", "HIGH=15M:5m", "--load-region", "FLASH=0:20M"});
    const tb::RunResult hex =
        fw.map({"--region", "RAM=0:60000", "--region", "HIGH=F00000:500000", "--load-region", "FLASH=0:1400000"});
    EXPECT_EQ(units.status, 0) << units.err;
    EXPECT_EQ(units.out, hex.out);
    EXPECT_THAT(units.out, HasSubstr("  RAM     run   0x00000000  13584       393216      3.45%\n"));
}

// quenlor's .data grown by 4 bytes now touches its .bss: the two share one
// segment, and the image one program header less.
TEST(MapLayout, DiffListsWhatChangedWithDiffsExitStatus)
{
    Example fw;
    Bytes quenlor = tb::read_file(Example::module("quenlor.elf"));
    tb::put32(quenlor, tb::get32(quenlor, tb::E_SHOFF) + 40 * 3 + tb::SH_SIZE, 0x38);
    const std::string grown_module = fw.dir.write("quenlor.elf", quenlor);
    std::vector<std::string> grown_options = Example::module_options(grown_module);
    const std::string grown = fw.dir.path("grown.elf");
    grown_options.insert(grown_options.end(), {"-o", grown});
    ASSERT_EQ(tb::run_tool(grown_options).status, 0);
    grown_options.resize(grown_options.size() - 2);

    std::vector<std::string> diff{"--diff", fw.image, grown, "--"};
    diff.insert(diff.end(), grown_options.begin(), grown_options.end());
    const tb::RunResult r = run_map(diff);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "header: e_phnum 31 -> 30\n"
                     "Shared Data segment: file_size 0x4dc -> 0x4bc (-32)\n"
                     "segment 9 (section 3 (.data) of " + grown_module + "): file_size 0x34 -> 0x38 (+4), "
                     "memory_size 0x34 -> 0x340 (+780)\n"
                     "segment 10 (slot e) removed: vaddr 0x00010318, paddr 0x00010318, file_size 0x0, "
                     "memory_size 0x308, flags 0x00100006 (RW-)\n"
                     "Loaded: 0x2f08 -> 0x2eec bytes from the file (-28), 0xc078 -> 0xc07c bytes of memory (+4)\n");
    diff.insert(diff.begin(), "--json");
    EXPECT_EQ(json_query(fw.dir, run_map(diff).out,
                         "d['identical'], [(s['change'], s['old_index'], s['new_index']) for s in d['segments']], "
                         "d['segments'][0]['fields'][0]"),
              "False [('changed', 9, 9), ('removed', 10, None)] {'field': 'file_size', 'old': 52, 'new': 56}\n");

    const tb::RunResult same = run_map({"--diff", fw.image, fw.image});
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(same.out + same.err, "");

    Bytes flipped = tb::read_file(fw.image);
    flipped.at(0x614 + 0x10) ^= 1; // the kernel's .text, run at 0x8000
    const tb::RunResult bytes = run_map({"--diff", fw.image, fw.dir.write("flipped.elf", flipped)});
    EXPECT_EQ(bytes.status, 1);
    EXPECT_THAT(bytes.out, HasSubstr("segment 4 (slot k): 1 byte differs, the first at 0x00008010\n"));
}

TEST(MapLayout, DiffAgainstThePlainImageListsModeAndNoteAndTroubleIsStatus2)
{
    Example fw;
    const std::string plain = fw.dir.path("plain.elf");
    ASSERT_EQ(tb::run_program("env", {std::string("ELF_MERGE=") + ELF_MERGE_PATH,
                                      std::string(EXAMPLE_DIR) + "/merge.sh", "plain", plain})
                  .status,
              0);
    const tb::RunResult r = run_map({"--diff", fw.image, plain});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.out, HasSubstr("header: e_entry 0x00008000 -> 0x00010000, e_phnum 31 -> 25\nmode: kernel -> plain\n"
                                 "Shared Data segment: address 0x00f00000 -> none, memory_size 0x8000 -> none, "
                                 "file_size 0x4dc -> none\n"
                                 "note: pid 1 removed: entry 0x00010000, priority 10, stack_size 0x300, "
                                 "stack_address 0x00010320\n"));
    EXPECT_THAT(r.out, HasSubstr("\nnote: pid 19 removed: "));
    EXPECT_THAT(r.out, HasSubstr("\nsegment 4 (slot k) removed: vaddr 0x00008000, "));

    // Every kind of trouble, elf-merge's own refusal of a module included.
    const std::string missing = fw.dir.path("none.elf");
    const std::pair<std::vector<std::string>, std::string> troubles[] = {
        {{"--diff", fw.image, missing}, missing + ": cannot open -- No such file or directory\n"},
        {{"--diff", fw.image, plain, "--", "-e", missing},
         "Error opening file " + missing + " -- No such file or directory\n"},
        {{"--diff", fw.image}, "elf-merge-map: --diff compares one OLD image with one NEW image\n"}};
    for (const auto& [args, err] : troubles) {
        const tb::RunResult t = run_map(args);
        EXPECT_EQ(t.status, 2) << t.err;
        EXPECT_EQ(t.err.substr(0, err.size()), err);
    }
}

// Parses the SVG (argv[1]) with python3's XML parser and counts its bands
// against the LOAD entries readelf lists for the image (argv[2]).
const char* svg_from_readelf = R"(
import subprocess, sys, xml.etree.ElementTree as ET
svg = ET.parse(sys.argv[1]).getroot()
ns = '{http://www.w3.org/2000/svg}'
bands = [g for g in svg.iter(ns + 'g') if g.get('class') == 'segment']
loads = subprocess.run(['readelf', '-lW', sys.argv[2]], capture_output=True, text=True, check=True).stdout
print(len(bands), sum(line.split()[:1] == ['LOAD'] for line in loads.splitlines()))
print(all(g.find(ns + 'title') is not None for g in bands),
      [e.tag for e in svg.iter() if e.tag.endswith(('script', 'image', 'a', 'style'))],
      [k for e in svg.iter() for k in e.attrib if 'href' in k])
)";

TEST(MapLayout, SvgRendersWithoutWarningAndHasOneBandPerLoadSegment)
{
    Example fw;
    const std::string svg = fw.dir.path("map.svg");
    const tb::RunResult r = fw.map({"--svg", svg});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(python(svg_from_readelf, {svg, fw.image}), "29 29\nTrue [] []\n");
    const std::string png = fw.dir.path("map.png");
    const tb::RunResult render = tb::run_program("rsvg-convert", {svg, "-o", png});
    EXPECT_EQ(render.status, 0);
    EXPECT_EQ(render.out + render.err, "");
    EXPECT_EQ(tb::slice(tb::read_file(png), 0, 4), (Bytes{0x89, 'P', 'N', 'G'}));
}

// Names come from untrusted modules: the picture must stay XML that parses,
// with each name escaped once, as the text map shows it.
TEST(MapLayout, SvgStaysValidXmlWhateverNamesHold)
{
    tb::TempDir dir;
    tb::Module m = tb::typical(0x2000, 1, 0x100);
    m.sections[0].name = std::string("a<b&\"c\n\xff\xEF\xBF\xBE\\");
    const auto [mod, image] = merge_alone(dir, m);
    const std::string svg = dir.path("map.svg");
    ASSERT_EQ(run_map({"--svg", svg, image, "--", "-e", mod}).status, 0);
    EXPECT_EQ(python("import sys, xml.etree.ElementTree as ET\n"
                     "g = next(g for g in ET.parse(sys.argv[1]).iter('{http://www.w3.org/2000/svg}g') "
                     "if g.get('class') == 'segment')\n"
                     "print(g.find('{http://www.w3.org/2000/svg}text').text)",
                     {svg}),
              "m.elf a<b&\"c\\n\\xff\\xef\\xbf\\xbe\\\\  0x00002000-0x00002010\n");
}

// Digests of each segment's file bytes, from the program headers as
// python3 reads them, and of the whole file.
const char* digests_from_hashlib = R"(
import hashlib, json, struct, sys
data = open(sys.argv[1], 'rb').read()
phoff, = struct.unpack_from('>I', data, 28)
phnum, = struct.unpack_from('>H', data, 44)
want = []
for i in range(phnum):
    _, offset, _, _, filesz = struct.unpack_from('>5I', data, phoff + 32 * i)
    want.append(hashlib.sha256(data[offset:offset + filesz]).hexdigest() if filesz else '')
d = json.load(open(sys.argv[2]))
print([s['sha256'] for s in d['segments']] == want, d['sha256'] == hashlib.sha256(data).hexdigest())
print(hashlib.sha256(data).hexdigest())
)";

TEST(MapLayout, DigestsEqualHashlibsAndCheckComparesTheImagesDigest)
{
    Example fw;
    const std::string json = fw.map({"--json"}).out;
    const std::string report = fw.dir.write("map.json", Bytes(json.begin(), json.end()));
    const std::string out = python(digests_from_hashlib, {fw.image, report});
    ASSERT_EQ(out.substr(0, 10), "True True\n");
    const std::string digest = out.substr(10, 64);
    EXPECT_THAT(fw.map({}).out, testing::EndsWith("\nSHA-256 of the image: " + digest + "\n"));

    std::string upper = digest, wrong = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    wrong[63] = wrong[63] == '0' ? '1' : '0';
    for (const auto& [given, status] : {std::pair{digest, 0}, {upper, 0}, {wrong, 1}}) {
        const tb::RunResult r = run_map({"--check", "--sha256", given, fw.image});
        EXPECT_EQ(r.status, status);
        EXPECT_EQ(r.err, status ? fw.image + ": SHA-256 is " + digest + ", expected " + wrong + "\n" : "");
    }
}

} // namespace
