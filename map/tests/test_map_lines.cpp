// SPDX-License-Identifier: MIT
// Source lines of --where against a reference no one here wrote: every
// instruction address of every example module (each 4 bytes of ARM code,
// each 2 of Thumb code, by the modules' mapping symbols) as llvm-symbolizer
// reads the module alone. And modules whose DWARF is missing or broken.
#include "map_fixture.h"

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

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
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

} // namespace
