// SPDX-License-Identifier: MIT
// -O: flash images written from the load ranges, checked by hand on a small
// image, and read back by srecord's srec_cat on the example firmware; and
// the rule of every file the map writes.
#include "map.h"
#include "map_fixture.h"

#include <sstream>
#include <unistd.h>

using namespace maptest;
using testing::HasSubstr;

namespace {

// Two ranges with a gap: 20 bytes (0x01 to 0x14) loaded at 0x1FFF8, across
// the 64 KiB boundary, and AA BB CC loaded at 0x20020 though run at
// 0x30000. Their entries are out of address order, and the zero-filled
// entry stores nothing.
const uint8_t two_ranges_bytes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,   11,   12,
                                    13, 14, 15, 16, 17, 18, 19, 20, 0xAA, 0xBB, 0xCC};

MAP_IMAGE small_image(std::vector<Elf32_Phdr> phdrs, uint32_t entry)
{
    MAP_IMAGE image;
    image.bytes = two_ranges_bytes;
    image.size = sizeof two_ranges_bytes;
    image.ehdr.e_entry = entry;
    image.phdrs = std::move(phdrs);
    return image;
}

const Elf32_Phdr bss_only{PT_LOAD, 23, 0x40000, 0x40000, 0, 0x100, PF_R | PF_W, 4};
const MAP_IMAGE two_ranges = small_image({{PT_LOAD, 20, 0x30000, 0x20020, 3, 3, PF_R, 4},
                                          {PT_LOAD, 0, 0x1FFF8, 0x1FFF8, 20, 0x40, PF_R | PF_X, 4},
                                          bss_only},
                                         0x00020001);
const MAP_IMAGE nothing_stored = small_image({bss_only}, NO_ENTRY);

// The gaps of a binary hold 0xFF.
std::string flash_text(const MAP_IMAGE& image, FLASH_FORMAT format)
{
    EXPECT_EQ(flash_refusal(image), "");
    std::ostringstream out;
    write_flash_image(out, image, {format, 0xFF, "dir/two.elf"});
    return out.str();
}

TEST(MapFlash, EachFormatIsWrittenAsCheckedByHand)
{
    struct Case {
        const MAP_IMAGE& image;
        FLASH_FORMAT format;
        std::string expected;
    };
    const Case cases[] = {
        {two_ranges, FLASH_FORMAT::binary,
         std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10\x11\x12\x13\x14") +
             std::string(20, '\xFF') + "\xAA\xBB\xCC"},
        {two_ranges, FLASH_FORMAT::ihex,
         ":020000040001F9\n"
         ":08FFF8000102030405060708DD\n"
         ":020000040002F8\n"
         ":0C000000090A0B0C0D0E0F101112131446\n"
         ":03002000AABBCCAC\n"
         ":0400000500020001F4\n"
         ":00000001FF\n"},
        {two_ranges, FLASH_FORMAT::srec,
         "S00A000074776F2E656C6636\n"
         "S3150001FFF80102030405060708090A0B0C0D0E0F106A\n"
         "S3090002000811121314A2\n"
         "S30800020020AABBCCA4\n"
         "S5030003F9\n"
         "S70500020001F7\n"},
        {nothing_stored, FLASH_FORMAT::binary, ""},
        {nothing_stored, FLASH_FORMAT::ihex, ":00000001FF\n"},
        {nothing_stored, FLASH_FORMAT::srec, "S5030000FC\nS70500000000FA\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(flash_text(c.image, c.format), c.expected) << static_cast<int>(c.format);
}

// The example's kernel-mode image: its ranges lie from 0x3400 to 0x1300000,
// vo's .data is stored at 0x20100 though it runs at 0x28000, and the Shared
// Data segment's table and note are stored at 0xF00000.
struct ExampleFlash : Example {
    std::string export_as(const std::string& format, std::vector<std::string> extra = {}) const
    {
        const std::string out = dir.path("fw." + format);
        std::vector<std::string> args{"-O", format};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {image, out});
        const tb::RunResult r = run_map(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out + r.err, "");
        return out;
    }
};

// Every stored range at its load address less the lowest one, as the
// image's own program headers give them.
void expect_ranges_in_binary(const tb::Image& elf, const Bytes& binary)
{
    uint32_t lowest = UINT32_MAX;
    for (const tb::Phdr& p : elf.phdrs)
        if (p.type == PT_LOAD && p.filesz > 0)
            lowest = std::min(lowest, p.paddr);
    for (const tb::Phdr& p : elf.phdrs) {
        if (p.type != PT_LOAD || p.filesz == 0)
            continue;
        EXPECT_EQ(tb::slice(binary, p.paddr - lowest, p.paddr - lowest + p.filesz),
                  tb::slice(elf.bytes, p.offset, p.offset + p.filesz))
            << std::hex << p.paddr;
    }
    EXPECT_EQ(lowest, 0x3400u);
    EXPECT_EQ(binary.size(), 0x1300000u - lowest);
}

TEST(MapFlash, ExampleFirmwareRoundTripsThroughSrecCatByteForByte)
{
    ExampleFlash fw;
    const std::string binary = fw.export_as("binary", {"--gap-fill", "0xA5"});
    expect_ranges_in_binary(tb::read_image(fw.image), tb::read_file(binary));
    for (const auto& [format, reader] : {std::pair{"ihex", "-Intel"}, {"srec", "-Motorola"}}) {
        const std::string file = fw.export_as(format);
        const std::string back = fw.dir.path(std::string(format) + ".bin");
        const tb::RunResult r = tb::run_program(
            "srec_cat", {"(", file, reader, "-fill", "0xA5", "-over", file, reader, ")", "-offset", "-",
                         "-minimum-addr", file, reader, "-o", back, "-Binary"});
        EXPECT_EQ(r.status, 0) << format;
        EXPECT_EQ(r.out + r.err, "") << format;
        EXPECT_EQ(tb::read_file(back), tb::read_file(binary)) << format;
        EXPECT_THAT(tb::run_program("srec_info", {file, reader}).out, HasSubstr("Execution Start Address: 00008000\n"));
    }
}

// The bytes loaded in [argv[2], argv[3]) of the image argv[1], as python3
// reads its program headers, each at its load address less the start, the
// gaps 0xA5, up to the last byte loaded; whether the binary argv[4] holds
// them, and how many they are.
const char* region_from_python = R"(
import struct, sys
data = open(sys.argv[1], 'rb').read()
start, end = int(sys.argv[2], 16), int(sys.argv[3], 16)
phoff, = struct.unpack_from('>I', data, 28)
phnum, = struct.unpack_from('>H', data, 44)
device, last = bytearray(b'\xa5' * (end - start)), 0
for i in range(phnum):
    p_type, offset, _, paddr, filesz = struct.unpack_from('>5I', data, phoff + 32 * i)
    low, high = max(paddr, start), min(paddr + filesz, end)
    if p_type == 1 and low < high:
        device[low - start:high - start] = data[offset + low - paddr:offset + high - paddr]
        last = max(last, high - start)
print(device[:last] == open(sys.argv[4], 'rb').read(), last)
)";

// One memory device: the binary starts at the region's start, in a gap
// before the kernel's .text or inside it, and segments are cut at the
// region's edges. A region without a byte to store is refused.
TEST(MapFlash, LoadRegionWritesItsOwnBytesFromItsStart)
{
    ExampleFlash fw;
    struct Region {
        std::string option, start, end, held;
    };
    const Region regions[] = {{"ROM=7F00:1000", "7F00", "8F00", "True 4096\n"},
                              {"ROM=8800:A00", "8800", "9200", "True 2560\n"}};
    for (const Region& r : regions) {
        const std::string binary = fw.export_as("binary", {"--gap-fill", "0xA5", "--load-region", r.option});
        EXPECT_EQ(python(region_from_python, {fw.image, r.start, r.end, binary}), r.held) << r.option;
    }

    const std::string out = fw.dir.path("none.bin");
    const std::pair<std::vector<std::string>, std::string> refusals[] = {
        {{"-O", "ihex", "--load-region", "SD=F08000:1000", fw.image, out},
         fw.image + ": nothing to store in load region SD [0x00f08000, 0x00f09000)\n"},
        {{"-O", "binary", "--region", "LOW=8800:A00", fw.image, out},
         "elf-merge-map: -O takes --load-region, not --region\n"},
        {{"-O", "binary", "--load-region", "A=0:10", "--load-region", "B=10:10", fw.image, out},
         "elf-merge-map: -O takes one --load-region\n"},
    };
    for (const auto& [args, err] : refusals) {
        const tb::RunResult r = run_map(args);
        EXPECT_EQ(r.status, 1) << err;
        EXPECT_EQ(r.err.substr(0, err.size()), err);
        EXPECT_FALSE(tb::file_exists(out)) << err;
    }
}

// A refused export leaves no OUTPUT behind; a failed write says so.
TEST(MapFlash, RefusalsAndWriteErrorsAreOneLineWithStatus1)
{
    Firmware fw;
    const Bytes good = fw.merge("kernel");
    Bytes overlap = good, past_4g = good;
    tb::put32(overlap, 52 + 32 * 6 + 12, 0x1008); // -e's .text stored onto the kernel's
    tb::put32(past_4g, 52 + 32 * 6 + 12, 0xFFFFFFF8);
    const std::string out = fw.dir.path("flash.out");
    struct Case {
        Bytes image;
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {overlap, {"-O", "binary", fw.image, out},
         fw.image + ": cannot store segment 6: its load range [0x00001008, 0x00001018) overlaps that of segment 3 "
                    "[0x00001000, 0x00001010)\n"},
        {past_4g, {"-O", "srec", fw.image, out},
         fw.image + ": cannot store segment 6: its load range [0xfffffff8, 0x100000008) passes the 32-bit address "
                    "space\n"},
        {good, {"-O", "hex", fw.image, out}, "elf-merge-map: -O hex: the formats are binary, ihex and srec\n"},
        {good, {"-O", "binary", "--gap-fill", "256", fw.image, out},
         "elf-merge-map: --gap-fill 256: not a byte (0 to 255, or 0x00 to 0xFF)\n"},
        {good, {"-O", "ihex", "--gap-fill", "0xFF", fw.image, out}, "elf-merge-map: --gap-fill needs -O binary\n"},
        {good, {"--check", "-O", "ihex", fw.image, out},
         "elf-merge-map: -O takes neither --json, --check nor module options\n"},
        {good, {"-O", "ihex", fw.image}, "elf-merge-map: -O writes one IMAGE to one OUTPUT\n"},
    };
    for (const Case& c : cases) {
        fw.dir.write("out.elf", c.image);
        const tb::RunResult r = run_map(c.args);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(r.err.substr(0, c.err.size()), c.err);
        EXPECT_FALSE(tb::file_exists(out)) << c.err;
    }
    for (const std::string format : {"binary", "ihex", "srec"}) {
        const tb::RunResult full = run_map({"-O", format, fw.image, "/dev/full"});
        EXPECT_EQ(full.status, 1) << format;
        EXPECT_EQ(full.err, "/dev/full: cannot write -- No space left on device\n");
    }
    // Cut short by a 512-byte file size limit, whose signal does not end the
    // run, a regular OUTPUT is removed, also when it is named through a link.
    const std::string link = fw.dir.path("flash.link");
    ASSERT_EQ(::symlink(out.c_str(), link.c_str()), 0);
    for (const std::string& named : {out, link}) {
        const tb::RunResult cut =
            run_map_in_shell("ulimit -f 1 && exec \"$0\" \"$@\"", {"-O", "srec", fw.image, named});
        EXPECT_EQ(cut.status, 1);
        EXPECT_EQ(cut.err, named + ": cannot write -- File too large\n");
        EXPECT_FALSE(tb::file_exists(out)) << named;
    }
}

// A file the map writes is never one it reads, however named: refused with
// one line before a byte is written. Cut short, a write leaves the previous
// file as it was. Nothing in the directory changes in any of these runs.
TEST(MapOutputFiles, NeverAnInputAndReplacedWholeOrNotAtAll)
{
    Firmware fw;
    fw.merge("kernel");
    const std::string& img = fw.image;
    const std::string link = fw.dir.path("img.link"), hard = fw.dir.path("img.hard"), gdb = fw.dir.path("old.gdb"),
                      svg = fw.dir.path("old.svg");
    ASSERT_EQ(::symlink(img.c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(img.c_str(), hard.c_str()), 0);
    std::vector<std::string> modules{"--"};
    for (const std::string& o : fw.options("kernel"))
        modules.push_back(o);
    const auto with_modules = [&](std::vector<std::string> args) {
        args.insert(args.end(), modules.begin(), modules.end());
        return args;
    };
    ASSERT_EQ(run_map(with_modules({"--gdb", gdb, img})).status, 0);
    ASSERT_EQ(run_map({"--svg", svg, img}).status, 0);
    const std::string limited = "ulimit -f 1 && exec \"$0\" \"$@\"";
    struct Case {
        std::string shell; // empty: run directly
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"", with_modules({"--gdb", fw.k, img}), fw.k + ": not written -- it is the input file " + fw.k + "\n"},
        {"", with_modules({"--gdb", img, img}), img + ": not written -- it is the image " + img + "\n"},
        {"", {"--svg", img, img}, img + ": not written -- it is the image " + img + "\n"},
        {"", with_modules({"--svg", fw.e, img}), fw.e + ": not written -- it is the input file " + fw.e + "\n"},
        {"", {"-O", "ihex", img, img}, img + ": not written -- it is the image " + img + "\n"},
        {"", {"-O", "ihex", img, link}, link + ": not written -- it is the image " + img + "\n"},
        {"", {"-O", "binary", img, hard}, hard + ": not written -- it is the image " + img + "\n"},
        {limited, with_modules({"--gdb", gdb, img}), gdb + ": cannot write -- File too large\n"},
        {limited, {"--svg", svg, img}, svg + ": cannot write -- File too large\n"},
    };
    for (const Case& c : cases) {
        const auto before = tb::directory_snapshot(fw.dir.path(""));
        const tb::RunResult r = c.shell.empty() ? run_map(c.args) : run_map_in_shell(c.shell, c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_EQ(tb::directory_snapshot(fw.dir.path("")), before) << c.err;
    }
}

// A device or a FIFO is written in place and stays what it was; a link is
// written through, to the file it leads to, and stays a link.
TEST(MapOutputFiles, DeviceAndFifoAreWrittenInPlaceAndALinkThrough)
{
    Firmware fw;
    fw.merge("plain");
    ASSERT_EQ(run_map({"-O", "binary", fw.image, fw.dir.path("direct.bin")}).status, 0);
    const Bytes direct = tb::read_file(fw.dir.path("direct.bin"));
    for (const tb::InPlaceTarget& t : tb::in_place_targets(fw.dir)) {
        const tb::RunResult r = tb::run_writing_to(fw.dir, t, ELF_MERGE_MAP_PATH, {"-O", "binary", fw.image, t.name});
        EXPECT_EQ(r.err, "") << t.name;
        EXPECT_EQ(r.status, 0) << t.name;
        EXPECT_EQ(tb::directory_snapshot(fw.dir.path("")).at(t.name), t.entry) << t.name;
        if (!t.read_back.empty()) {
            EXPECT_EQ(tb::read_file(fw.dir.path(t.read_back)), direct) << t.name;
        }
    }
}

} // namespace
