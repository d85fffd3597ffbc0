// elf-merge-map: prints the map of an image that elf-merge wrote (header,
// mode, Shared Data segment, the modules the note describes, segments with
// their slots and, given the module options, the sections they hold), as
// text or JSON, and with --check verifies the image.
#include "map.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <iostream>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

struct MAP_OPTIONS {
    bool json = false;
    bool check = false;
    std::string image;
    bool with_modules = false;
    std::vector<std::string> module_args;
};

const char* usage_text =
    "usage: elf-merge-map [--json] [--check] IMAGE [-- MODULE OPTIONS AS GIVEN TO elf-merge]\n"
    "  --json     print the map as one JSON document\n"
    "  --check    verify the image; one line per violation on standard error\n"
    "  -h, --help     print this message\n"
    "  -V, --version  print the version\n"
    "After \"--\", the module options of the elf-merge run that wrote IMAGE name\n"
    "the file and section behind every segment and let --check compare the\n"
    "image with its modules.\n";

[[noreturn]] void usage_error(const std::string& why)
{
    std::cerr << "elf-merge-map: " << why << "\n" << usage_text;
    std::exit(1);
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

MAP_OPTIONS parse_command_line(int argc, char** argv)
{
    MAP_OPTIONS options;
    split_module_args(argc, argv, options);
    static const option longs[] = {{"json", no_argument, nullptr, 'j'},
                                   {"check", no_argument, nullptr, 'c'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, "hV", longs, nullptr)) != -1) {
        if (letter == 'j')
            options.json = true;
        else if (letter == 'c')
            options.check = true;
        else if (letter == 'h')
            std::cout << usage_text, std::exit(0);
        else if (letter == 'V')
            std::cout << "elf-merge-map " ELF_MERGE_VERSION "\n", std::exit(0);
        else
            usage_error(std::string("unknown option ") + argv[optind - 1]);
    }
    if (optind != argc - 1)
        usage_error(optind >= argc ? "no IMAGE given" : "one IMAGE only");
    options.image = argv[optind];
    return options;
}

[[noreturn]] void image_error(const std::string& path, const std::string& why)
{
    std::cerr << path << ": " << why << "\n";
    std::exit(1);
}

std::vector<uint8_t> read_image_file(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        image_error(path, std::string("cannot open -- ") + std::strerror(errno));
    std::vector<uint8_t> bytes;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed)
        image_error(path, std::string("cannot read -- ") + std::strerror(errno));
    return bytes;
}

int report_violations(const std::string& path, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        std::cerr << path << ": " << line << "\n";
    return lines.empty() ? 0 : 1;
}

int run_checks(const MAP_OPTIONS& options, const MAP_IMAGE& image, const MODULE_SET& set)
{
    std::vector<std::string> lines = check_image(image, set);
    if (set.given) {
        const std::vector<std::string> more = check_against_modules(image, set);
        lines.insert(lines.end(), more.begin(), more.end());
    }
    const int status = report_violations(options.image, lines);
    if (status == 0 && !options.json)
        std::cout << options.image << ": all checks hold\n";
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    const MAP_OPTIONS options = parse_command_line(argc, argv);
    const std::vector<uint8_t> bytes = read_image_file(options.image);

    // An image that cannot be read is reported before any module is.
    MAP_IMAGE image;
    const std::vector<std::string> faults = parse_image(bytes.data(), bytes.size(), image);
    if (!faults.empty())
        return report_violations(options.image, options.check ? faults : std::vector<std::string>{faults[0]});

    MODULE_SET set;
    if (options.with_modules) {
        const std::string fault = load_modules(options.module_args, set);
        if (!fault.empty())
            usage_error(fault);
    }

    if (options.json)
        write_json_report(std::cout, options.image, image, set);
    else if (!options.check)
        write_text_report(std::cout, options.image, image, set);
    const int status = options.check ? run_checks(options, image, set) : 0;
    release_modules(set);
    return status;
}
