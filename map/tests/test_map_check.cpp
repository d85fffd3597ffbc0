// SPDX-License-Identifier: MIT
// --check on good images of every mode, on images broken one fault at a
// time, and the parser on input that is not an image at all.
#include "map.h"
#include "map_fixture.h"

#include <sstream>

using namespace maptest;
using testing::HasSubstr;

namespace {

// File offsets in the kernel-mode image of Firmware: 12 program headers
// from 52, the note at 436, section data from 528 (0x210).
constexpr uint32_t NOTE = 436;
constexpr uint32_t phdr_at(uint32_t i) { return 52 + 32 * i; }

// Every field of an image, as its offset, width and the name the comparison
// gives it: the header's, each program header's words, the note's words and
// a byte in the middle of each section-built segment's file bytes.
struct PLACE {
    uint32_t offset, width;
    std::string name;
};

std::vector<PLACE> single_field_changes(const Bytes& image)
{
    std::vector<PLACE> places;
    for (uint32_t i = 0; i < 16; ++i)
        places.push_back({i, 1, "header e_ident[" + std::to_string(i) + "]"});
    const std::pair<uint32_t, const char*> header[] = {
        {16, "e_type"},    {18, "e_machine"},   {20, "e_version"}, {24, "e_entry"},     {28, "e_phoff"},
        {32, "e_shoff"},   {36, "e_flags"},     {40, "e_ehsize"},  {42, "e_phentsize"}, {44, "e_phnum"},
        {46, "e_shentsize"}, {48, "e_shnum"},   {50, "e_shstrndx"}};
    for (const auto& [offset, name] : header)
        places.push_back({offset, offset < 20 || offset >= 40 ? 2u : 4u, std::string("header ") + name});
    const char* words[] = {"p_type", "p_offset", "p_vaddr", "p_paddr", "p_filesz", "p_memsz", "p_flags", "p_align"};
    const uint16_t phnum = tb::get16(image, 44);
    for (uint32_t i = 0; i < phnum; ++i) {
        const uint32_t at = 52 + 32 * i, type = tb::get32(image, at), offset = tb::get32(image, at + 4),
                       filesz = tb::get32(image, at + 16);
        for (uint32_t w = 0; w < 8; ++w)
            places.push_back({at + 4 * w, 4, "segment " + std::to_string(i) + " " + words[w]});
        if (type == 4)
            for (uint32_t w = 0; w < filesz / 4; ++w)
                places.push_back({offset + 4 * w, 4, "note word " + std::to_string(w)});
        if (type == 1 && filesz > 0 && offset >= 52u + 32u * phnum)
            places.push_back({offset + filesz / 2, 1, "segment " + std::to_string(i) + " file byte"});
    }
    return places;
}

// A copy of image with the big-endian word at offset set to value.
Bytes with_word(const Bytes& image, uint32_t offset, uint32_t value)
{
    Bytes b = image;
    tb::put32(b, offset, value);
    return b;
}

// Writes bytes over the image and runs --check with or without modules.
tb::RunResult check_broken(const Firmware& fw, const Bytes& bytes, bool with_modules)
{
    fw.dir.write("out.elf", bytes);
    return fw.map({"--check"}, with_modules ? "kernel" : "");
}

TEST(MapCheck, ImagesOfEveryModePass)
{
    for (const std::string mode : {"plain", "kernel", "rm"}) {
        Firmware fw;
        fw.merge(mode);
        for (const bool with_modules : {false, true}) {
            const tb::RunResult r = fw.map({"--check"}, with_modules ? mode : "");
            EXPECT_EQ(r.status, 0) << mode << "\n" << r.err;
            EXPECT_EQ(r.err, "") << mode;
            EXPECT_EQ(r.out, fw.image + ": all checks hold\n");
        }
    }
}

TEST(MapCheck, AFlippedSectionByteIsFoundOnlyAgainstTheModules)
{
    Firmware fw;
    Bytes b = fw.merge("kernel");
    b.at(0x228 + 3) ^= 0xFF; // the -e module's .text, which holds 1, 2, 3, 4, ...
    EXPECT_EQ(check_broken(fw, b, false).status, 0);
    const tb::RunResult r = check_broken(fw, b, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fw.image + ": compared with elf-merge's output: segment 6 file byte 0x3 (section 1 (.text) of " +
                         fw.e + " at 0x00002003) is 0xfb, expected 0x04\n" + fw.image + ": section 1 (.text) of " +
                         fw.e + ": byte at 0x00002003 is 0xfb, expected 0x04\n");
}

TEST(MapCheck, ZeroFilledRangeThatIsNotZeroIsReported)
{
    Firmware fw;
    Bytes b = fw.merge("kernel");
    tb::put32(b, phdr_at(5) + 16, 4); // the kernel's .bss now takes 4 file bytes
    const tb::RunResult r = check_broken(fw, b, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(": section 3 (.bss) of " + fw.k +
                                 ": byte at 0x00001200 is 0x01, expected 0x00 (zero-filled)\n"));
}

// A section is compared with memory a range at a time, across entries: the
// kernel's .text is [0x1000, 0x1010) in segment 3, at file offset 0x210.
TEST(MapCheck, SectionBytesAreFoundWhereverAnEntryMapsThem)
{
    struct CASE {
        const char* what;
        std::vector<std::pair<uint32_t, uint32_t>> words; // offset, value
        std::string found, absent;
    };
    Firmware fw;
    const Bytes good = fw.merge("kernel");
    const CASE cases[] = {
        {"segment 3 ends halfway", {{phdr_at(3) + 16, 8}, {phdr_at(3) + 20, 8}},
         ": section 1 (.text) of " + fw.k + ": 0x00001008 is not loaded\n", "(.data)"},
        {"segment 4 maps the rest of .text instead of .data",
         {{phdr_at(3) + 16, 8}, {phdr_at(3) + 20, 8}, {phdr_at(4) + 4, 0x218}, {phdr_at(4) + 8, 0x1008},
          {phdr_at(4) + 12, 0x1008}},
         ": section 2 (.data) of " + fw.k + ": 0x00001100 is not loaded\n", "(.text)"},
    };
    for (const CASE& c : cases) {
        Bytes b = good;
        for (const auto& [offset, value] : c.words)
            tb::put32(b, offset, value);
        const tb::RunResult r = check_broken(fw, b, true);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_THAT(r.err, HasSubstr(c.found)) << c.what;
        EXPECT_THAT(r.err, testing::Not(HasSubstr(c.absent + " of " + fw.k + ": "))) << c.what;
    }
}

TEST(MapCheck, NoteValuesAreComparedWithTheModules)
{
    Firmware fw;
    Bytes b = fw.merge("kernel");
    tb::put32(b, NOTE + 12 + 40 + 20, 99); // second group, priority value
    const tb::RunResult r = check_broken(fw, b, true);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, fw.image +
                         ": compared with elf-merge's output: note word 18 (group 2 priority value) is 0x00000063, "
                         "expected 0x00000007\n" +
                         fw.image + ": note group 2 (" + fw.f + "): priority is 0x63, expected 0x7\n");

    // Checked against a resource-manager run, the kernel's note is short.
    Bytes good = fw.merge("kernel");
    fw.dir.write("out.elf", good);
    const tb::RunResult rm = fw.map({"--check"}, "rm");
    EXPECT_EQ(rm.status, 1);
    EXPECT_THAT(rm.err, HasSubstr(": mode: the note is that of kernel mode, but the module options give -r\n"));
    EXPECT_THAT(rm.err, HasSubstr(": note: describes 2 modules, expected 3\n"));
}

TEST(MapCheck, MalformedNoteIsOneLineInEveryMode)
{
    Firmware fw;
    Bytes b = fw.merge("kernel");
    tb::put32(b, NOTE + 12 + 16, 124); // first group, third tag
    fw.dir.write("out.elf", b);
    for (const std::vector<std::string>& flags : {std::vector<std::string>{}, {"--json"}, {"--check"}}) {
        const tb::RunResult r = fw.map(flags);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, fw.image + ": malformed note: group 1, pair 3 has tag 124, expected 125\n");
    }
    Bytes odd = fw.merge("kernel");
    tb::put32(odd, NOTE + 4, 84);
    EXPECT_EQ(check_broken(fw, odd, false).err, fw.image + ": malformed note: n_descsz 84 is not a multiple of 40\n");
}

TEST(MapCheck, LayoutFaultsAreEachOneLine)
{
    Firmware fw;
    const Bytes good = fw.merge("kernel");

    Bytes overlap = good;
    tb::put32(overlap, phdr_at(7) + 8, 0x2008); // the -e module's .data onto its .text
    EXPECT_THAT(check_broken(fw, overlap, false).err,
                HasSubstr(": segment 7 [0x00002008, 0x00002010) overlaps segment 6 [0x00002000, 0x00002010)\n"));

    Bytes into_sd = good;
    tb::put32(into_sd, phdr_at(11) + 8, 0x101000);
    EXPECT_THAT(check_broken(fw, into_sd, false).err,
                HasSubstr(": segment 11 [0x00101000, 0x00101040) overlaps segment 2 (Shared Data segment) "
                          "[0x00100000, 0x00102000)\n"));

    Bytes table = good;
    tb::put32(table, phdr_at(0) + 16, 352);
    EXPECT_EQ(check_broken(fw, table, false).err,
              fw.image + ": PT_PHDR entry: p_filesz (the whole table) is 352, expected 384\n");

    Bytes header = good;
    tb::put16(header, 48, 3);
    tb::put32(header, 32, 0x100);
    EXPECT_EQ(check_broken(fw, header, false).err,
              fw.image + ": header: e_shoff is 256, expected 0\n" + fw.image + ": header: e_shnum is 3, expected 0\n");

    Bytes sd = good;
    tb::put32(sd, phdr_at(2) + 16, 0x180); // the Shared Data segment without the note
    EXPECT_EQ(check_broken(fw, sd, false).err,
              fw.image + ": segment 2 (Shared Data segment): p_filesz (table and note) is 384, expected 476\n");
}

// Each fault an image can carry that elf-merge would never write; with the
// modules given, each line names the segment's module and section.
TEST(MapCheck, ImagesThatWouldNotBootAreCaught)
{
    Firmware fw;
    const Bytes good = fw.merge("kernel");
    const auto with = [&](uint32_t offset, uint32_t value) { return with_word(good, offset, value); };
    const std::string e_text = "section 1 (.text) of " + fw.e;
    struct Case {
        Bytes bytes;
        bool with_modules;
        std::string line;
    };
    const Case cases[] = {
        {with(phdr_at(6) + 24, 0x00100007), true,
         "segment 6: p_flags 0x00100007, expected 0x00100005 from " + e_text + " given as -e"},
        {with(phdr_at(6) + 12, 0x2100), true,
         "segment 6: " + e_text + " loads at 0x00002100, but its module stores it at 0x00002000"},
        {with(phdr_at(7) + 12, 0x2008), false,
         "segment 7: load range [0x00002008, 0x00002010) overlaps that of segment 6 [0x00002000, 0x00002010)"},
        {with(phdr_at(7) + 12, 0x2008), true,
         "segment 7 (section 2 (.data) of " + fw.e + "): load range [0x00002008, 0x00002010) overlaps that of "
         "segment 6 (" + e_text + ") [0x00002000, 0x00002010)"},
        {with(phdr_at(11) + 20, 0x80), true, "segment 11: [0x00003240, 0x00003280) holds no section of the given modules"},
    };
    for (const Case& c : cases) {
        const tb::RunResult r = check_broken(fw, c.bytes, c.with_modules);
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(fw.image + ": " + c.line + "\n"));
    }
}

// What only the comparison with elf-merge's output sees, or sees first:
// one case for each kind of place it names, and the new independent check
// of a segment of zero fill alone.
TEST(MapCheck, ComparisonWithElfMergeNamesTheFirstDifference)
{
    Firmware fw;
    const Bytes good = fw.merge("kernel");
    const auto with = [&](uint32_t offset, uint32_t value) { return with_word(good, offset, value); };
    Bytes appended = good;
    appended.push_back(0);
    const std::string compared = ": compared with elf-merge's output: ";
    struct Case {
        Bytes bytes;
        std::string lines; // the first lines of the report
    };
    const Case cases[] = {
        {with(36, 0x05000200), compared + "header e_flags is 0x05000200, expected 0x05000000\n"},
        {with(phdr_at(4) + 28, 0x14), compared + "segment 4 p_align is 0x00000014, expected 0x00000004\n"},
        {with(NOTE + 24, 0x2010), compared + "note word 6 (group 1 entry value) is 0x00002010, expected 0x00002000\n"},
        {appended, compared + "the file is 601 bytes long, expected 600\n"},
        // An image that cannot be read any more is still named by its field.
        {with(28, 0x44), compared + "header e_phoff is 0x00000044, expected 0x00000034\n"},
        {with(phdr_at(5) + 12, 0x1210), compared + "segment 5 p_paddr is 0x00001210, expected 0x00001200\n" +
                                            fw.image + ": segment 5: section 3 (.bss) of " + fw.k +
                                            " is zero-filled at 0x00001210, but its module stores it at 0x00001200\n"},
    };
    for (const Case& c : cases) {
        const tb::RunResult r = check_broken(fw, c.bytes, true);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(fw.image + c.lines, 0), 0u) << r.err;
    }
}

// Every single-field change of the example's images in its three modes
// fails the comparison, which names the field: each header field, each
// program header word moved by 0x10 (p_flags also with its slot bits
// flipped), each note word, a byte of each segment's file bytes, and a byte
// appended. Run in process: a few thousand images.
TEST(MapCheck, EverySingleFieldChangeOfTheExampleIsNamed)
{
    const std::pair<std::string, size_t> modes[] = {{"kernel", 395}, {"plain", 275}, {"rm", 365}};
    for (const auto& [mode, changes] : modes) {
        tb::TempDir dir;
        const std::string path = dir.path("fw.elf");
        const tb::RunResult merged = tb::run_program(
            "env", {std::string("ELF_MERGE=") + ELF_MERGE_PATH, std::string(EXAMPLE_DIR) + "/merge.sh", mode, path});
        ASSERT_EQ(merged.status, 0) << merged.err;
        std::vector<std::string> options = Example::module_options();
        if (mode != "kernel")
            options.erase(options.begin(), options.begin() + 2); // no -k
        if (mode == "plain")
            options.resize(options.size() - 4); // no -s, -z
        if (mode == "rm")
            options.push_back("-r");
        MODULE_SET set;
        ASSERT_EQ(load_modules(options, set), LINES{});
        const Bytes good = tb::read_file(path);
        ASSERT_EQ(compare_with_expected(good.data(), good.size(), set), LINES{}) << mode;

        size_t tried = 0;
        const auto expect_named = [&](const Bytes& changed, const std::string& name) {
            ++tried;
            EXPECT_THAT(compare_with_expected(changed.data(), changed.size(), set),
                        testing::ElementsAre(testing::HasSubstr(name)))
                << mode << ": " << name;
        };
        for (const auto& [offset, width, name] : single_field_changes(good))
            for (const uint32_t change : {0x10u, PROT_BITS})
                if (change == 0x10 || name.ends_with("p_flags")) {
                    Bytes b = good;
                    const uint32_t v = width == 4 ? tb::get32(b, offset) : width == 2 ? tb::get16(b, offset) : b[offset];
                    width == 4 ? tb::put32(b, offset, v ^ change)
                               : width == 2 ? tb::put16(b, offset, static_cast<uint16_t>(v ^ change))
                                            : void(b[offset] = static_cast<uint8_t>(v ^ change));
                    expect_named(b, name);
                }
        Bytes appended = good;
        appended.push_back(0);
        expect_named(appended, "bytes long");
        EXPECT_EQ(tried, changes) << mode;
        release_modules(set);
    }
}

TEST(MapCheck, ModulesLeftOutOrGivenWithAnotherLetterAreCaught)
{
    Firmware fw;
    fw.merge("kernel");
    const std::vector<std::string> base{"--check", fw.image, "--", "-k", fw.k, "-s", "100000", "-z", "2000"};
    const auto check = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        return run_map(args);
    };
    // -f left out: its three segments come from no given module.
    const tb::RunResult left_out = check({"-e", fw.e});
    EXPECT_EQ(left_out.status, 1);
    EXPECT_THAT(left_out.err, HasSubstr(": segment 9: [0x00003000, 0x00003010) holds no section of the given modules\n"));
    // -f's file given as -d: pid 3 and bits 0x00300000 instead of 2 and 0x00200000.
    const tb::RunResult swapped = check({"-e", fw.e, "-d", fw.f});
    EXPECT_EQ(swapped.status, 1);
    EXPECT_THAT(swapped.err, HasSubstr(": segment 9: p_flags 0x00200005, expected 0x00300005 from section 1 (.text) of " +
                                       fw.f + " given as -d\n"));
    EXPECT_THAT(swapped.err, HasSubstr(": note group 2 (" + fw.f + "): pid is 0x2, expected 0x3\n"));
}

TEST(MapCheck, ProgramHeaderCountOfPnXnumIsCaughtFromTheImageAlone)
{
    Firmware fw;
    const Bytes good = fw.merge("plain");
    Bytes b(good.begin(), good.begin() + 52); // the header, then a table of PT_NULL entries
    tb::put16(b, 44, 0xFFFF);
    b.resize(52 + 32 * 0xFFFF);
    EXPECT_THAT(check_broken(fw, b, false).err,
                HasSubstr(fw.image + ": header: e_phnum is 65535 (PN_XNUM); at most 65534 program headers fit\n"));
}

TEST(MapCheck, TruncatedImageNamesEverySegmentCutOffUnderCheckAndOneOtherwise)
{
    Firmware fw;
    Bytes b = fw.merge("kernel");
    b.resize(0x224);
    fw.dir.write("out.elf", b);
    const std::string first = fw.image +
        ": truncated: segment 4's file bytes [0x00000220, 0x00000228) run past the end of the file (548 bytes)\n";
    const tb::RunResult report = fw.map({});
    EXPECT_EQ(report.status, 1);
    EXPECT_EQ(report.err, first);
    const tb::RunResult check = fw.map({"--check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.err.rfind(first, 0), 0u) << check.err;
    EXPECT_THAT(check.err, HasSubstr(": truncated: segment 9's file bytes [0x00000240, 0x00000250)"));
}

TEST(MapCheck, InputThatIsNoImageIsRefusedWithOneLine)
{
    tb::TempDir dir;
    Bytes elf = tb::build(tb::typical(0x1000, 0, 0)).bytes;
    struct Case {
        Bytes bytes;
        std::string line;
    };
    Bytes little = elf;
    little[5] = 1;
    Bytes far = elf;
    tb::put32(far, tb::E_PHOFF, 0xFFFFFFF0);
    tb::put16(far, tb::E_PHNUM, 2);
    const Case cases[] = {
        {Bytes{'#', '!', '/', 'b', 'i', 'n'}, "not an ELF file"},
        {Bytes(elf.begin(), elf.begin() + 30), "truncated: 30 bytes, shorter than the 52-byte ELF header"},
        {little, "not a big-endian ELF file (EI_DATA 1)"},
        {far, "truncated: the program header table (offset 0xfffffff0, 2 entries) runs past the end of the file"},
    };
    for (const Case& c : cases) {
        const std::string path = dir.write("in.elf", c.bytes);
        const tb::RunResult r = run_map({"--check", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(path + ": " + c.line, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    const tb::RunResult missing = run_map({dir.path("none.elf")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, dir.path("none.elf") + ": cannot open -- No such file or directory\n");
}

// Every prefix of a real image, read, checked and reported in process: with
// the sanitizer build any read outside the buffer fails here.
TEST(MapParser, EveryPrefixOfAnImageIsReadOrRefusedWithoutStrayReads)
{
    Firmware fw;
    const Bytes full = fw.merge("kernel");
    size_t refused = 0;
    for (size_t n = 0; n <= full.size(); ++n) {
        const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
        MAP_IMAGE image;
        if (!parse_image(prefix.data(), prefix.size(), image).empty()) {
            ++refused;
            continue;
        }
        std::ostringstream out;
        check_image(image, MODULE_SET{});
        write_text_report(out, "x", image, MODULE_SET{});
        write_json_report(out, "x", image, MODULE_SET{});
    }
    // Only the whole image holds every segment's bytes.
    EXPECT_EQ(refused, full.size());
}

} // namespace
