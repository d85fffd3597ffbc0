// SPDX-License-Identifier: MIT
// --debug-elf on the example in each mode, read by tools no one here wrote:
// GNU and LLVM readelf, elfutils' elflint, and the ARM nm and objdump, whose
// view of OUTPUT must be their view of each module. Without those tools the
// program exits 77, unless ELF_MERGE_REQUIRE_DEBUG=1 (CI) makes that a failure.
#include "map_fixture.h"

#include <map>
#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <unistd.h>

using namespace maptest;

namespace {

bool skipped_for_tools = false;

const char* const elf_modules[] = {"kernel", "quenlor", "vo", "zu", "gul", "rak", "tej"};

// The first of tools that is not installed, empty when all are; a test
// skips without them, which CI counts as a failure.
std::string missing(std::initializer_list<const char*> tools)
{
    for (const char* t : tools)
        if (tb::run_program("sh", {"-c", "command -v \"$0\"", t}).status != 0) {
            if (const char* require = std::getenv("ELF_MERGE_REQUIRE_DEBUG"); require && std::string(require) == "1")
                ADD_FAILURE() << t << " is missing";
            skipped_for_tools = true;
            return t;
        }
    return "";
}

// The module options that merge.sh gives elf-merge in mode.
std::vector<std::string> mode_options(const std::string& mode)
{
    const std::vector<std::string> all = Example::module_options();
    std::vector<std::string> modules;
    for (size_t i = 0; i + 1 < all.size(); i += 2)
        if (all[i] != "-k" && all[i] != "-s" && all[i] != "-z")
            modules.insert(modules.end(), {all[i], all[i + 1]});
    const std::vector<std::string> sd{"-s", "00F00000", "-z", "8000"};
    std::vector<std::string> o;
    if (mode == "kernel")
        o = {"-k", Example::module("kernel.elf")};
    if (mode == "rm")
        o = {"-r"};
    o.insert(o.end(), modules.begin(), modules.end());
    if (mode != "plain")
        o.insert(o.end(), sd.begin(), sd.end());
    return o;
}

struct Companion {
    tb::TempDir dir;
    std::string image = dir.path("fw.elf");
    std::string output = dir.path("fw.debug.elf");

    explicit Companion(const std::string& mode)
    {
        std::vector<std::string> merge = mode_options(mode);
        merge.insert(merge.end(), {"-o", image});
        EXPECT_EQ(tb::run_tool(merge).status, 0);
        std::vector<std::string> map{"--debug-elf", output, image, "--"};
        for (const std::string& o : mode_options(mode))
            map.push_back(o);
        const tb::RunResult r = run_map(map);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
};

tb::RunResult tool(const std::string& program, std::vector<std::string> args)
{
    return tb::run_program(program, args);
}

// elflint's lines, the file's name taken out.
std::vector<std::string> elflint(const std::string& path)
{
    std::vector<std::string> lines = lines_of(tool("eu-elflint", {"--gnu-ld", path}).out);
    for (std::string& line : lines)
        if (line.rfind(path + ": ", 0) == 0)
            line.erase(0, path.size() + 2);
    return lines;
}

std::vector<std::string> words_of(const std::string& line)
{
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// Whether line has the shape of pattern, where '#' stands for a number,
// perhaps after spaces.
bool fits(const std::string& line, const std::string& pattern)
{
    size_t at = 0;
    for (const char c : pattern) {
        if (c != '#') {
            if (at >= line.size() || line[at++] != c)
                return false;
            continue;
        }
        while (at < line.size() && line[at] == ' ')
            ++at;
        const size_t digits = at;
        while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at])))
            ++at;
        if (at == digits)
            return false;
    }
    return at == line.size();
}

// What elflint reports on every image: its OS ABI and ABI version bytes,
// the note's empty owner, and entries whose offset and address differ
// modulo p_align, which a loader of this system never asks for.
const char* const image_faults[] = {
    "unsupported OS ABI e_ident[7] == 'Arm'",
    "unsupported ABI version e_ident[8] == 1",
    "phdr[1]: unknown object file note type 6 with owner name '' at offset #",
    "program header entry #: file offset and virtual address not module of alignment",
};

bool image_fault(const std::string& line)
{
    return std::any_of(std::begin(image_faults), std::end(image_faults),
                       [&](const char* pattern) { return fits(line, pattern); });
}

// A writable PT_LOAD entry without file bytes (zero fill only): elflint
// finds no section in it even in a linker's own output, so OUTPUT adds
// this line for each of them. Their numbers come from readelf.
std::set<std::string> zero_fill_lines(const std::string& image)
{
    std::set<std::string> lines;
    int index = -1;
    for (const std::string& line : lines_of(tool("readelf", {"-l", "-W", image}).out)) {
        const std::vector<std::string> w = words_of(line);
        if (w.size() < 7 || w[1].rfind("0x", 0) != 0)
            continue; // not a program header's row
        ++index;
        std::string flags;
        for (size_t i = 6; i + 1 < w.size(); ++i)
            flags += w[i];
        if (w[0] == "LOAD" && std::stoul(w[4], nullptr, 16) == 0 && flags.find('W') != std::string::npos)
            lines.insert("loadable segment [" + std::to_string(index) + "] is writable but contains no writable sections");
    }
    return lines;
}

// Value (a Thumb function's with bit 0), size, type, binding and name of
// each symbol readelf lists in a section, of the FUNC and OBJECT symbols
// alone with code_and_data.
std::set<std::string> readelf_symbols(const std::string& file, bool code_and_data)
{
    std::set<std::string> rows;
    for (const std::string& line : lines_of(tool("readelf", {"-s", "-W", file}).out)) {
        const std::vector<std::string> w = words_of(line); // Num: Value Size Type Bind Vis Ndx Name
        if (w.size() != 8 || !std::isdigit(static_cast<unsigned char>(w[6][0])))
            continue;
        if (!code_and_data || w[3] == "FUNC" || w[3] == "OBJECT")
            rows.insert(w[1] + " " + w[2] + " " + w[3] + " " + w[4] + " " + w[7]);
    }
    return rows;
}

// (name, address, letter) of every FUNC and OBJECT symbol of a module in a
// section, as nm prints it.
std::set<std::string> code_and_data(const std::string& module)
{
    std::set<std::string> names;
    for (const std::string& row : readelf_symbols(module, true))
        names.insert(row.substr(row.rfind(' ') + 1));
    std::set<std::string> rows;
    for (const std::string& line : lines_of(tool("arm-none-eabi-nm", {module}).out))
        if (line.size() > 11 && names.count(line.substr(11)))
            rows.insert(line);
    return rows;
}

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// Address, instruction bytes and mnemonic of each instruction objdump
// decodes in section ("  ADDR:\tBYTES \tMNEMONIC\tOPERANDS"); operands name
// symbols, which may differ.
std::vector<std::string> instructions(const std::string& file, const std::string& section)
{
    std::vector<std::string> rows;
    for (const std::string& line : lines_of(tool("arm-none-eabi-objdump", {"-d", "-j", section, file}).out)) {
        std::vector<std::string> fields;
        std::istringstream in(line);
        for (std::string f; std::getline(in, f, '\t');)
            fields.push_back(f);
        if (fields.size() >= 2 && !trimmed(fields[0]).empty() && trimmed(fields[0]).back() == ':')
            rows.push_back(trimmed(fields[0]) + " " + trimmed(fields[1]) + " " + (fields.size() > 2 ? fields[2] : ""));
    }
    return rows;
}

class DebugElf : public testing::TestWithParam<const char*> {};

TEST_P(DebugElf, ToolsReadTheCompanionAsTheyReadItsModules)
{
    if (const std::string t = missing({"readelf", "llvm-readelf", "eu-elflint", "arm-none-eabi-nm", "arm-none-eabi-objdump"});
        !t.empty())
        GTEST_SKIP() << t << " is missing";
    const Companion c(GetParam());

    const tb::RunResult gnu = tool("readelf", {"-a", "-W", c.output});
    EXPECT_EQ(gnu.status, 0);
    EXPECT_EQ(gnu.err, "");
    EXPECT_EQ(gnu.out.find("arning"), std::string::npos) << gnu.out;
    const tb::RunResult llvm = tool("llvm-readelf", {"-a", c.output});
    EXPECT_EQ(llvm.status, 0);
    EXPECT_EQ(llvm.err, "");
    EXPECT_EQ(llvm.out.find("arning"), std::string::npos) << llvm.out;

    const std::vector<std::string> on_image = elflint(c.image);
    std::set<std::string> allowed(on_image.begin(), on_image.end());
    for (const std::string& line : on_image)
        EXPECT_TRUE(image_fault(line)) << "elflint on IMAGE: " << line;
    const std::set<std::string> zero_fill = zero_fill_lines(c.image);
    allowed.insert(zero_fill.begin(), zero_fill.end());
    // The note's fault, seen again through its section.
    const char* note_section = "section [#] 'sd:.note': unknown object file note type 6 with owner name '' at offset #";
    for (const std::string& line : elflint(c.output))
        EXPECT_TRUE(allowed.count(line) || fits(line, note_section)) << "elflint on OUTPUT only: " << line;

    const std::set<std::string> out_symbols = readelf_symbols(c.output, false);
    const std::string out_nm = tool("arm-none-eabi-nm", {c.output}).out;
    const std::vector<std::string> nm_lines = lines_of(out_nm);
    const std::set<std::string> listed(nm_lines.begin(), nm_lines.end());
    for (const char* name : elf_modules) {
        if (std::string(name) == "kernel" && std::string(GetParam()) != "kernel")
            continue; // merged in kernel mode only
        const std::string module = Example::module(std::string(name) + ".elf");
        const std::set<std::string> rows = code_and_data(module);
        EXPECT_FALSE(rows.empty()) << name;
        for (const std::string& row : rows)
            EXPECT_TRUE(listed.count(row)) << name << ": " << row;
        for (const std::string& row : readelf_symbols(module, true))
            EXPECT_TRUE(out_symbols.count(row)) << name << ": " << row;
        const std::vector<std::string> code = instructions(module, ".text");
        EXPECT_FALSE(code.empty()) << name;
        EXPECT_EQ(instructions(c.output, std::string(name) + ":.text"), code) << name;
    }
}

// Each refusal is one line, and no OUTPUT is left; what OUTPUT named stays.
TEST(DebugElfRefusal, OneLineAndNoOutput)
{
    const Companion c("kernel");
    const std::string vo = Example::module("vo.elf");
    const std::string link = c.dir.path("link.elf");
    ASSERT_EQ(symlink(c.image.c_str(), link.c_str()), 0);
    struct Row {
        std::string output;
        std::string z; // the Shared Data size given; 8000 made the image
        std::string message;
        std::string shell = "exec \"$0\" \"$@\""; // what the map runs under
    };
    const Row rows[] = {
        {c.image, "8000", c.image + ": not written -- it is the image " + c.image + "\n"},
        {link, "8000", link + ": not written -- it is the image " + c.image + "\n"},
        {vo, "8000", vo + ": not written -- it is the input file " + vo + "\n"},
        {c.dir.path("none/out.elf"), "8000", c.dir.path("none/out.elf") + ": cannot create -- No such file or directory\n"},
        {c.dir.path("new.elf"), "4000",
         c.image + ": compared with elf-merge's output: segment 2 p_memsz is 0x00008000, expected 0x00004000\n"},
        // Cut short at 512 bytes, and removed.
        {c.dir.path("new.elf"), "8000", c.dir.path("new.elf") + ": cannot write -- File too large\n",
         "ulimit -f 1 && exec \"$0\" \"$@\""},
    };
    const tb::Bytes image = tb::read_file(c.image);
    for (const Row& row : rows) {
        std::vector<std::string> args{"--debug-elf", row.output, c.image, "--"};
        for (std::string o : mode_options("kernel"))
            args.push_back(o == "8000" ? row.z : o);
        const tb::RunResult r = run_map_in_shell(row.shell, args);
        EXPECT_EQ(r.status, 1) << row.output;
        EXPECT_EQ(r.err, row.message);
        EXPECT_EQ(tb::read_file(c.image), image);
        EXPECT_NE(access(c.dir.path("new.elf").c_str(), F_OK), 0);
    }
}

// A module of argv[2] four-byte code sections, whose symbol "last" lies in
// the last of them through SHN_XINDEX: counts and indices past 65,279 in
// the module and so in OUTPUT.
const char* many_sections = R"(import struct, sys
n = int(sys.argv[2])
base = 0x10000
data_off = 52 + 32
shstr = b"\0.t\0.symtab\0.symtab_shndx\0.strtab\0.shstrtab\0"
strtab = b"\0first\0last\0"
code = b"\xe1\xa0\x00\x00" * n
symtab_index, shndx_index, strtab_index, shstr_index = n + 1, n + 2, n + 3, n + 4
count = n + 5
def sym(name, value, shndx): return struct.pack(">IIIBBH", name, value, 4, 0x12, 0, shndx)
syms = b"\0" * 16 + sym(1, base, 1) + sym(7, base + 4 * (n - 1), 0xFFFF)
shndx = struct.pack(">III", 0, 0, n)
off = data_off + len(code)
symoff = off; off += len(syms)
shndxoff = off; off += len(shndx)
stroff = off; off += len(strtab)
shstroff = off; off += len(shstr)
off = (off + 3) & ~3
shoff = off
ident = b"\x7fELF\x01\x02\x01\x61\x01" + b"\0" * 7
eh = ident + struct.pack(">HHIIIIIHHHHHH", 2, 40, 1, base, 52, shoff, 0x05000000, 52, 32, 1, 40, 0, 0xFFFF)
ph = struct.pack(">IIIIIIII", 1, data_off, base, base, len(code), len(code), 5, 4)
def sh(name, type_, flags, addr, offset, size, link=0, info=0, align=4, ent=0):
    return struct.pack(">IIIIIIIIII", name, type_, flags, addr, offset, size, link, info, align, ent)
shdrs = [sh(0, 0, 0, 0, 0, count, shstr_index, 0, 0)]
shdrs += [sh(1, 1, 6, base + 4 * i, data_off + 4 * i, 4) for i in range(n)]
shdrs += [sh(4, 2, 0, 0, symoff, len(syms), strtab_index, 1, 4, 16), sh(12, 18, 0, 0, shndxoff, len(shndx), symtab_index, 0, 4, 4),
          sh(26, 3, 0, 0, stroff, len(strtab), 0, 0, 1), sh(34, 3, 0, 0, shstroff, len(shstr), 0, 0, 1)]
out = eh + ph + code + syms + shndx + strtab + shstr
out += b"\0" * (shoff - len(out)) + b"".join(shdrs)
open(sys.argv[1], "wb").write(out)
)";

TEST(DebugElfExtendedNumbering, ReadelfFindsEverySectionAndTheLastSymbol)
{
    if (const std::string t = missing({"readelf"}); !t.empty())
        GTEST_SKIP() << t << " is missing";
    tb::TempDir dir;
    const std::string module = dir.path("big.elf"), image = dir.path("big.img"), output = dir.path("big.debug.elf");
    python(many_sections, {module, "65300"});
    ASSERT_EQ(tb::run_tool({"-e", module, "-o", image}).status, 0);
    const tb::RunResult r = run_map({"--debug-elf", output, image, "--", "-e", module});
    ASSERT_EQ(r.status, 0) << r.err;
    const tb::RunResult header = tool("readelf", {"-h", "-s", "-W", output});
    EXPECT_EQ(header.err, "");
    for (const char* line : {"  Number of section headers:         0 (65305)\n",
                             "  Section header string table index: 65535 (65304)\n",
                             "     2: 00010000     4 FUNC    GLOBAL DEFAULT    1 first\n",
                             "     3: 0004fc4c     4 FUNC    GLOBAL DEFAULT 65300 last\n"})
        EXPECT_NE(header.out.find(line), std::string::npos) << line << header.out;
    const tb::RunResult all = tool("readelf", {"-a", "-W", output});
    EXPECT_EQ(all.err, "");
    EXPECT_EQ(all.out.find("arning"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Modes, DebugElf, testing::Values("kernel", "rm", "plain"));

} // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    const int status = RUN_ALL_TESTS();
    return status == 0 && skipped_for_tools ? 77 : status;
}
