// SPDX-License-Identifier: MIT
// elf-merge-map: prints the map of an image that elf-merge wrote (header,
// mode, Shared Data segment, the modules the note describes, segments with
// their slots and, given the module options, the sections they hold, memory
// use by module and by region), as text or JSON; with --check verifies the
// image; with --diff compares two images; with --svg draws the address
// space; with -O writes the bytes a loader stores as a flash image.
#include "map.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <getopt.h>
#include <iostream>
#include <new>
#include <sstream>
#include <sys/stat.h>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

// A 32-bit image cannot describe a file of 4 GiB or more.
constexpr uint64_t IMAGE_LIMIT = uint64_t{1} << 32;

struct MAP_OPTIONS {
    bool json = false;
    bool check = false;
    std::string image; // OLD with --diff
    bool with_modules = false;
    std::vector<std::string> module_args;
    std::vector<REGION> regions;
    std::string sha256; // with --check: the digest the image must have
    bool diff = false;
    std::string new_image; // --diff: NEW
    bool picture = false;  // --svg
    std::string svg;       // the picture's file
    bool flash = false;    // -O
    bool gap_fill_given = false;
    FLASH_SETTINGS flash_settings;
    std::string output;
};

// diff(1) ends in trouble with status 2. A --diff run that does not reach
// its result leaves through exit(), elf-merge's module reader included,
// and end_diff_in_trouble makes that 2.
bool diff_in_progress = false;

void end_diff_in_trouble()
{
    if (diff_in_progress)
        std::_Exit(2);
}

const char* usage_text =
    "usage: elf-merge-map [--json] [--check] IMAGE [-- MODULE OPTIONS AS GIVEN TO elf-merge]\n"
    "       elf-merge-map --diff [--json] OLD NEW [-- MODULE OPTIONS]\n"
    "       elf-merge-map --svg FILE IMAGE [-- MODULE OPTIONS]\n"
    "       elf-merge-map -O FORMAT [--gap-fill BYTE] IMAGE OUTPUT\n"
    "  --json     print the map as one JSON document\n"
    "  --check    verify the image; one line per violation on standard error\n"
    "  --region NAME=START:SIZE  a memory that holds segments by run address\n"
    "             (hexadecimal; repeatable): a usage table, and --check fails a\n"
    "             segment outside every region and a region over its size\n"
    "  --load-region NAME=START:SIZE  the same for load addresses\n"
    "  --sha256 HEX  with --check: the SHA-256 that the image must have\n"
    "  --diff     list what changed from OLD to NEW; exit status 0 when they are\n"
    "             identical, 1 when they differ, 2 on trouble\n"
    "  --svg FILE write a picture of the address space to FILE as SVG\n"
    "  -O FORMAT  write the bytes that a loader stores to OUTPUT as a flash image:\n"
    "             binary, ihex (Intel HEX) or srec (Motorola S-records)\n"
    "  --gap-fill BYTE  the value of the bytes between load ranges in a binary\n"
    "             (decimal, or hexadecimal after 0x; default 0)\n"
    "  -h, --help     print this message\n"
    "  -V, --version  print the version\n"
    "After \"--\", the module options of the elf-merge run that wrote IMAGE (with\n"
    "--diff, NEW) name the file and section behind every segment and let --check\n"
    "compare the image with its modules.\n";

[[noreturn]] void usage_error(const std::string& why)
{
    std::cerr << "elf-merge-map: " << printable(why) << "\n" << usage_text;
    std::exit(1);
}

[[noreturn]] void out_of_memory()
{
    fatal("Out of memory.\n");
}

[[noreturn]] void output_lost(int error)
{
    std::fprintf(stderr, "elf-merge-map: cannot write standard output%s%s\n", error ? " -- " : "",
                 error ? std::strerror(error) : "");
    std::_Exit(diff_in_progress ? 2 : 1);
}

// The report goes out in one write, so that a failure is seen at once and
// with its reason (stdio drops a buffer that it could not write).
void write_standard_output(const std::string& text)
{
    errno = 0;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    if (std::ferror(stdout))
        output_lost(errno);
}

// Standard output is buffered: a full disk, or a descriptor that the shell
// closed, shows only when it is flushed, and must still fail the run.
// Closing an already closed descriptor is no fault when nothing was due.
void close_standard_output()
{
    errno = 0;
    const bool lost = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (lost)
        output_lost(errno);
    if (std::fclose(stdout) != 0 && errno != EBADF)
        output_lost(errno);
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

[[noreturn]] void print_and_exit(const char* text)
{
    diff_in_progress = false;
    std::cout << text;
    std::exit(0);
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
    case 'l':
        if (letter == 'r')
            add_region(options, REGION_KIND::run, "--region", optarg);
        else
            add_region(options, REGION_KIND::load, "--load-region", optarg);
        return;
    case 's':
        options.sha256 = sha256_digest(optarg);
        return;
    case 'd':
        options.diff = true;
        return;
    case 'G':
        options.picture = true, options.svg = optarg;
        return;
    case 'O':
        options.flash = true, options.flash_settings.format = flash_format(optarg);
        return;
    case 'g':
        options.gap_fill_given = true, options.flash_settings.gap_fill = gap_fill_byte(optarg);
        return;
    case 'h':
        print_and_exit(usage_text);
    case 'V':
        print_and_exit("elf-merge-map " ELF_MERGE_VERSION "\n");
    case ':':
        usage_error(std::string(argv[optind - 1]) + " needs a value");
    }
    usage_error(std::string("unknown option ") + argv[optind - 1]);
}

// -O, --svg and --diff each stand on their own: they print no map.
void check_modes(const MAP_OPTIONS& options)
{
    // HEX and S-record files hold nothing between the load ranges.
    if (options.gap_fill_given && !(options.flash && options.flash_settings.format == FLASH_FORMAT::binary))
        usage_error("--gap-fill needs -O binary");
    if (!options.sha256.empty() && !options.check)
        usage_error("--sha256 needs --check");
    const bool svg = options.picture;
    if (options.flash + svg + options.diff > 1)
        usage_error("-O, --svg and --diff go one at a time");
    if (!options.regions.empty() && (options.flash || svg || options.diff))
        usage_error("--region and --load-region go with the map and --check");
    if (options.flash && (options.json || options.check || options.with_modules))
        usage_error("-O takes neither --json, --check nor module options");
    if (svg && (options.json || options.check))
        usage_error("--svg takes neither --json nor --check");
    if (options.diff && options.check)
        usage_error("--diff takes no --check");
}

void check_usage(const MAP_OPTIONS& options, int count)
{
    check_modes(options);
    if (options.flash && count != 2)
        usage_error("-O writes one IMAGE to one OUTPUT");
    if (options.diff && count != 2)
        usage_error("--diff compares one OLD image with one NEW image");
    if (!options.flash && !options.diff && count != 1)
        usage_error(count == 0 ? "no IMAGE given" : "one IMAGE only");
}

MAP_OPTIONS parse_command_line(int argc, char** argv)
{
    MAP_OPTIONS options;
    diff_in_progress = asks_for_diff(argc, argv);
    split_module_args(argc, argv, options);
    static const option longs[] = {{"json", no_argument, nullptr, 'j'},
                                   {"check", no_argument, nullptr, 'c'},
                                   {"region", required_argument, nullptr, 'r'},
                                   {"load-region", required_argument, nullptr, 'l'},
                                   {"sha256", required_argument, nullptr, 's'},
                                   {"diff", no_argument, nullptr, 'd'},
                                   {"svg", required_argument, nullptr, 'G'},
                                   {"gap-fill", required_argument, nullptr, 'g'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, ":hVO:", longs, nullptr)) != -1)
        read_option(options, letter, argv);
    check_usage(options, argc - optind);
    options.image = argv[optind];
    if (options.flash)
        options.output = argv[optind + 1];
    if (options.diff)
        options.new_image = argv[optind + 1];
    return options;
}

[[noreturn]] void file_error(const std::string& path, const std::string& why, int error)
{
    std::cerr << printable(path) << ": " << why;
    if (error != 0)
        std::cerr << " -- " << std::strerror(error);
    std::cerr << "\n";
    std::exit(1);
}

// Reads to the end, but no further than the limit. Once the first bytes
// show that no ELF file follows, the rest is counted and not kept, so that
// /dev/zero reaches the limit without holding 4 GiB.
uint64_t read_to_limit(FILE* file, std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> chunk(65536);
    uint64_t total = 0;
    size_t got;
    while (total < IMAGE_LIMIT && (got = std::fread(chunk.data(), 1, chunk.size(), file)) > 0) {
        total += got;
        if (could_be_elf(bytes.data(), bytes.size()))
            bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(got));
    }
    return total;
}

// A regular file's size is checked before a byte is read; a pipe or a
// device is read to its end, up to the same limit.
std::vector<uint8_t> read_image_file(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        file_error(path, "cannot open", errno);
    std::vector<uint8_t> bytes;
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
        if (static_cast<uint64_t>(st.st_size) >= IMAGE_LIMIT)
            file_error(path, IMAGE_TOO_LARGE, 0);
        bytes.reserve(static_cast<size_t>(st.st_size));
    }
    const uint64_t total = read_to_limit(file, bytes);
    const int error = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (error != 0)
        file_error(path, "cannot read", error);
    if (total >= IMAGE_LIMIT)
        file_error(path, IMAGE_TOO_LARGE, 0);
    return bytes;
}

int report_violations(const std::string& path, const std::vector<std::string>& lines)
{
    for (const std::string& line : lines)
        std::cerr << printable(path) << ": " << printable(line) << "\n";
    return lines.empty() ? 0 : 1;
}

std::vector<std::string> sha256_check(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    if (options.sha256.empty())
        return {};
    const std::string digest = sha256_hex(image.bytes, image.size);
    if (digest == options.sha256)
        return {};
    return {"SHA-256 is " + digest + ", expected " + options.sha256};
}

int run_checks(const MAP_OPTIONS& options, const MAP_IMAGE& image, const MODULE_SET& set, std::ostream& out)
{
    std::vector<std::string> lines = check_image(image, set);
    for (const std::vector<std::string>& more :
         {set.given ? check_against_modules(image, set) : std::vector<std::string>{},
          check_regions(image, options.regions, set), sha256_check(options, image)})
        lines.insert(lines.end(), more.begin(), more.end());
    const int status = report_violations(options.image, lines);
    if (status == 0 && !options.json)
        out << printable(options.image) << ": all checks hold\n";
    return status;
}

// A partial output must not pass for a whole one, to make or to the next
// run of a build script; a device is left alone.
void remove_partial_output(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        std::remove(path.c_str());
}

// A flash image or a picture goes to a file of its own.
void write_output_file(const std::string& path, const std::function<void(std::ostream&)>& write)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        file_error(path, "cannot create", errno);
    errno = 0;
    write(out);
    out.close();
    if (!out) {
        const int error = errno;
        remove_partial_output(path);
        file_error(path, "cannot write", error);
    }
}

// OUTPUT is created only once the ranges are known to be storable.
int write_flash(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    const std::string fault = flash_refusal(image);
    if (!fault.empty())
        return report_violations(options.image, {fault});
    FLASH_SETTINGS settings = options.flash_settings;
    settings.name = options.image;
    write_output_file(options.output, [&](std::ostream& out) { write_flash_image(out, image, settings); });
    return 0;
}

void read_modules(const MAP_OPTIONS& options, MODULE_SET& set)
{
    if (!options.with_modules)
        return;
    const std::string fault = load_modules(options.module_args, set);
    if (!fault.empty())
        usage_error(fault);
}

int write_picture(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    MODULE_SET set;
    read_modules(options, set);
    write_output_file(options.svg, [&](std::ostream& out) { write_svg(out, options.image, image, set); });
    release_modules(set);
    return 0;
}

int write_map(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    MODULE_SET set;
    read_modules(options, set);
    std::ostringstream out;
    if (options.json)
        write_json_report(out, options.image, image, set, options.regions);
    else if (!options.check)
        write_text_report(out, options.image, image, set, options.regions);
    const int status = options.check ? run_checks(options, image, set, out) : 0;
    release_modules(set);
    write_standard_output(out.str());
    return status;
}

// An image that cannot be read is one line, as for the map, here with
// diff(1)'s status for trouble.
bool read_diff_image(const std::string& path, const std::vector<uint8_t>& bytes, MAP_IMAGE& image)
{
    const std::vector<std::string> faults = parse_image(bytes.data(), bytes.size(), image);
    if (!faults.empty())
        report_violations(path, {faults[0]});
    return faults.empty();
}

int run_diff(const MAP_OPTIONS& options)
{
    const std::vector<uint8_t> before_bytes = read_image_file(options.image);
    const std::vector<uint8_t> after_bytes = read_image_file(options.new_image);
    MAP_IMAGE before, after;
    if (!read_diff_image(options.image, before_bytes, before) ||
        !read_diff_image(options.new_image, after_bytes, after))
        return 2;
    MODULE_SET set;
    read_modules(options, set);
    const IMAGE_DIFF diff = diff_images(before, after, set);
    std::ostringstream out;
    if (options.json)
        write_diff_json(out, options.image, options.new_image, diff);
    else
        write_diff_text(out, diff);
    release_modules(set);
    write_standard_output(out.str());
    diff_in_progress = false;
    return diff.identical ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    // No run ends in an abort: a failed allocation is one line and status 1,
    // and output that never reached its file is an error.
    std::set_new_handler(out_of_memory);
    std::atexit(close_standard_output);
    std::atexit(end_diff_in_trouble);

    const MAP_OPTIONS options = parse_command_line(argc, argv);
    if (options.diff)
        return run_diff(options);
    const std::vector<uint8_t> bytes = read_image_file(options.image);

    // An image that cannot be read is reported before any module is.
    MAP_IMAGE image;
    const std::vector<std::string> faults = parse_image(bytes.data(), bytes.size(), image);
    if (!faults.empty())
        return report_violations(options.image, options.check ? faults : std::vector<std::string>{faults[0]});
    if (options.flash)
        return write_flash(options, image);
    return options.picture ? write_picture(options, image) : write_map(options, image);
}
