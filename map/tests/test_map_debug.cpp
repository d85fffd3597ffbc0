// SPDX-License-Identifier: MIT
// Debugging the example's image: a real GDB session under QEMU with the
// --gdb file, --where on addresses of each kind, --symbols against readelf,
// and a command file that no module's names or paths can add a command to.
// Without gdb-multiarch or qemu-system-arm the session is skipped and the
// program exits 77, unless ELF_MERGE_REQUIRE_DEBUG=1 (CI) makes that a failure.
#include "map_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

using namespace maptest;
using testing::HasSubstr;

namespace {

bool skipped_for_tools = false;

const std::string bin = std::string(EXAMPLE_DIR) + "/bin/";

std::string text_of(const std::string& path)
{
    const tb::Bytes bytes = tb::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

bool installed(const std::string& tool)
{
    return tb::run_program("sh", {"-c", "command -v \"$0\"", tool}).status == 0;
}

// A port the system just handed out to a socket that is closed again.
int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                       getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    close(fd);
    return bound ? ntohs(address.sin_port) : -1;
}

// boot.sh --gdb in the background and GDB in batch mode, each under a
// timeout; QEMU is killed at the end whatever GDB did.
const char* session_script = R"(timeout 120 "$0" --gdb "$1" >"$1.boot" 2>"$1.boot.err" &
boot=$!
timeout 60 gdb-multiarch --batch -nx -ex 'set endian little' -x "$1.gdb" \
    -ex "target remote 127.0.0.1:$ELF_MERGE_GDB_PORT" -ex 'break *0x20000' -ex continue \
    -ex 'info symbol $pc' -ex finish -ex 'x/wx 0x28004' -ex kill
status=$?
kill "$boot" 2>/dev/null
wait "$boot"
exit "$status")";

TEST(MapDebug, GdbStopsInVoWithItsSymbolsUnderQemu)
{
    if (!installed("gdb-multiarch") || !installed("qemu-system-arm")) {
        if (const char* require = std::getenv("ELF_MERGE_REQUIRE_DEBUG"); require && std::string(require) == "1")
            FAIL() << "gdb-multiarch or qemu-system-arm is missing";
        skipped_for_tools = true;
        GTEST_SKIP() << "gdb-multiarch or qemu-system-arm is missing";
    }
    Example fw; // merge.sh, which writes fw.elf.gdb beside the image
    const int port = free_port();
    ASSERT_GT(port, 0);
    setenv("ELF_MERGE_GDB_PORT", std::to_string(port).c_str(), 1);
    const std::string boot = std::string(EXAMPLE_DIR) + "/boot.sh";
    const tb::RunResult r = tb::run_program("sh", {"-c", session_script, boot, fw.image});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_THAT(r.out, HasSubstr("\nBreakpoint 1, _start () at ./start.S:15\n"
                                 "_start in section .text of " + bin + "vo.elf\n"));
    // vo's start-up code has copied .data to where it runs: vo_state[0] of vo.c.
    EXPECT_THAT(r.out, HasSubstr("\n0x28004 <vo_state>:\t0x564f0001\n"));
    EXPECT_THAT(text_of(fw.image + ".boot.err"),
                HasSubstr("  gdb-multiarch -ex 'set endian little' -x " + fw.image +
                          ".gdb -ex 'target remote 127.0.0.1:" + std::to_string(port) + "'\n"));

    const tb::RunResult where = fw.map({"--where", "20000"});
    EXPECT_EQ(where.status, 0) << where.err;
    EXPECT_EQ(where.out, "0x00020000: run and load address in segment 11 (section 1 (.text) of " + bin +
                             "vo.elf): " + bin + "vo.elf .text+0x0 _start+0x0; _start at ./start.S:15:0\n");
}

// The companion merge.sh writes beside the image, IMAGE.debug.elf, read as
// one file by QEMU and GDB: one row per tool.
struct CompanionCase {
    const char* name;
    const char* tool;
    void (*check)(const Example& fw, const std::string& companion);
};

std::ostream& operator<<(std::ostream& os, const CompanionCase& c)
{
    return os << c.name;
}

// boot.sh's checks print the same lines for both, and pass.
void boots_as_the_image_boots(const Example& fw, const std::string& companion)
{
    const std::string boot = std::string(EXAMPLE_DIR) + "/boot.sh";
    const tb::RunResult image = tb::run_program(boot, {fw.image});
    const tb::RunResult debug = tb::run_program(boot, {companion});
    EXPECT_EQ(debug.status, 0) << debug.out << debug.err;
    EXPECT_EQ(debug.out, image.out);
    EXPECT_THAT(debug.out, HasSubstr("checks passed"));
}

// boot.sh --fault vo through --symbolize: the trap's pc is vo's fw_fault,
// named with its line in vo.c, and the boot fails.
void fault_names_its_source_line(const Example& fw, const std::string&)
{
    std::vector<std::string> args{std::string(EXAMPLE_DIR) + "/boot.sh", fw.image, "--"};
    for (const std::string& o : Example::module_options())
        args.push_back(o);
    const tb::RunResult r = run_map_in_shell(
        "boot=$1; shift; { \"$boot\" --fault vo \"$1\"; echo \"boot status $?\"; } | \"$0\" --symbolize \"$@\"", args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("vo       pid 2   note ok   rodata ok  data ok  bss ok\n"
                                 "undefined instruction at pc 0x0002027c, lr 0x00008b24\n"));
    EXPECT_THAT(r.out, HasSubstr("    0x0002027c: run and load address in segment 11 (section 1 (.text) of " + bin +
                                 "vo.elf): " + bin + "vo.elf .text+0x27c fw_fault+0x0; fw_fault at ./vo.c:22:5\n"));
    EXPECT_THAT(r.out, HasSubstr("\nboot status 1\n"));
}

// Each module's entry point, from readelf, and the function nm names there.
void gdb_names_each_entry_function(const Example&, const std::string& companion)
{
    for (const char* name : {"kernel", "quenlor", "vo", "zu", "gul", "rak", "tej"}) {
        const std::string module = bin + name + ".elf";
        const std::string header = tb::run_program("readelf", {"-h", module}).out;
        const size_t at = header.find("Entry point address:");
        ASSERT_NE(at, std::string::npos) << name;
        const uint32_t entry = std::stoul(header.substr(header.find("0x", at)), nullptr, 16) & ~1u;
        char address[9];
        std::snprintf(address, sizeof address, "%08x", entry);
        std::string function;
        std::istringstream nm(tb::run_program("arm-none-eabi-nm", {module}).out);
        for (std::string a, t, n; nm >> a >> t >> n;)
            if (a == address && (t == "T" || t == "t"))
                function = n;
        ASSERT_FALSE(function.empty()) << name;
        const tb::RunResult r = tb::run_program(
            "timeout", {"60", "gdb-multiarch", "-batch", "-nx", companion, "-ex", std::string("info symbol 0x") + address});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(r.out, HasSubstr(function + " in section " + name + ":.text\n")) << name;
    }
}

class Companion : public testing::TestWithParam<CompanionCase> {};

TEST_P(Companion, ReadsAsOneFile)
{
    const CompanionCase& c = GetParam();
    if (!installed(c.tool)) {
        if (const char* require = std::getenv("ELF_MERGE_REQUIRE_DEBUG"); require && std::string(require) == "1")
            FAIL() << c.tool << " is missing";
        skipped_for_tools = true;
        GTEST_SKIP() << c.tool << " is missing";
    }
    const Example fw; // merge.sh, which writes fw.elf.debug.elf beside the image
    c.check(fw, fw.image + ".debug.elf");
}

INSTANTIATE_TEST_SUITE_P(MapDebug, Companion,
                         testing::Values(CompanionCase{"Qemu", "qemu-system-arm", boots_as_the_image_boots},
                                         CompanionCase{"Gdb", "gdb-multiarch", gdb_names_each_entry_function},
                                         CompanionCase{"Fault", "qemu-system-arm", fault_names_its_source_line}),
                         [](const testing::TestParamInfo<CompanionCase>& i) { return std::string(i.param.name); });

struct WhereCase {
    const char* name;
    std::vector<std::string> flags;
    std::string out;
    int status;
};

std::ostream& operator<<(std::ostream& os, const WhereCase& c)
{
    return os << c.name;
}

class Where : public testing::TestWithParam<WhereCase> {};

TEST_P(Where, NamesSegmentFileSectionAndSymbol)
{
    const WhereCase& c = GetParam();
    const tb::RunResult r = Example().map(c.flags);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
}

const std::string vo_data = "segment 13 (section 3 (.data) of " + bin + "vo.elf)";

INSTANTIATE_TEST_SUITE_P(
    MapDebug, Where,
    testing::Values(
        WhereCase{"RunAddress", {"--where", "28004"},
                  "0x00028004: run address in " + vo_data + ": " + bin + "vo.elf .data+0x4 vo_state+0x0\n", 0},
        // vo's .data is stored at 0x20338 and copied to 0x28000 to run.
        WhereCase{"LoadAddressOfVoData", {"--where", "0x2033c"},
                  "0x0002033c: load address in " + vo_data + ": " + bin + "vo.elf .data+0x4 vo_state+0x0\n", 0},
        WhereCase{"RunAndLoadAddress", {"--where", "20010"},
                  "0x00020010: run and load address in segment 11 (section 1 (.text) of " + bin + "vo.elf): " + bin +
                      "vo.elf .text+0x10 _start+0x10; _start at ./start.S:19:0\n",
                  0},
        // quenlor's main is Thumb code: its st_value 0x1027d marks it so.
        WhereCase{"ThumbFunction", {"--where", "1027e"},
                  "0x0001027e: run and load address in segment 7 (section 1 (.text) of " + bin + "quenlor.elf): " +
                      bin + "quenlor.elf .text+0x27e main+0x2; main at ./quenlor.c:17:0\n",
                  0},
        // A Thumb return address has bit 0 set: the instruction below it.
        WhereCase{"OddThumbAddress", {"--where", "1027f"},
                  "0x0001027f: run and load address in segment 7 (section 1 (.text) of " + bin + "quenlor.elf): " +
                      bin + "quenlor.elf .text+0x27f main+0x3; main at ./quenlor.c:17:0\n",
                  0},
        // sum and fw_section_faults are inlined into fw_probe, which the symbol names.
        WhereCase{"InlinedCalls", {"--where", "20200"},
                  "0x00020200: run and load address in segment 11 (section 1 (.text) of " + bin + "vo.elf): " + bin +
                      "vo.elf .text+0x200 fw_probe+0x94; sum at ./startup.c:30:20, inlined into fw_section_faults "
                      "at ./startup.c:57:9, inlined into fw_probe at ./startup.c:68:23\n",
                  0},
        WhereCase{"RawImage", {"--where", "3410"},
                  "0x00003410: run and load address in segment 3 (raw image " + bin + "ka1.bin): " + bin +
                      "ka1.bin+0x10\n",
                  0},
        WhereCase{"NotInTheImage", {"--where", "28004,1000"},
                  "0x00028004: run address in " + vo_data + ": " + bin + "vo.elf .data+0x4 vo_state+0x0\n"
                  "0x00001000: not in the image\n",
                  1},
        WhereCase{"Json", {"--json", "--where", "2033c,1000"},
                  "[{\"address\":131900,\"segment\":13,\"label\":\"" + vo_data +
                      "\",\"run\":false,\"load\":true,\"run_address\":163844,\"file\":\"" + bin +
                      "vo.elf\",\"section\":\".data\",\"section_index\":3,\"offset\":4,\"symbol\":\"vo_state\","
                      "\"symbol_offset\":0,\"source\":null},{\"address\":4096,\"segment\":null,\"label\":null,\"run\":false,"
                      "\"load\":false,\"run_address\":null,\"file\":null,\"section\":null,\"section_index\":null,"
                      "\"offset\":null,\"symbol\":null,\"symbol_offset\":null,\"source\":null}]\n",
                  1},
        WhereCase{"JsonInlinedCalls", {"--json", "--where", "20200"},
                  "[{\"address\":131584,\"segment\":11,\"label\":\"segment 11 (section 1 (.text) of " + bin +
                      "vo.elf)\",\"run\":true,\"load\":true,\"run_address\":131584,\"file\":\"" + bin +
                      "vo.elf\",\"section\":\".text\",\"section_index\":1,\"offset\":512,\"symbol\":\"fw_probe\","
                      "\"symbol_offset\":148,\"source\":{\"function\":\"sum\",\"file\":\"./startup.c\",\"line\":30,"
                      "\"column\":20,\"inlined\":[{\"function\":\"fw_section_faults\",\"file\":\"./startup.c\","
                      "\"line\":57,\"column\":9},{\"function\":\"fw_probe\",\"file\":\"./startup.c\",\"line\":68,"
                      "\"column\":23}]}}]\n",
                  0}),
    [](const testing::TestParamInfo<WhereCase>& info) { return std::string(info.param.name); });

// One row of --symbols or of readelf -s: address, size, type, binding, name.
using SymbolRow = std::tuple<uint32_t, uint32_t, std::string, std::string, std::string>;

// readelf -sW's FUNC and OBJECT symbols in numbered sections, mapping
// symbols aside; a Thumb function's address is its value without bit 0.
std::multiset<SymbolRow> readelf_symbols(const std::string& module)
{
    const tb::RunResult r = tb::run_program("readelf", {"-sW", module});
    EXPECT_EQ(r.status, 0) << r.err;
    std::multiset<SymbolRow> rows;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string num, value, size, type, bind, vis, ndx, name;
        if (!(in >> num >> value >> size >> type >> bind >> vis >> ndx >> name) ||
            (type != "FUNC" && type != "OBJECT") || ndx.find_first_not_of("0123456789") != std::string::npos ||
            name[0] == '$')
            continue;
        const auto address = static_cast<uint32_t>(std::stoul(value, nullptr, 16)) & (type == "FUNC" ? ~1u : ~0u);
        rows.insert({address, static_cast<uint32_t>(std::stoul(size)), type, bind, name});
    }
    return rows;
}

// The rows of the symbol map that belong to module.
std::multiset<SymbolRow> mapped_symbols(const std::string& map, const std::string& module)
{
    std::multiset<SymbolRow> rows;
    std::istringstream lines(map);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream in(line);
        std::string address, size, type, bind, file, section, name;
        if (in >> address >> size >> type >> bind >> file >> section >> name && file == module)
            rows.insert({static_cast<uint32_t>(std::stoul(address, nullptr, 16)),
                         static_cast<uint32_t>(std::stoul(size)), type, bind, name});
    }
    return rows;
}

// Every module's rows against readelf -s of the module, from one symbol map.
TEST(MapDebug, SymbolsAreThoseReadelfLists)
{
    const tb::RunResult r = Example().map({"--symbols"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, testing::StartsWith("Symbols: 92\n"));
    // A name that several modules define is marked.
    EXPECT_THAT(r.out, HasSubstr("\n  0x00020000  36          FUNC    GLOBAL  " + bin +
                                 "vo.elf       .text    _start  (in 7 modules)\n"));
    EXPECT_THAT(r.out,
                HasSubstr("\n  0x00028004  12          OBJECT  GLOBAL  " + bin + "vo.elf       .data    vo_state\n"));
    for (const char* module : {"kernel.elf", "quenlor.elf", "vo.elf", "zu.elf", "gul.elf", "rak.elf", "tej.elf"}) {
        SCOPED_TRACE(module);
        EXPECT_EQ(mapped_symbols(r.out, bin + module), readelf_symbols(bin + module));
    }
}

// Names and paths are the modules' and the user's: none may end a line of
// the command file, start one, or end a comment in the backslash that would
// continue it over the next command. Nor may stale modules explain an image.
TEST(MapDebug, HostileNamesAddNoCommandAndStaleModulesNoSymbols)
{
    tb::TempDir dir;
    tb::Module e = tb::typical(0x2000, 5, 0x400), f = tb::typical(0x3000, 7, 0x200);
    for (tb::Module* m : {&e, &f}) {
        const uint32_t data = m->sections[1].addr;
        m->symbols.push_back({"x\nshell touch pwned", data, 2});
        m->symbols.push_back({"y\\", data + 4, 2});
    }
    const std::string e_path = dir.write("e \"1\\.elf", e), f_path = dir.write("f.elf", f);
    const std::string image = dir.path("out.elf"), commands = dir.path("out.gdb");
    ASSERT_EQ(tb::run_tool({"-e", e_path, "-f", f_path, "-o", image}).status, 0);
    const tb::RunResult r = run_map({"--gdb", commands, image, "--", "-e", e_path, "-f", f_path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(text_of(commands),
              "# GDB commands for " + image + ", written by elf-merge-map --gdb: the symbols of\n"
              "# every module at the addresses its own sections give. No target and no byte\n"
              "# order are set: first \"set endian little\" under QEMU's BE32 model or \"set endian\n"
              "# big\" for a board, then this file, then \"target remote HOST:PORT\".\n"
              "set confirm off\nset pagination off\n"
              "file \"" + dir.path("e \\\"1\\\\.elf") + "\"\n"
              "add-symbol-file \"" + f_path + "\"\n"
              "# Names defined in more than one module: \"break NAME\" stops in each of them and\n"
              "# \"print &NAME\" finds the first file's; \"break *ADDRESS\" picks one.\n"
              "#   _initPriority at 0x00002100 (" + dir.path("e \"1\\\\.elf") + "), 0x00003100 (" + f_path + ")\n"
              "#   _initStack at 0x00002200 (" + dir.path("e \"1\\\\.elf") + "), 0x00003200 (" + f_path + ")\n"
              "#   _initStackSize at 0x00002104 (" + dir.path("e \"1\\\\.elf") + "), 0x00003104 (" + f_path + ")\n"
              "#   x\\nshell touch pwned at 0x00002100 (" + dir.path("e \"1\\\\.elf") + "), 0x00003100 (" + f_path +
                  ")\n"
              "#   y\\\\ at 0x00002104 (" + dir.path("e \"1\\\\.elf") + "), 0x00003104 (" + f_path + ")\n");

    // In the symbol map too; at one address, rows go by name.
    const std::string rows = run_map({"--symbols", image, "--", "-e", e_path, "-f", f_path}).out;
    EXPECT_THAT(rows, HasSubstr("\n  0x00002100  4           OBJECT  GLOBAL  " + dir.path("e \"1\\\\.elf") +
                                "  .data    _initPriority  (in 2 modules)\n  0x00002100  4           OBJECT  GLOBAL  " +
                                dir.path("e \"1\\\\.elf") + "  .data    x\\nshell touch pwned  (in 2 modules)\n"));

    // Modules that do not make the image explain nothing: here -e and -f
    // are swapped, and the image starts at the other module's entry point.
    const tb::RunResult stale = run_map({"--symbols", image, "--", "-e", f_path, "-f", e_path});
    EXPECT_EQ(stale.status, 1);
    EXPECT_EQ(stale.out, "");
    EXPECT_EQ(stale.err,
              image + ": compared with elf-merge's output: header e_entry is 0x00002000, expected 0x00003000\n");

    // A path that holds a newline cannot be named at all.
    const std::string newline = dir.write("n\nl.elf", f);
    ASSERT_EQ(tb::run_tool({"-f", newline, "-o", image}).status, 0);
    const tb::RunResult refused = run_map({"--gdb", dir.path("n.gdb"), image, "--", "-f", newline});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, dir.path("n\\nl.elf") + ": a GDB command cannot name a path that holds a newline\n");
    EXPECT_FALSE(tb::file_exists(dir.path("n.gdb")));
}

// GDB stops at a command it cannot carry out and loads no later module: a
// module read through a pipe or a descriptor is a comment instead.
TEST(MapDebug, ModulesReadThroughADescriptorAreACommentNotACommand)
{
    const Firmware fw;
    ASSERT_EQ(tb::run_tool({"-e", fw.e, "-f", fw.f, "-o", fw.image}).status, 0);
    struct Case {
        std::string shell, module;
    };
    const Case cases[] = {
        {"exec \"$0\" \"$@\" 3<'" + fw.f + "'", "/dev/fd/3"},
        {"cat '" + fw.f + "' | exec \"$0\" \"$@\"", "/dev/stdin"},
    };
    for (const Case& c : cases) {
        const std::string commands = fw.dir.path("out.gdb");
        const tb::RunResult r = run_map_in_shell(c.shell, {"--gdb", commands, fw.image, "--", "-e", fw.e, "-f", c.module});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_THAT(text_of(commands), HasSubstr("set pagination off\nfile \"" + fw.e + "\"\n# " + c.module +
                                                 " names no file GDB can open again (a pipe, a device or a\n"
                                                 "# descriptor): its symbols are not loaded.\n# Names"))
            << c.module;
    }
}

// A symbol is listed, and explains an address, only under the section that
// holds it: a reserved index names no section even in a module of as many
// sections as that index, and a value outside its own section is no part of
// it. Sections 65521 (SHN_ABS) and 65535 (SHN_XINDEX) are allocated here.
TEST(MapDebug, SymbolsAreListedOnlyInsideTheSectionThatHoldsThem)
{
    tb::TempDir dir;
    tb::Module m = tb::typical(0x2000, 5, 0x400);
    m.sections.resize(65537, {"", tb::PROGBITS, 0, 0, 1, {}, 0});
    m.sections[65520] = {"abs", tb::PROGBITS, tb::ALLOC, 0x8000, 4, tb::ramp(16), 0};
    m.sections[65534] = {"xindex", tb::PROGBITS, tb::ALLOC, 0x9000, 4, tb::ramp(16), 0};
    struct Case {
        tb::Symbol symbol;
        std::string listed; // its row's end in --symbols, or "" when it is not listed
    };
    const Case cases[] = {
        {{"in_text", 0x2004, 1}, ".text    in_text\n"},
        {{"abs", 0x8008, 0xFFF1}, ""},
        {{"xindex", 0x9008, 0xFFFF}, ""},
        {{"outside_text", 0x2100, 1}, ""},
        {{"at_text_end", 0x2010, 1}, ""},
    };
    for (const Case& c : cases)
        m.symbols.push_back(c.symbol);
    const std::string e = dir.write("e.elf", m), image = dir.path("out.elf");
    ASSERT_EQ(tb::run_tool({"-e", e, "-o", image}).status, 0);
    const std::string listing = run_map({"--symbols", image, "--", "-e", e}).out;
    for (const Case& c : cases)
        EXPECT_EQ(listing.find(c.listed.empty() ? "  " + c.symbol.name + "\n" : c.listed) != std::string::npos,
                  !c.listed.empty())
            << c.symbol.name;
    // Sections numbered into the reserved range are more than libelf reads.
    const tb::RunResult where = run_map({"--where", "8008,9008,2100", image, "--", "-e", e});
    const std::string no_lines = "; no line information (invalid ELF file)\n";
    EXPECT_EQ(where.out, "0x00008008: run and load address in segment 3 (section 65521 (abs) of " + e + "): " + e +
                             " abs+0x8" + no_lines + "0x00009008: run and load address in segment 4 (section 65535 "
                             "(xindex) of " + e + "): " + e + " xindex+0x8" + no_lines +
                             "0x00002100: run and load address in segment 1 (section 2 (.data) of " + e + "): " + e +
                             " .data+0x0 _initPriority+0x0" + no_lines);
}

} // namespace

// The session's skip is ctest's: exit status 77.
int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    const int status = RUN_ALL_TESTS();
    return status == 0 && skipped_for_tools ? 77 : status;
}
