// SPDX-License-Identifier: MIT
// elf-merge-map's command line: one action (the map, --check, --diff, --svg,
// -O, --gdb, --where or --symbols), what goes with it, the image files, and
// after "--" the module options of the elf-merge run, which elf-merge's own
// reader takes.
#include "map.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <iostream>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

const char* usage_text =
    "usage: elf-merge-map [--json] [--check] IMAGE [-- MODULE OPTIONS AS GIVEN TO elf-merge]\n"
    "       elf-merge-map --diff [--json] OLD NEW [-- MODULE OPTIONS]\n"
    "       elf-merge-map --svg FILE IMAGE [-- MODULE OPTIONS]\n"
    "       elf-merge-map -O FORMAT [--gap-fill BYTE] [--load-region NAME=START:SIZE] IMAGE OUTPUT\n"
    "       elf-merge-map --gdb FILE IMAGE -- MODULE OPTIONS\n"
    "       elf-merge-map --where ADDRESS[,ADDRESS...] [--json] IMAGE [-- MODULE OPTIONS]\n"
    "       elf-merge-map --symbols [--json] IMAGE -- MODULE OPTIONS\n"
    "       elf-merge-map --symbolize [--json] IMAGE [-- MODULE OPTIONS] <LOG\n"
    "  --json     print the map as one JSON document\n"
    "  --check    verify the image; one line per violation on standard error\n"
    "  --region NAME=START:SIZE  a memory that holds segments by run address\n"
    "             (hexadecimal, or decimal followed by K or M; repeatable): a\n"
    "             usage table, and --check fails a segment outside every region\n"
    "             and a region over its size\n"
    "  --load-region NAME=START:SIZE  the same for load addresses; with -O, the\n"
    "             one memory whose bytes are written, from its START\n"
    "  --sha256 HEX  with --check: the SHA-256 that the image must have\n"
    "  --diff     list what changed from OLD to NEW; exit status 0 when they are\n"
    "             identical, 1 when they differ, 2 on trouble\n"
    "  --svg FILE write a picture of the address space to FILE as SVG\n"
    "  -O FORMAT  write the bytes that a loader stores to OUTPUT as a flash image:\n"
    "             binary, ihex (Intel HEX) or srec (Motorola S-records)\n"
    "  --gap-fill BYTE  the value of the bytes between load ranges in a binary\n"
    "             (decimal, or hexadecimal after 0x; default 0)\n"
    "  --gdb FILE write a GDB command file that loads every module's symbols\n"
    "  --where ADDRESS[,ADDRESS...]  name the segment of each address (hexadecimal)\n"
    "             and with modules its file, section and nearest symbol; exit\n"
    "             status 1 when one is not in the image\n"
    "  --symbols  list every module's functions and objects by address\n"
    "  --symbolize  copy a log from standard input, adding after each line what\n"
    "             --where says of every address in it (0x and 1 to 8 hex digits,\n"
    "             or 8 hex digits alone); with --json, JSON Lines only\n"
    "  -h, --help     print this message\n"
    "  -V, --version  print the version\n"
    "After \"--\", the module options of the elf-merge run that wrote IMAGE (with\n"
    "--diff, NEW) name the file and section behind every segment and let --check\n"
    "compare the image with its modules.\n";

// Every usage error is one line, then the usage text; --diff ends it as
// trouble.
[[noreturn]] void usage_error(const std::string& why)
{
    std::cerr << "elf-merge-map: " << printable(why) << "\n" << usage_text;
    std::exit(process.fatal_status);
}

[[noreturn]] void print_and_exit(const char* text)
{
    std::cout << text;
    std::exit(0);
}

// "binary", "ihex" or "srec", as objcopy names them.
FLASH_FORMAT flash_format(const std::string& name)
{
    if (name == "binary")
        return FLASH_FORMAT::binary;
    if (name == "ihex")
        return FLASH_FORMAT::ihex;
    if (name == "srec")
        return FLASH_FORMAT::srec;
    usage_error("-O " + name + ": the formats are binary, ihex and srec");
}

// A byte in decimal, or in hexadecimal after "0x".
uint8_t gap_fill_byte(const std::string& text)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    unsigned value = 0;
    const auto [end, fault] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || end != last || fault != std::errc() || value > 0xFF)
        usage_error("--gap-fill " + text + ": not a byte (0 to 255, or 0x00 to 0xFF)");
    return static_cast<uint8_t>(value);
}

void add_region(MAP_OPTIONS& options, REGION_KIND kind, const char* option, const char* text)
{
    REGION region;
    const std::string why = parse_region(text, kind, region);
    if (!why.empty())
        usage_error(std::string(option) + " " + text + ": " + why);
    options.regions.push_back(region);
}

// 64 hexadecimal digits, kept in lower case as sha256_hex writes them.
std::string sha256_digest(const std::string& text)
{
    std::string digest;
    for (const char c : text)
        digest += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    if (digest.size() != 64 || digest.find_first_not_of("0123456789abcdef") != std::string::npos)
        usage_error("--sha256 " + text + ": not a SHA-256 digest (64 hexadecimal digits)");
    return digest;
}

// --diff decides the exit status of every failure, so it is looked for
// before any option is read; getopt_long takes any unambiguous abbreviation.
bool asks_for_diff(int argc, char** argv)
{
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string_view word = argv[i];
        if (word.size() >= 3 && std::string_view("--diff").starts_with(word))
            return true;
    }
    return false;
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

bool debugging(MAP_ACTION action)
{
    return action == MAP_ACTION::gdb || action == MAP_ACTION::where || action == MAP_ACTION::symbols ||
           action == MAP_ACTION::symbolize;
}

// -O, --svg, --diff and the debugging actions each stand on their own.
void choose_action(MAP_OPTIONS& options, MAP_ACTION action)
{
    if (options.action != MAP_ACTION::map && options.action != action)
        usage_error(debugging(action) || debugging(options.action)
                        ? "--gdb, --where, --symbols and --symbolize go alone, without -O, --svg, --diff or each other"
                        : "-O, --svg and --diff go one at a time");
    options.action = action;
}

// Hexadecimal addresses, written as for -s, separated by commas.
std::vector<uint32_t> addresses(const std::string& text)
{
    std::vector<uint32_t> list;
    for (size_t start = 0; start <= text.size();) {
        const size_t comma = std::min(text.find(',', start), text.size());
        uint32_t address;
        if (!parse_hex(text.substr(start, comma - start).c_str(), address))
            usage_error("--where " + text + ": each ADDRESS is hexadecimal, at most FFFFFFFF");
        list.push_back(address);
        start = comma + 1;
    }
    return list;
}

void read_option(MAP_OPTIONS& options, int letter, char** argv)
{
    switch (letter) {
    case 'j':
        options.json = true;
        return;
    case 'c':
        options.check = true;
        return;
    case 'r':
        return add_region(options, REGION_KIND::run, "--region", optarg);
    case 'l':
        return add_region(options, REGION_KIND::load, "--load-region", optarg);
    case 's':
        options.sha256 = sha256_digest(optarg);
        return;
    case 'd':
        return choose_action(options, MAP_ACTION::diff);
    case 'G':
        choose_action(options, MAP_ACTION::svg);
        options.svg = optarg;
        return;
    case 'O':
        choose_action(options, MAP_ACTION::flash);
        options.flash_settings.format = flash_format(optarg);
        return;
    case 'g':
        options.gap_fill_given = true, options.flash_settings.gap_fill = gap_fill_byte(optarg);
        return;
    case 'B':
        options.gdb = optarg;
        return choose_action(options, MAP_ACTION::gdb);
    case 'w':
        options.addresses = addresses(optarg);
        return choose_action(options, MAP_ACTION::where);
    case 'y':
        return choose_action(options, MAP_ACTION::symbols);
    case 'Y':
        return choose_action(options, MAP_ACTION::symbolize);
    case 'h':
        print_and_exit(usage_text);
    case 'V':
        print_and_exit("elf-merge-map " ELF_MERGE_VERSION "\n");
    case ':':
        usage_error(std::string(argv[optind - 1]) + " needs a value");
    }
    usage_error(std::string("unknown option ") + argv[optind - 1]);
}

// -O writes one memory device, which a load region names.
void check_flash_region(const std::vector<REGION>& regions)
{
    if (std::any_of(regions.begin(), regions.end(), [](const REGION& r) { return r.kind == REGION_KIND::run; }))
        usage_error("-O takes --load-region, not --region");
    if (regions.size() > 1)
        usage_error("-O takes one --load-region");
}

// The symbols come from the modules; --where names segments without them.
void check_debugging(const MAP_OPTIONS& options)
{
    const MAP_ACTION action = options.action;
    if (action == MAP_ACTION::gdb && (options.json || options.check))
        usage_error("--gdb takes neither --json nor --check");
    if ((action == MAP_ACTION::where || action == MAP_ACTION::symbols || action == MAP_ACTION::symbolize) &&
        options.check)
        usage_error("--where, --symbols and --symbolize take no --check");
    if (action == MAP_ACTION::gdb && !options.with_modules)
        usage_error("--gdb needs the module options after --");
    if (action == MAP_ACTION::symbols && !options.with_modules)
        usage_error("--symbols needs the module options after --");
}

// What goes with which action; the first rule broken is reported.
void check_combination(const MAP_OPTIONS& options)
{
    const MAP_ACTION action = options.action;
    // HEX and S-record files hold nothing between the load ranges.
    if (options.gap_fill_given && !(action == MAP_ACTION::flash && options.flash_settings.format == FLASH_FORMAT::binary))
        usage_error("--gap-fill needs -O binary");
    if (!options.sha256.empty() && !options.check)
        usage_error("--sha256 needs --check");
    if (action == MAP_ACTION::flash)
        check_flash_region(options.regions);
    else if (!options.regions.empty() && action != MAP_ACTION::map)
        usage_error("--region and --load-region go with the map and --check");
    if (action == MAP_ACTION::flash && (options.json || options.check || options.with_modules))
        usage_error("-O takes neither --json, --check nor module options");
    if (action == MAP_ACTION::svg && (options.json || options.check))
        usage_error("--svg takes neither --json nor --check");
    if (action == MAP_ACTION::diff && options.check)
        usage_error("--diff takes no --check");
    check_debugging(options);
}

// IMAGE, or OLD NEW with --diff, or IMAGE OUTPUT with -O.
void take_files(MAP_OPTIONS& options, int count, char** files)
{
    if (options.action == MAP_ACTION::flash && count != 2)
        usage_error("-O writes one IMAGE to one OUTPUT");
    if (options.action == MAP_ACTION::diff && count != 2)
        usage_error("--diff compares one OLD image with one NEW image");
    if (options.action != MAP_ACTION::flash && options.action != MAP_ACTION::diff && count != 1)
        usage_error(count == 0 ? "no IMAGE given" : "one IMAGE only");
    options.image = files[0];
    if (count == 2)
        options.second = files[1];
}

} // namespace

MAP_OPTIONS parse_command_line(int argc, char** argv)
{
    MAP_OPTIONS options;
    // diff(1) ends in trouble with status 2, whatever the trouble is.
    if (asks_for_diff(argc, argv))
        process.fatal_status = 2;
    split_module_args(argc, argv, options);
    static const option longs[] = {{"json", no_argument, nullptr, 'j'},
                                   {"check", no_argument, nullptr, 'c'},
                                   {"region", required_argument, nullptr, 'r'},
                                   {"load-region", required_argument, nullptr, 'l'},
                                   {"sha256", required_argument, nullptr, 's'},
                                   {"diff", no_argument, nullptr, 'd'},
                                   {"svg", required_argument, nullptr, 'G'},
                                   {"gap-fill", required_argument, nullptr, 'g'},
                                   {"gdb", required_argument, nullptr, 'B'},
                                   {"where", required_argument, nullptr, 'w'},
                                   {"symbols", no_argument, nullptr, 'y'},
                                   {"symbolize", no_argument, nullptr, 'Y'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, ":hVO:", longs, nullptr)) != -1)
        read_option(options, letter, argv);
    check_combination(options);
    take_files(options, argc - optind, argv + optind);
    return options;
}

[[noreturn]] void report_module_options_fault(const std::string& why)
{
    usage_error(why);
}
