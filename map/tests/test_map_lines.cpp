// SPDX-License-Identifier: MIT
// Source lines of --where against a reference no one here wrote: every
// instruction address of every example module (each 4 bytes of ARM code,
// each 2 of Thumb code, by the modules' mapping symbols) as llvm-symbolizer
// reads the module alone. Modules whose DWARF is missing or broken. And
// --symbolize, the log filter.
#include "map_fixture.h"
#include "symbolize.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

using namespace maptest;

namespace {

const char* const modules[] = {"kernel.elf", "quenlor.elf", "vo.elf", "zu.elf", "gul.elf", "rak.elf", "tej.elf"};

// One frame as both tools name it. Tools spell paths differently
// ("./startup.c", "././startup.c"), so the file is compared normalised.
struct Frame {
    std::string function, file;
    uint32_t line, column;
    bool operator==(const Frame& o) const
    {
        // llvm-symbolizer prints column 0 where it has none to give.
        return function == o.function && file == o.file && line == o.line &&
               (column == o.column || column == 0 || o.column == 0);
    }
};

std::ostream& operator<<(std::ostream& os, const Frame& f)
{
    return os << f.function << " " << f.file << ":" << f.line << ":" << f.column;
}

std::string normal(const std::string& file)
{
    return std::filesystem::path(file).lexically_normal().string();
}

uint32_t hex(const std::string& text)
{
    return static_cast<uint32_t>(std::stoul(text, nullptr, 16));
}

// The instruction addresses of a module's .text: readelf -SW for the
// section, readelf -sW for the mapping symbols ($a ARM, $t Thumb, $d data).
std::vector<uint32_t> instruction_addresses(const std::string& module)
{
    uint32_t start = 0, size = 0;
    for (const std::string& line : lines_of(tb::run_program("readelf", {"-SW", module}).out)) {
        std::istringstream in(line.substr(line.find(']') + 1));
        std::string name, type, addr, off, sz;
        if (line.find("] .text ") != std::string::npos && in >> name >> type >> addr >> off >> sz)
            start = hex(addr), size = hex(sz);
    }
    std::map<uint32_t, char> kinds{{start, 'a'}};
    for (const std::string& line : lines_of(tb::run_program("readelf", {"-sW", module}).out)) {
        std::istringstream in(line);
        std::string num, value, sz, type, bind, vis, ndx, name;
        if (in >> num >> value >> sz >> type >> bind >> vis >> ndx >> name && name.size() >= 2 && name[0] == '$')
            kinds[hex(value)] = name[1];
    }
    std::vector<uint32_t> out;
    for (uint32_t a = start; a < start + size;) {
        out.push_back(a);
        a += std::prev(kinds.upper_bound(a))->second == 't' ? 2 : 4;
    }
    return out;
}

std::string joined(const std::vector<uint32_t>& addresses, const char* separator, const char* prefix)
{
    std::ostringstream out;
    out << std::hex;
    for (size_t i = 0; i < addresses.size(); ++i)
        out << (i ? separator : "") << prefix << addresses[i];
    return out.str();
}

// llvm-symbolizer's answer per address: pairs of lines, function then
// FILE:LINE:COLUMN, innermost first, each answer ended by an empty line.
std::vector<std::vector<Frame>> reference(const std::string& module, const std::vector<uint32_t>& addresses)
{
    std::vector<std::string> args{"--obj=" + module};
    for (uint32_t a : addresses)
        args.push_back(joined({a}, "", "0x"));
    const tb::RunResult r = tb::run_program("llvm-symbolizer", args);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<Frame>> out(1);
    const std::vector<std::string> lines = lines_of(r.out);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].empty()) {
            out.emplace_back();
            continue;
        }
        const std::string& place = lines.at(++i);
        const size_t column = place.rfind(':'), line = place.rfind(':', column - 1);
        out.back().push_back({lines[i - 1], normal(place.substr(0, line)),
                              static_cast<uint32_t>(std::stoul(place.substr(line + 1, column - line - 1))),
                              static_cast<uint32_t>(std::stoul(place.substr(column + 1)))});
    }
    out.pop_back();
    for (std::vector<Frame>& frames : out)
        if (frames.size() == 1 && frames[0].function == "??" && frames[0].file == "??")
            frames.clear(); // no line information
    return out;
}

Frame frame_of(const nlohmann::json& j)
{
    return {j.at("function").is_null() ? "" : j.at("function").get<std::string>(), normal(j.at("file")),
            j.at("line"), j.at("column")};
}

std::vector<std::vector<Frame>> answers(const std::vector<uint32_t>& addresses)
{
    const tb::RunResult r = Example().map({"--json", "--where", joined(addresses, ",", "")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<Frame>> out;
    for (const nlohmann::json& place : nlohmann::json::parse(r.out)) {
        const nlohmann::json& source = place.at("source");
        out.emplace_back();
        if (source.is_null())
            continue;
        out.back().push_back(frame_of(source));
        for (const nlohmann::json& caller : source.at("inlined"))
            out.back().push_back(frame_of(caller));
    }
    return out;
}

TEST(MapLines, EveryInstructionAsLlvmSymbolizerReadsIt)
{
    size_t compared = 0, by_symbol = 0, outside_units = 0;
    for (const char* name : modules) {
        const std::string module = Example::module(name);
        const std::vector<uint32_t> addresses = instruction_addresses(module);
        const std::vector<std::vector<Frame>> want = reference(module, addresses);
        std::vector<std::vector<Frame>> got = answers(addresses);
        ASSERT_EQ(got.size(), addresses.size()) << name;
        ASSERT_EQ(want.size(), addresses.size()) << name;
        for (size_t i = 0; i < addresses.size(); ++i) {
            // An assembler's code has no function in the DWARF: llvm-symbolizer
            // names it from the symbol table, and --where gives the symbol.
            if (got[i].size() == 1 && got[i][0].function.empty() && want[i].size() == 1) {
                got[i][0].function = want[i][0].function;
                ++by_symbol;
            }
            // Outside every unit (a linker's veneer) llvm-symbolizer still
            // gives the symbol and line 0 of a file the symbol table names.
            if (got[i].empty() && want[i].size() == 1 && want[i][0].line == 0) {
                ++outside_units;
                continue;
            }
            EXPECT_EQ(got[i], want[i]) << name << " at 0x" << std::hex << addresses[i];
        }
        compared += addresses.size();
    }
    std::cout << "compared " << compared << " addresses with llvm-symbolizer, " << by_symbol
              << " of them in code the DWARF names no function for, " << outside_units << " outside every unit\n";
    EXPECT_LT(outside_units, 10u);
    EXPECT_GT(compared, 2000u);
}

// ---------------------------------------------------------------------------
// Modules whose DWARF is missing or broken: vo.elf changed in one place.

struct SectionPlace {
    uint32_t offset = 0, size = 0, header = 0; // the file offsets of its bytes and of its header
};

SectionPlace section_place(const std::string& module, const std::string& name)
{
    SectionPlace place;
    uint32_t shoff = 0;
    for (const std::string& line : lines_of(tb::run_program("readelf", {"-hW", module}).out))
        if (line.find("Start of section headers:") != std::string::npos)
            shoff = static_cast<uint32_t>(std::stoul(line.substr(line.find(':') + 1)));
    for (const std::string& line : lines_of(tb::run_program("readelf", {"-SW", module}).out)) {
        const size_t open = line.find('['), close = line.find(']');
        std::istringstream in(close == std::string::npos ? "" : line.substr(close + 1));
        std::string section, type, addr, off, size;
        if (in >> section >> type >> addr >> off >> size && section == name) {
            const uint32_t index = static_cast<uint32_t>(std::stoul(line.substr(open + 1, close - open - 1)));
            place = {hex(off), hex(size), shoff + index * 40};
        }
    }
    EXPECT_NE(place.header, 0u) << name;
    return place;
}

void put_be32(tb::Bytes& bytes, uint32_t offset, uint32_t value)
{
    ASSERT_LE(uint64_t{offset} + 4, bytes.size());
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

uint32_t be32(const tb::Bytes& bytes, uint32_t offset)
{
    return uint32_t(bytes.at(offset)) << 24 | uint32_t(bytes.at(offset + 1)) << 16 |
           uint32_t(bytes.at(offset + 2)) << 8 | bytes.at(offset + 3);
}

std::vector<std::string> dump_of(const std::string& module)
{
    return lines_of(tb::run_program("llvm-dwarfdump", {"--debug-info", module}).out);
}

// Every inlined call's DIE points to its origin through a unit-relative
// ref4 right after its one-byte abbreviation code; each is made to point to
// itself.
void loop_abstract_origins(tb::Bytes& bytes, const std::string& module)
{
    const std::vector<std::string> dump = dump_of(module);
    const uint32_t info = section_place(module, ".debug_info").offset;
    uint32_t unit = 0, loops = 0;
    for (size_t i = 0; i + 1 < dump.size(); ++i) {
        if (dump[i].find(": Compile Unit:") != std::string::npos)
            unit = hex(dump[i]);
        if (dump[i].find("DW_TAG_inlined_subroutine") == std::string::npos)
            continue;
        const uint32_t die = hex(dump[i]);
        const uint32_t origin = hex(dump[i + 1].substr(dump[i + 1].find('(') + 1));
        ASSERT_EQ(be32(bytes, info + die + 1), origin - unit);
        put_be32(bytes, info + die + 1, die - unit);
        ++loops;
    }
    EXPECT_GT(loops, 0u) << "no inlined call in " << module;
}

// Each unit's first abbreviation's first form, a byte after its code, tag,
// children flag and attribute, made one that DWARF does not define.
void spoil_forms(tb::Bytes& bytes, const std::string& module)
{
    const uint32_t abbrev = section_place(module, ".debug_abbrev").offset;
    for (const std::string& line : dump_of(module))
        if (const size_t at = line.find("abbr_offset = "); at != std::string::npos)
            bytes.at(abbrev + hex(line.substr(at + 14)) + 4) = 0x7f;
}

// The sections keep their bytes but lose the names that make them DWARF.
void rename_debug_sections(tb::Bytes& bytes, const std::string&)
{
    const std::string from = ".debug_", to = ".nodbg_";
    for (auto at = bytes.begin(); (at = std::search(at, bytes.end(), from.begin(), from.end())) != bytes.end();)
        at = std::copy(to.begin(), to.end(), at);
}

struct Hostile {
    const char* name;
    void (*spoil)(tb::Bytes& bytes, const std::string& module);
    std::string reason;
};

std::ostream& operator<<(std::ostream& os, const Hostile& c)
{
    return os << c.name;
}

class HostileDwarf : public testing::TestWithParam<Hostile> {};

// 0x20200 lies in sum, inlined twice over into vo's fw_probe.
TEST_P(HostileDwarf, NoLineInformationAndNoCrash)
{
    const Hostile& c = GetParam();
    tb::TempDir dir;
    const std::string vo = Example::module("vo.elf");
    tb::Bytes bytes = tb::read_file(vo);
    c.spoil(bytes, vo);
    const std::string spoiled = dir.write("vo.elf", bytes);
    Example fw;
    std::vector<std::string> args{"--where", "20200", fw.image, "--"};
    for (const std::string& o : Example::module_options())
        args.push_back(o == vo ? spoiled : o);
    const tb::RunResult r = run_map(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "0x00020200: run and load address in segment 11 (section 1 (.text) of " + spoiled + "): " +
                         spoiled + " .text+0x200 fw_probe+0x94; no line information (" + c.reason + ")\n");
}

INSTANTIATE_TEST_SUITE_P(
    MapLines, HostileDwarf,
    testing::Values(
        Hostile{"NoDebugSections", rename_debug_sections, "no DWARF information"},
        Hostile{"TruncatedDebugLine",
                [](tb::Bytes& b, const std::string& m) { put_be32(b, section_place(m, ".debug_line").header + 20, 10); },
                "invalid offset"},
        Hostile{"UnitLengthPastTheSection",
                [](tb::Bytes& b, const std::string& m) {
                    put_be32(b, section_place(m, ".debug_info").offset, 0x7ffffff0);
                },
                "a unit's length passes the end of .debug_info"},
        Hostile{"AbstractOriginLoop", loop_abstract_origins, "a function's DW_AT_abstract_origin leads to no name"},
        Hostile{"BadForm", spoil_forms, "no unit has an address range"}),
    [](const testing::TestParamInfo<Hostile>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// --symbolize

struct LogLine {
    const char* line;
    std::vector<uint32_t> addresses;
};

TEST(MapLines, LogAddressesAreTheNumbersALogWrites)
{
    const LogLine cases[] = {
        {"pc=0x00020200 lr=0x1027f", {0x20200, 0x1027f}},
        {"PC 0X2A", {0x2a}},
        {"at 00020200, then 0002020 and 000202000", {0x20200}}, // 8 bare digits only
        {"0x123456789 is too long", {}},
        {"x0x20 a00020200 00020200b 0x20g", {}}, // inside a word
        {"[00020200]:0x10", {0x20200, 0x10}},
        {"0x", {}},
    };
    for (const LogLine& c : cases)
        EXPECT_EQ(log_addresses(c.line), c.addresses) << c.line;
}

// Lines copied as they are; one indented line per address in the image.
TEST(MapLines, SymbolizeAddsWhereAfterEachLine)
{
    Example fw;
    std::vector<std::string> args{fw.image, "--"};
    for (const std::string& o : Example::module_options())
        args.push_back(o);
    const std::string bin = std::string(EXAMPLE_DIR) + "/bin/";
    const tb::RunResult r =
        run_map_in_shell("printf 'boot\\nfault pc=0x20200 n=0x50000000\\nend' | \"$0\" --symbolize \"$@\"", args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "boot\nfault pc=0x20200 n=0x50000000\n    0x00020200: run and load address in segment 11 (section 1 "
                     "(.text) of " + bin + "vo.elf): " + bin + "vo.elf .text+0x200 fw_probe+0x94; sum at ./startup.c:30:20, "
                     "inlined into fw_section_faults at ./startup.c:57:9, inlined into fw_probe at ./startup.c:68:23\nend");
}

} // namespace
