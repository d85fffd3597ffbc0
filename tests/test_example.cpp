// SPDX-License-Identifier: MIT
// The committed example firmware merged end to end in plain, kernel and
// resource-manager modes. What each module should contribute is read from the
// module files with readelf, never through the tool's own reader.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>

using namespace tb;

namespace {

// One module option of the example: its slot's letter, pid and protection
// bits, and where a raw image loads (0 for an ELF module).
struct Slot {
    std::string letter;
    std::string file;
    int32_t pid;
    uint32_t prot;
    uint32_t raw_at = 0;
};

const Slot kernel{"-k", "kernel.elf", 0, 0x00000000};
const Slot quenlor{"-e", "quenlor.elf", 1, 0x00100000};
const Slot vo{"-f", "vo.elf", 2, 0x00200000};
const Slot zu{"-d", "zu.elf", 3, 0x00300000};
const Slot gul{"-c", "gul.elf", 7, 0x00700000};
const Slot rak{"-S", "rak.elf", 14, 0x00E00000};
const Slot tej{"-F", "tej.elf", 19, 0x00900000};
const Slot ka1{"-p", "ka1.bin", -1, 0x00F00000, 0x3400};
const Slot ka2{"-P", "ka2.bin", -1, 0x00F00000, 0x12FFFE0};

// Every module but the kernel, in the order merge.sh names them.
const std::vector<Slot> further{quenlor, vo, zu, gul, rak, tej, ka1, ka2};

std::string bin(const std::string& file)
{
    return std::string(EXAMPLE_DIR) + "/bin/" + file;
}

// What a module file holds, as readelf reports it: its allocatable sections
// (with their bytes taken from the file), its entry and start-up values.
struct Expected {
    Slot slot;
    Module module;
    uint32_t priority = 0, stack_size = 0, stack = 0;
};

std::vector<std::string> tokens(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string t; in >> t;)
        out.push_back(t);
    return out;
}

uint32_t hex(const std::string& text)
{
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

std::vector<std::string> readelf_lines(const std::string& option, const std::string& path)
{
    const RunResult r = run_program("readelf", {option, path});
    EXPECT_EQ(r.status, 0) << "readelf " << option << " " << path << ": " << r.err;
    std::vector<std::string> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A row of readelf -SW: the section with its bytes cut from the file, and
// its file offset, which start-up words are read through.
struct Listed {
    Section section;
    uint32_t offset;
};

std::map<uint32_t, Listed> list_sections(const std::string& path, const Bytes& file)
{
    std::map<uint32_t, Listed> out;
    for (const std::string& line : readelf_lines("-SW", path)) {
        const size_t open = line.find("  ["), close = line.find(']');
        if (open != 0 || close == std::string::npos)
            continue;
        // [Nr] Name Type Addr Off Size ES Flg Lk Inf Al; unflagged rows lack Flg.
        const std::vector<std::string> t = tokens(line.substr(close + 1));
        if (t.size() != 10)
            continue;
        Listed l{{t[0], t[1] == "NOBITS" ? NOBITS : PROGBITS, 0, hex(t[2]), 4, {}, hex(t[4])}, hex(t[3])};
        for (char f : t[6])
            l.section.flags |= f == 'A' ? ALLOC : f == 'W' ? WRITE : f == 'X' ? EXEC : 0;
        if (l.section.type != NOBITS && uint64_t{l.offset} + l.section.size <= file.size())
            l.section.data.assign(file.begin() + l.offset, file.begin() + l.offset + l.section.size);
        out[static_cast<uint32_t>(std::strtoul(line.c_str() + open + 3, nullptr, 10))] = l;
    }
    return out;
}

// The word a start-up symbol names: big-endian from the section's file
// bytes, 0 when the symbol is absent or lies in a section without them.
uint32_t startup_word(const std::map<uint32_t, Listed>& sections, uint32_t value, uint32_t shndx, const Bytes& file)
{
    const auto s = sections.find(shndx);
    if (s == sections.end() || s->second.section.type == NOBITS)
        return 0;
    const uint64_t at = uint64_t{s->second.offset} + value - s->second.section.addr;
    return at + 4 <= file.size() ? get32(file, static_cast<uint32_t>(at)) : 0;
}

Expected read_module(const Slot& slot)
{
    const std::string path = bin(slot.file);
    const Bytes file = read_file(path);
    Expected e{slot, {}};
    if (slot.raw_at != 0) {
        e.module.entry = 0xFFFFFFFF;
        e.module.sections = {{"raw", PROGBITS, ALLOC | EXEC, slot.raw_at, 1, file, 0}};
        return e;
    }
    const std::map<uint32_t, Listed> sections = list_sections(path, file);
    for (const auto& [index, l] : sections)
        if ((l.section.flags & ALLOC) && l.section.size != 0)
            e.module.sections.push_back(l.section);
    for (const std::string& line : readelf_lines("-hW", path))
        if (line.find("Entry point address:") != std::string::npos)
            e.module.entry = hex(tokens(line).back());
    // Num: Value Size Type Bind Vis Ndx Name
    for (const std::string& line : readelf_lines("-sW", path)) {
        const std::vector<std::string> t = tokens(line);
        if (t.size() != 8 || t[0].back() != ':')
            continue;
        const uint32_t value = hex(t[1]), shndx = static_cast<uint32_t>(std::atoi(t[6].c_str()));
        if (t[7] == "_initPriority")
            e.priority = startup_word(sections, value, shndx, file);
        else if (t[7] == "_initStackSize")
            e.stack_size = startup_word(sections, value, shndx, file);
        else if (t[7] == "_initStack")
            e.stack = value;
    }
    return e;
}

// The argument list that names these modules.
std::vector<std::string> module_args(const std::vector<Slot>& slots)
{
    std::vector<std::string> args;
    for (const Slot& s : slots)
        args.insert(args.end(), {s.letter, bin(s.file)});
    return args;
}

Bytes words_of(const std::vector<uint32_t>& v)
{
    Bytes out;
    for (uint32_t w : v)
        out.insert(out.end(), {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w)});
    return out;
}

// Each segment built from sections carries PF_R, PF_X and PF_W as its
// sections ask, and its modules' protection bits; a segment holding no
// module section must be one of the system entries.
void expect_segment_flags(const Image& im, const std::vector<Expected>& modules)
{
    for (size_t i = 0; i < im.phdrs.size(); ++i) {
        const Phdr& p = im.phdrs[i];
        uint32_t want = 0;
        bool any = false;
        for (const Expected& e : modules)
            for (const Section& s : e.module.sections)
                if (s.addr >= p.vaddr && uint64_t{s.addr} + s.size <= uint64_t{p.vaddr} + p.memsz) {
                    want |= 0x4 | e.slot.prot | (s.flags & EXEC ? 0x1 : 0) | (s.flags & WRITE ? 0x2 : 0);
                    any = true;
                }
        if (!any)
            want = 0x00F00000; // PT_PHDR, PT_NOTE and the Shared Data Segment
        EXPECT_EQ(p.flags, want) << "segment " << i << " at 0x" << std::hex << p.vaddr;
    }
}

// The note's words: a group for each described module, in command-line order.
void expect_note(const Image& im, const std::vector<Expected>& described)
{
    std::vector<uint32_t> want{0, uint32_t(40 * described.size()), 6};
    for (const Expected& e : described)
        want.insert(want.end(), {11, uint32_t(e.slot.pid), 9, e.module.entry, 125, e.priority, 126, e.stack_size, 127,
                                 e.stack});
    for (const Phdr& p : im.phdrs)
        if (p.type == 4) {
            ASSERT_LE(uint64_t{p.offset} + p.filesz, im.bytes.size());
            EXPECT_EQ(Bytes(im.bytes.begin() + p.offset, im.bytes.begin() + p.offset + p.filesz), words_of(want));
            return;
        }
    ADD_FAILURE() << "no PT_NOTE entry";
}

// Merges twice, checks the first image as a reader and a loader see it and
// expects the second to be byte for byte the same. Returns the image.
Image merge_example(std::vector<std::string> args, const std::vector<Slot>& slots)
{
    TempDir dir;
    const std::vector<std::string> names = module_args(slots);
    args.insert(args.end(), names.begin(), names.end());
    std::vector<Bytes> outputs;
    for (const char* name : {"one.elf", "two.elf"}) {
        std::vector<std::string> run = args;
        run.insert(run.end(), {"-o", dir.path(name)});
        const RunResult r = run_tool(run);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        outputs.push_back(read_file(dir.path(name)));
    }
    EXPECT_EQ(outputs[0], outputs[1]) << "two runs on the same inputs differ";
    EXPECT_EQ(reader_complaints(dir.path("one.elf")), "");
    return read_image(dir.path("one.elf"));
}

// The reader, loader and permission checks every example image must pass.
void expect_sound(const Image& im, const std::vector<Expected>& modules)
{
    const LoadedImage loaded(im);
    for (const Expected& e : modules) {
        ASSERT_GE(e.module.sections.size(), 1u) << e.slot.file;
        EXPECT_EQ(check_sections_loaded(loaded, e.module), "") << e.slot.file;
    }
    expect_segment_flags(im, modules);
}

std::vector<Expected> read_all(const std::vector<Slot>& slots)
{
    std::vector<Expected> out;
    for (const Slot& s : slots)
        out.push_back(read_module(s));
    return out;
}

std::vector<Expected> elf_only(const std::vector<Expected>& modules)
{
    std::vector<Expected> out;
    for (const Expected& e : modules)
        if (e.slot.raw_at == 0)
            out.push_back(e);
    return out;
}

// ---------------------------------------------------------------------------

// Guards the readelf parsing above: a few values the README's module table
// gives, so that a reading that found nothing cannot pass for a match.
TEST(ExampleFirmware, ModuleFilesReadAsDocumented)
{
    const Expected k = read_module(kernel);
    EXPECT_EQ(k.module.entry, 0x8000u);
    EXPECT_EQ(k.module.sections.size(), 4u);
    EXPECT_EQ((std::vector<uint32_t>{k.priority, k.stack_size, k.stack}), (std::vector<uint32_t>{1, 1024, 0x9680}));
    const Expected z = read_module(zu);
    EXPECT_EQ((std::vector<uint32_t>{z.priority, z.stack_size, z.stack}), (std::vector<uint32_t>{30, 640, 0x302d8}));
    const Expected g = read_module(gul);
    EXPECT_EQ((std::vector<uint32_t>{g.priority, g.stack_size, g.stack}), (std::vector<uint32_t>{0, 256, 0x40318}));
    const Expected v = read_module(vo);
    EXPECT_EQ((std::vector<uint32_t>{v.priority, v.stack_size, v.stack}), (std::vector<uint32_t>{0, 512, 0x28020}));
    EXPECT_EQ(read_module(ka1).module.sections.at(0).data.size(), 260u);
}

TEST(ExampleFirmware, PlainMode)
{
    const std::vector<Expected> modules = read_all(further);
    const Image im = merge_example({}, further);
    expect_sound(im, modules);
    EXPECT_EQ(im.entry, modules[0].module.entry); // quenlor has the lowest pid
    for (const Phdr& p : im.phdrs)
        EXPECT_EQ(p.type, 1u);
}

TEST(ExampleFirmware, KernelMode)
{
    std::vector<Slot> slots{kernel};
    slots.insert(slots.end(), further.begin(), further.end());
    const std::vector<Expected> modules = read_all(slots);
    const Image im = merge_example({"-s", "00F00000", "-z", "8000"}, slots);
    expect_sound(im, modules);
    EXPECT_EQ(im.entry, modules[0].module.entry);
    const std::vector<Expected> elves = elf_only(modules);
    expect_note(im, std::vector<Expected>(elves.begin() + 1, elves.end())); // the kernel is not described
    ASSERT_GE(im.phdrs.size(), 3u);
    EXPECT_EQ(im.phdrs[2].vaddr, 0x00F00000u);
    EXPECT_EQ(im.phdrs[2].memsz, 0x8000u);
    // vo's .data runs at 0x28000 but is stored at 0x20338.
    const auto data = std::find_if(im.phdrs.begin(), im.phdrs.end(), [](const Phdr& p) { return p.vaddr == 0x28000; });
    ASSERT_NE(data, im.phdrs.end());
    EXPECT_EQ(data->paddr, 0x20338u);
}

TEST(ExampleFirmware, ResourceManagerModeDescribesTheLowestPidToo)
{
    const std::vector<Expected> modules = read_all(further);
    const Image im = merge_example({"-r", "-s", "00F00000", "-z", "8000"}, further);
    expect_sound(im, modules);
    EXPECT_EQ(im.entry, modules[0].module.entry);
    expect_note(im, elf_only(modules));
}

TEST(ExampleFirmware, OneSlotNamedTwice)
{
    // zu given as a second -e module: pid 1 and slot 1's protection bits.
    const Slot zu_as_e{"-e", "zu.elf", 1, 0x00100000};
    const std::vector<Slot> slots{kernel, zu_as_e, quenlor, gul};
    const std::vector<Expected> modules = read_all(slots);
    const Image im = merge_example({"-s", "00F00000"}, slots);
    expect_sound(im, modules);
    expect_note(im, {modules[1], modules[2], modules[3]});
    // Without the kernel the first module of the lowest pid gives the entry.
    const std::vector<Slot> rm_slots{zu_as_e, quenlor};
    const std::vector<Expected> rm_modules = read_all(rm_slots);
    const Image rm = merge_example({"-r"}, rm_slots);
    expect_sound(rm, rm_modules);
    EXPECT_EQ(rm.entry, 0x30000u);
    expect_note(rm, rm_modules);
}

// The images merge.sh makes, by their SHA-256: the modules' debug
// information is not loaded, so building them with it changed none of these.
TEST(ExampleFirmware, MergedImagesAreTheSameWithDebugInformation)
{
    const std::vector<std::string> system{"-s", "00F00000", "-z", "8000"};
    const struct {
        std::vector<std::string> before, after;
        std::string sha256;
    } cases[] = {
        {{"-k", bin("kernel.elf")}, system, "49707046c09f886f6d5d6c951622391bb9575dda20c7d583005c975d75d717e7"},
        {{}, {}, "4080ecfdfc46db44ce276b2f418ffef32359969362f4a6b6ed8efacc66a71f03"},
        {{"-r"}, system, "375b7d89c51c1d854ce0187fee513047c3747e67a5d7ea683ce43078a4868257"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        std::vector<std::string> args = c.before;
        for (const std::string& a : module_args(further))
            args.push_back(a);
        args.insert(args.end(), c.after.begin(), c.after.end());
        args.insert(args.end(), {"-o", dir.path("fw.elf")});
        const RunResult r = run_tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const RunResult sum = run_program("sha256sum", {dir.path("fw.elf")});
        ASSERT_EQ(sum.status, 0) << sum.err;
        EXPECT_EQ(sum.out.substr(0, 64), c.sha256) << (c.before.empty() ? "plain" : c.before[0]);
    }
}

TEST(ExampleFirmware, SameModuleTwiceOverlaps)
{
    TempDir dir;
    const std::string q = bin("quenlor.elf");
    const RunResult r = run_tool({"-e", q, "-e", q, "-o", dir.path("out.elf")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Overlapping sections between " + q + " [0x00010000 - 0x000102d0) and " + q +
                         " [0x00010000 - 0x000102d0).\n");
    EXPECT_FALSE(file_exists(dir.path("out.elf")));
}

} // namespace
