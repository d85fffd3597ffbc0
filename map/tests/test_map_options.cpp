// SPDX-License-Identifier: MIT
// The map's command line, read in-process from its table of actions and
// options: what each action takes, what it refuses, and what ends the run
// before anything is read.
#include "map.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* name;
    std::vector<std::string> args; // after the program's name
    OPTION_EFFECT effect;
    std::string message; // refused: the line; otherwise what is printed, or for done the action's image
};

std::ostream& operator<<(std::ostream& os, const Case& c)
{
    return os << c.name;
}

const std::string listing = "-O binary|ihex|srec\n-h flag\n-V flag\n--json flag\n--check flag\n--region text\n"
                            "--load-region text\n--sha256 text\n--diff flag\n--svg file\n--gap-fill number\n"
                            "--gdb file\n--debug-elf file\n--where number\n--symbols flag\n--symbolize flag\n--help flag\n--version flag\n";
constexpr OPTION_EFFECT done = OPTION_EFFECT::done, refused = OPTION_EFFECT::refused;

const Case cases[] = {
    {"ListOptions", {"--list-options"}, OPTION_EFFECT::list, listing},
    {"Version", {"-V"}, OPTION_EFFECT::version, "elf-merge-map 1.2.0\n"},
    {"MapWithModules", {"--json", "--check", "--region", "r=0:1", "fw.elf", "--", "-k", "k"}, done, "fw.elf"},
    {"DiffTakesJson", {"--diff", "--json", "old", "new"}, done, "old"},
    {"FlashTakesOneLoadRegion", {"-O", "srec", "--load-region", "f=0:1", "fw.elf", "out"}, done, "fw.elf"},
    {"WhereTakesJson", {"--where", "10,20", "--json", "fw.elf"}, done, "fw.elf"},
    {"FormatIsOneOfThree", {"-O", "elf", "fw.elf", "out"}, refused, "-O elf: the formats are binary, ihex and srec"},
    {"RegionNeedsAValue", {"--region"}, refused, "--region needs a value"},
    {"SvgNeedsAValue", {"--svg"}, refused, "--svg needs a value"},
    {"FormatNeedsAValue", {"-O"}, refused, "-O needs a value"},
    {"UnknownOption", {"--bogus", "fw.elf"}, refused, "unknown option --bogus"},
    {"GapFillIsAByte", {"-O", "binary", "--gap-fill", "256", "fw.elf", "out"}, refused,
     "--gap-fill 256: not a byte (0 to 255, or 0x00 to 0xFF)"},
    {"GapFillNeedsBinary", {"-O", "ihex", "--gap-fill", "1", "fw.elf", "out"}, refused, "--gap-fill needs -O binary"},
    {"Sha256NeedsCheck", {"--sha256", std::string(64, 'A'), "fw.elf"}, refused, "--sha256 needs --check"},
    {"FlashRefusesARunRegion", {"-O", "binary", "--region", "r=0:1", "fw.elf", "out"}, refused,
     "-O takes --load-region, not --region"},
    {"FlashTakesOnlyOneRegion", {"-O", "binary", "--load-region", "a=0:1", "--load-region", "b=1:1", "fw.elf", "out"},
     refused, "-O takes one --load-region"},
    {"DiffRefusesRegions", {"--diff", "--region", "r=0:1", "old", "new"}, refused,
     "--region and --load-region go with the map and --check"},
    {"FlashRefusesModules", {"-O", "binary", "fw.elf", "out", "--", "-k", "k"}, refused,
     "-O takes neither --json, --check nor module options"},
    {"SvgRefusesJson", {"--svg", "m.svg", "--json", "fw.elf"}, refused, "--svg takes neither --json nor --check"},
    {"DiffRefusesCheck", {"--diff", "--check", "old", "new"}, refused, "--diff takes no --check"},
    {"GdbRefusesCheck", {"--gdb", "g", "--check", "fw.elf", "--", "-k", "k"}, refused,
     "--gdb takes neither --json nor --check"},
    {"SymbolsRefuseCheck", {"--symbols", "--check", "fw.elf", "--", "-k", "k"}, refused,
     "--where and --symbols take no --check"},
    {"GdbNeedsModules", {"--gdb", "g", "fw.elf"}, refused, "--gdb needs the module options after --"},
    {"ActionsGoOneAtATime", {"--diff", "--svg", "m.svg", "old", "new"}, refused,
     "-O, --svg and --diff go one at a time"},
    {"DebuggingGoesAlone", {"--symbols", "-O", "binary", "fw.elf", "out"}, refused,
     "--gdb, --debug-elf, --where, --symbols and --symbolize go alone, without -O, --svg, --diff or each other"},
    // A bad ADDRESS is reported before the action it asks for.
    {"WhereAddressBeforeTheAction", {"--svg", "m.svg", "--where", "x"}, refused,
     "--where x: each ADDRESS is hexadecimal, at most FFFFFFFF"},
    {"DiffTakesTwoImages", {"--diff", "old"}, refused, "--diff compares one OLD image with one NEW image"},
    {"FlashTakesImageAndOutput", {"-O", "ihex", "fw.elf"}, refused, "-O writes one IMAGE to one OUTPUT"},
    {"MapTakesOneImage", {"a.elf", "b.elf"}, refused, "one IMAGE only"},
    {"MapNeedsAnImage", {"--json"}, refused, "no IMAGE given"},
};

class CommandLine : public testing::TestWithParam<Case> {};

TEST_P(CommandLine, IsReadAsItsTableSays)
{
    const Case& c = GetParam();
    std::vector<std::string> words{"elf-merge-map"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    MAP_OPTIONS options;
    const OPTION_OUTCOME outcome = parse_command_line(static_cast<int>(words.size()), argv.data(), options);
    EXPECT_EQ(outcome.effect, c.effect);
    EXPECT_EQ(c.effect == done ? options.image : outcome.message, c.message);
}

INSTANTIATE_TEST_SUITE_P(Map, CommandLine, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
