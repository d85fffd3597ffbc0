// SPDX-License-Identifier: MIT
// elf-merge-map's command line: one action (the map, --check, --diff, --svg,
// -O, --gdb, --where or --symbols), what goes with it, the image files, and
// after "--" the module options of the elf-merge run, which elf-merge's own
// reader takes.
#include "map.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

// What an option's value is, as --list-options names it for the shell's
// completion: "flag" (none), "file", "number" or "text" (typed, never a
// file), or the words it is one of, joined by "|".
constexpr const char* flag = "flag";

// The flash formats, named as objcopy names them.
struct FORMAT_NAME {
    const char* name;
    FLASH_FORMAT format;
};
constexpr FORMAT_NAME flash_formats[] = {
    {"binary", FLASH_FORMAT::binary}, {"ihex", FLASH_FORMAT::ihex}, {"srec", FLASH_FORMAT::srec}};

// The words of -O's value: "binary|ihex|srec".
std::string format_words()
{
    std::string words;
    for (const FORMAT_NAME& f : flash_formats) {
        if (!words.empty())
            words += '|';
        words += f.name;
    }
    return words;
}

constexpr int LIST_OPTION_VALUE = 256;

// One option of the map: its names, the value getopt_long returns for it,
// the kind of its value and its lines of the usage text.
struct MAP_OPTION {
    const char* long_name; // null: a letter only
    char letter;           // 0: a long name only
    int value;
    const char* kind; // null for -O: the flash formats
    const char* help; // null: no line in the usage text
};

constexpr MAP_OPTION map_options[] = {
    {"json", 0, 'j', flag, "  --json     print the map as one JSON document\n"},
    {"check", 0, 'c', flag, "  --check    verify the image; one line per violation on standard error\n"},
    {"region", 0, 'r', "text",
     "  --region NAME=START:SIZE  a memory that holds segments by run address\n"
     "             (hexadecimal, or decimal followed by K or M; repeatable): a\n"
     "             usage table, and --check fails a segment outside every region\n"
     "             and a region over its size\n"},
    {"load-region", 0, 'l', "text",
     "  --load-region NAME=START:SIZE  the same for load addresses; with -O, the\n"
     "             one memory whose bytes are written, from its START\n"},
    {"sha256", 0, 's', "text", "  --sha256 HEX  with --check: the SHA-256 that the image must have\n"},
    {"diff", 0, 'd', flag,
     "  --diff     list what changed from OLD to NEW; exit status 0 when they are\n"
     "             identical, 1 when they differ, 2 on trouble\n"},
    {"svg", 0, 'G', "file", "  --svg FILE write a picture of the address space to FILE as SVG\n"},
    {nullptr, 'O', 'O', nullptr,
     "  -O FORMAT  write the bytes that a loader stores to OUTPUT as a flash image:\n"
     "             binary, ihex (Intel HEX) or srec (Motorola S-records)\n"},
    {"gap-fill", 0, 'g', "number",
     "  --gap-fill BYTE  the value of the bytes between load ranges in a binary\n"
     "             (decimal, or hexadecimal after 0x; default 0)\n"},
    {"gdb", 0, 'B', "file", "  --gdb FILE write a GDB command file that loads every module's symbols\n"},
    {"debug-elf", 0, 'E', "file",
     "  --debug-elf OUTPUT  write IMAGE with every module's sections and symbols\n"
     "             added, for objdump, nm and debuggers\n"},
    {"where", 0, 'w', "number",
     "  --where ADDRESS[,ADDRESS...]  name the segment of each address (hexadecimal)\n"
     "             and with modules its file, section and nearest symbol; exit\n"
     "             status 1 when one is not in the image\n"},
    {"symbols", 0, 'y', flag, "  --symbols  list every module's functions and objects by address\n"},
    {"symbolize", 0, 'Y', flag,
     "  --symbolize  copy a log from standard input, adding after each line what\n"
     "             --where says of every address in it (0x and 1 to 8 hex digits,\n"
     "             or 8 hex digits alone); with --json, JSON Lines only\n"},
    {"help", 'h', 'h', flag, "  -h, --help     print this message\n"},
    {"version", 'V', 'V', flag, "  -V, --version  print the version\n"},
    {"list-options", 0, LIST_OPTION_VALUE, flag, nullptr},
};

// One action of the map: the option that asks for it, its line of the
// usage text, and what goes with it. The map itself is asked for by no
// option (value 0).
enum class REGIONS { any, one_load, none };
enum class MODULES { refused, optional, required };

struct MAP_ACTION_ROW {
    MAP_ACTION action;
    int value;        // of the option that asks for it
    const char* name; // as messages name it
    const char* synopsis;
    bool debugging; // --gdb, --debug-elf, --where, --symbols and --symbolize go alone
    bool json, check;
    REGIONS regions;
    MODULES modules;
    const char* refusal; // --json, --check or module options given and not taken
    const char* two_files; // the two files it takes; null: one IMAGE
};

constexpr MAP_ACTION_ROW map_actions[] = {
    {MAP_ACTION::map, 0, "", "[--json] [--check] IMAGE [-- MODULE OPTIONS AS GIVEN TO elf-merge]", false, true, true,
     REGIONS::any, MODULES::optional, nullptr, nullptr},
    {MAP_ACTION::diff, 'd', "--diff", "--diff [--json] OLD NEW [-- MODULE OPTIONS]", false, true, false, REGIONS::none,
     MODULES::optional, "--diff takes no --check", "--diff compares one OLD image with one NEW image"},
    {MAP_ACTION::svg, 'G', "--svg", "--svg FILE IMAGE [-- MODULE OPTIONS]", false, false, false, REGIONS::none,
     MODULES::optional, "--svg takes neither --json nor --check", nullptr},
    {MAP_ACTION::flash, 'O', "-O", "-O FORMAT [--gap-fill BYTE] [--load-region NAME=START:SIZE] IMAGE OUTPUT", false,
     false, false, REGIONS::one_load, MODULES::refused, "-O takes neither --json, --check nor module options",
     "-O writes one IMAGE to one OUTPUT"},
    {MAP_ACTION::gdb, 'B', "--gdb", "--gdb FILE IMAGE -- MODULE OPTIONS", true, false, false, REGIONS::none,
     MODULES::required, "--gdb takes neither --json nor --check", nullptr},
    {MAP_ACTION::debug_elf, 'E', "--debug-elf", "--debug-elf OUTPUT IMAGE -- MODULE OPTIONS", true, false, false,
     REGIONS::none, MODULES::required, "--debug-elf takes neither --json nor --check", nullptr},
    {MAP_ACTION::where, 'w', "--where", "--where ADDRESS[,ADDRESS...] [--json] IMAGE [-- MODULE OPTIONS]", true, true,
     false, REGIONS::none, MODULES::optional, "--where and --symbols take no --check", nullptr},
    {MAP_ACTION::symbols, 'y', "--symbols", "--symbols [--json] IMAGE -- MODULE OPTIONS", true, true, false,
     REGIONS::none, MODULES::required, "--where and --symbols take no --check", nullptr},
    {MAP_ACTION::symbolize, 'Y', "--symbolize", "--symbolize [--json] IMAGE [-- MODULE OPTIONS] <LOG", true, true,
     false, REGIONS::none, MODULES::optional, "--symbolize takes no --check", nullptr},
};

const MAP_ACTION_ROW& row_of(MAP_ACTION action)
{
    return *std::find_if(std::begin(map_actions), std::end(map_actions),
                         [action](const MAP_ACTION_ROW& a) { return a.action == action; });
}

// Every action's synopsis, every option's lines, then what the module
// options are for.
std::string make_usage_text()
{
    std::string text;
    for (const MAP_ACTION_ROW& a : map_actions)
        text += (text.empty() ? "usage: " : "       ") + std::string("elf-merge-map ") + a.synopsis + "\n";
    for (const MAP_OPTION& o : map_options)
        if (o.help)
            text += o.help;
    return text + "After \"--\", the module options of the elf-merge run that wrote IMAGE (with\n"
                  "--diff, NEW) name the file and section behind every segment and let --check\n"
                  "compare the image with its modules.\n";
}

bool takes_value(const MAP_OPTION& o)
{
    return o.kind != flag;
}

std::string kind_of(const MAP_OPTION& o)
{
    return o.kind ? o.kind : format_words();
}

// getopt's string: ":" first, so that a missing value is told from an
// unknown option, then each letter, followed by ":" when it takes a value.
std::string make_short_options()
{
    std::string text = ":";
    for (const MAP_OPTION& o : map_options)
        if (o.letter)
            text += takes_value(o) ? std::string{o.letter, ':'} : std::string{o.letter};
    return text;
}

std::vector<option> make_long_options()
{
    std::vector<option> table;
    for (const MAP_OPTION& o : map_options)
        if (o.long_name)
            table.push_back({o.long_name, takes_value(o) ? required_argument : no_argument, nullptr, o.value});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// Every option, short forms first, as elf-merge --list-options lists its own.
std::string make_option_kinds()
{
    std::string text;
    for (const MAP_OPTION& o : map_options)
        if (o.letter)
            text += std::string("-") + o.letter + " " + kind_of(o) + "\n";
    for (const MAP_OPTION& o : map_options)
        if (o.long_name && o.value != LIST_OPTION_VALUE)
            text += std::string("--") + o.long_name + " " + kind_of(o) + "\n";
    return text;
}

bool failed(const OPTION_OUTCOME& outcome)
{
    return outcome.effect != OPTION_EFFECT::done;
}

// What ends the run, with its text for standard output.
OPTION_OUTCOME print(OPTION_EFFECT effect, std::string text)
{
    return {effect, std::move(text)};
}

OPTION_OUTCOME flash_format(const std::string& name, FLASH_FORMAT& format)
{
    for (const FORMAT_NAME& f : flash_formats)
        if (name == f.name) {
            format = f.format;
            return {};
        }
    return refused("-O " + name + ": the formats are binary, ihex and srec");
}

// A byte in decimal, or in hexadecimal after "0x".
OPTION_OUTCOME gap_fill_byte(const std::string& text, uint8_t& byte)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    unsigned value = 0;
    const auto [end, fault] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || end != last || fault != std::errc() || value > 0xFF)
        return refused("--gap-fill " + text + ": not a byte (0 to 255, or 0x00 to 0xFF)");
    byte = static_cast<uint8_t>(value);
    return {};
}

OPTION_OUTCOME add_region(MAP_OPTIONS& options, REGION_KIND kind, const char* option, const char* text)
{
    REGION region;
    const LINES why = parse_region(text, kind, region);
    if (!why.empty())
        return refused(std::string(option) + " " + text + ": " + why[0]);
    options.regions.push_back(region);
    return {};
}

// 64 hexadecimal digits, kept in lower case as sha256_hex writes them.
OPTION_OUTCOME sha256_digest(const std::string& text, std::string& digest)
{
    digest.clear();
    for (const char c : text)
        digest += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (digest.size() != 64 || digest.find_first_not_of("0123456789abcdef") != std::string::npos)
        return refused("--sha256 " + text + ": not a SHA-256 digest (64 hexadecimal digits)");
    return {};
}

// Everything after the first "--" belongs to elf-merge's own options.
void split_module_args(int& argc, char** argv, MAP_OPTIONS& options)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") != 0)
            continue;
        options.with_modules = true;
        options.module_args.assign(argv + i + 1, argv + argc);
        argc = i;
        return;
    }
}

// The debugging actions as a list, "--gdb, --where and --symbols", so
// that a new one is named wherever they are.
std::string debugging_actions()
{
    std::vector<const char*> names;
    for (const MAP_ACTION_ROW& a : map_actions)
        if (a.debugging)
            names.push_back(a.name);
    std::string text;
    for (size_t i = 0; i < names.size(); ++i)
        text += std::string(i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return text;
}

// -O, --svg, --diff and the debugging actions each stand on their own.
OPTION_OUTCOME choose_action(MAP_OPTIONS& options, MAP_ACTION action)
{
    if (options.action != MAP_ACTION::map && options.action != action)
        return refused(row_of(action).debugging || row_of(options.action).debugging
                           ? debugging_actions() + " go alone, without -O, --svg, --diff or each other"
                           : "-O, --svg and --diff go one at a time");
    options.action = action;
    return {};
}

// Hexadecimal addresses, written as for -s, separated by commas.
OPTION_OUTCOME addresses(const std::string& text, std::vector<uint32_t>& list)
{
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        uint32_t address;
        if (!parse_hex(text.substr(start, comma - start).c_str(), address))
            return refused("--where " + text + ": each ADDRESS is hexadecimal, at most FFFFFFFF");
        list.push_back(address);
        start = comma + 1;
    }
    return {};
}

// The row of the action that the option asks for, or null.
const MAP_ACTION_ROW* action_asked(int value)
{
    for (const MAP_ACTION_ROW& a : map_actions)
        if (a.value && a.value == value)
            return &a;
    return nullptr;
}

// An action's option and its value. --where reads its value before the
// action is chosen, so that a bad ADDRESS is the fault reported first.
OPTION_OUTCOME read_action(MAP_OPTIONS& options, MAP_ACTION action)
{
    OPTION_OUTCOME outcome;
    switch (action) {
    case MAP_ACTION::svg:
        options.svg = optarg;
        break;
    case MAP_ACTION::flash:
        outcome = choose_action(options, action);
        return failed(outcome) ? outcome : flash_format(optarg, options.flash_settings.format);
    case MAP_ACTION::gdb:
        options.gdb = optarg;
        break;
    case MAP_ACTION::debug_elf:
        options.debug_elf = optarg;
        break;
    case MAP_ACTION::where:
        outcome = addresses(optarg, options.addresses);
        break;
    case MAP_ACTION::map:
    case MAP_ACTION::diff:
    case MAP_ACTION::symbols:
    case MAP_ACTION::symbolize:
        break;
    }
    return failed(outcome) ? outcome : choose_action(options, action);
}

OPTION_OUTCOME read_option(MAP_OPTIONS& options, int letter, char** argv)
{
    if (const MAP_ACTION_ROW* action = action_asked(letter))
        return read_action(options, action->action);
    switch (letter) {
    case 'j':
        options.json = true;
        return {};
    case 'c':
        options.check = true;
        return {};
    case 'r':
        return add_region(options, REGION_KIND::run, "--region", optarg);
    case 'l':
        return add_region(options, REGION_KIND::load, "--load-region", optarg);
    case 's':
        return sha256_digest(optarg, options.sha256);
    case 'g':
        options.gap_fill_given = true;
        return gap_fill_byte(optarg, options.flash_settings.gap_fill);
    case 'h':
        return print(OPTION_EFFECT::long_help, map_usage_text());
    case 'V':
        return print(OPTION_EFFECT::version, "elf-merge-map " ELF_MERGE_VERSION "\n");
    case LIST_OPTION_VALUE:
        return print(OPTION_EFFECT::list, make_option_kinds());
    case ':':
        return refused(std::string(argv[optind - 1]) + " needs a value");
    }
    return refused(std::string("unknown option ") + argv[optind - 1]);
}

// -O writes one memory device, which a load region names.
OPTION_OUTCOME check_flash_region(const std::vector<REGION>& regions)
{
    if (std::any_of(regions.begin(), regions.end(), [](const REGION& r) { return r.kind == REGION_KIND::run; }))
        return refused("-O takes --load-region, not --region");
    if (regions.size() > 1)
        return refused("-O takes one --load-region");
    return {};
}

// Where the options given go with no action, or with another.
OPTION_OUTCOME check_regions(const MAP_OPTIONS& options, const MAP_ACTION_ROW& action)
{
    if (action.regions == REGIONS::one_load)
        return check_flash_region(options.regions);
    if (!options.regions.empty() && action.regions == REGIONS::none)
        return refused("--region and --load-region go with the map and --check");
    return {};
}

// What goes with which action; the first rule broken is reported.
OPTION_OUTCOME check_combination(const MAP_OPTIONS& options)
{
    const MAP_ACTION_ROW& action = row_of(options.action);
    // HEX and S-record files hold nothing between the load ranges.
    if (options.gap_fill_given &&
        !(action.action == MAP_ACTION::flash && options.flash_settings.format == FLASH_FORMAT::binary))
        return refused("--gap-fill needs -O binary");
    if (!options.sha256.empty() && !options.check)
        return refused("--sha256 needs --check");
    if (const OPTION_OUTCOME outcome = check_regions(options, action); failed(outcome))
        return outcome;
    if ((options.json && !action.json) || (options.check && !action.check) ||
        (options.with_modules && action.modules == MODULES::refused))
        return refused(action.refusal);
    // The symbols come from the modules.
    if (action.modules == MODULES::required && !options.with_modules)
        return refused(action.name + std::string(" needs the module options after --"));
    return {};
}

// IMAGE, or the two files of --diff and -O.
OPTION_OUTCOME take_files(MAP_OPTIONS& options, int count, char** files)
{
    const MAP_ACTION_ROW& action = row_of(options.action);
    if (action.two_files && count != 2)
        return refused(action.two_files);
    if (!action.two_files && count != 1)
        return refused(count == 0 ? "no IMAGE given" : "one IMAGE only");
    options.image = files[0];
    if (count == 2)
        options.second = files[1];
    return {};
}

} // namespace

const std::string& map_usage_text()
{
    static const std::string text = make_usage_text();
    return text;
}

bool asks_for_diff(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string_view word = argv[i];
        if (word.size() >= 3 && std::string_view("--diff").starts_with(word))
            return true;
    }
    return false;
}

OPTION_OUTCOME parse_command_line(int argc, char** argv, MAP_OPTIONS& options)
{
    split_module_args(argc, argv, options);
    static const std::string short_options = make_short_options();
    static const std::vector<option> long_options = make_long_options();
    opterr = 0;
    optind = 0; // getopt starts afresh, whatever read a command line before
    int letter;
    while ((letter = getopt_long(argc, argv, short_options.c_str(), long_options.data(), nullptr)) != -1)
        if (const OPTION_OUTCOME outcome = read_option(options, letter, argv); failed(outcome))
            return outcome;
    if (const OPTION_OUTCOME outcome = check_combination(options); failed(outcome))
        return outcome;
    return take_files(options, argc - optind, argv + optind);
}
