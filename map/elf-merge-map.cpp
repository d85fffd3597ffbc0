// SPDX-License-Identifier: MIT
// elf-merge-map: prints the map of an image that elf-merge wrote (header,
// mode, Shared Data segment, the modules the note describes, segments with
// their slots and, given the module options, the sections they hold, memory
// use by module and by region), as text or JSON; with --check verifies the
// image; with --diff compares two images; with --svg draws the address
// space; with -O writes the bytes a loader stores as a flash image; with
// --gdb, --debug-elf, --where and --symbols helps debug it.
#include "map.h"
#include "symbolize.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <getopt.h>
#include <iostream>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef ELF_MERGE_VERSION
#define ELF_MERGE_VERSION "unknown"
#endif

namespace {

// A 32-bit image cannot describe a file of 4 GiB or more.
constexpr uint64_t IMAGE_LIMIT = ADDRESS_SPACE_END;

[[noreturn]] void output_lost(int error)
{
    std::fprintf(stderr, "elf-merge-map: cannot write standard output%s%s\n", error ? " -- " : "",
                 error ? std::strerror(error) : "");
    std::_Exit(process.fatal_status);
}

// Standard output, or a file the map writes, as a stream that writes as it
// goes: the map of a million sections is too large to hold first. A write
// that fails ends the run at once, through lost, with its reason.
class DESCRIPTOR_OUTPUT : public std::streambuf {
public:
    explicit DESCRIPTOR_OUTPUT(int fd = STDOUT_FILENO, std::function<void(int)> lost = output_lost)
        : fd_(fd), lost_(std::move(lost))
    {
        setp(buffer_, buffer_ + sizeof buffer_);
    }
    ~DESCRIPTOR_OUTPUT() override { drain(); }

protected:
    int_type overflow(int_type c) override
    {
        drain();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            sputc(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    int sync() override
    {
        drain();
        return 0;
    }

private:
    void drain()
    {
        if (!write_all(fd_, pbase(), static_cast<size_t>(pptr() - pbase())))
            lost_(errno);
        setp(buffer_, buffer_ + sizeof buffer_);
    }
    int fd_;
    std::function<void(int)> lost_;
    char buffer_[1 << 16];
};

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

[[noreturn]] void file_error(const std::string& path, const std::string& why, int error)
{
    std::cerr << printable(path) << ": " << why;
    if (error != 0)
        std::cerr << " -- " << std::strerror(error);
    std::cerr << "\n";
    std::exit(process.fatal_status);
}

// A fault of the command line is one line, then the usage text; --diff
// ends it as trouble.
[[noreturn]] void usage_error(const std::string& why)
{
    std::cerr << "elf-merge-map: " << printable(why) << "\n" << map_usage_text();
    std::exit(process.fatal_status);
}

// The options to run with; a fault, --help, --version and --list-options
// end the run here.
MAP_OPTIONS read_command_line(int argc, char** argv)
{
    // diff(1) ends in trouble with status 2, whatever the trouble is.
    if (asks_for_diff(argc, argv))
        process.fatal_status = 2;
    MAP_OPTIONS options;
    const OPTION_OUTCOME outcome = parse_command_line(argc, argv, options);
    if (outcome.effect == OPTION_EFFECT::refused)
        usage_error(outcome.message);
    if (outcome.effect != OPTION_EFFECT::done) {
        std::cout << outcome.message;
        std::exit(0);
    }
    return options;
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

int report_violations(const std::string& path, const LINES& lines)
{
    for (const std::string& line : lines)
        std::cerr << printable(path) << ": " << printable(line) << "\n";
    return lines.empty() ? 0 : 1;
}

LINES sha256_check(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    if (options.sha256.empty())
        return {};
    const std::string digest = sha256_hex(image.bytes, image.size);
    if (digest == options.sha256)
        return {};
    return {"SHA-256 is " + digest + ", expected " + options.sha256};
}

// The comparison with elf-merge's output comes first; then the checks of
// what a loader finds, which work out for themselves what must be where.
int run_checks(const MAP_OPTIONS& options, const MAP_IMAGE& image, const MODULE_SET& set, const LINES& comparison,
               std::ostream& out)
{
    LINES lines = comparison;
    for (const LINES& more :
         {check_image(image, set), set.given ? check_against_modules(image, set) : LINES{},
          check_regions(image, options.regions, set), sha256_check(options, image)})
        lines.insert(lines.end(), more.begin(), more.end());
    const int status = report_violations(options.image, lines);
    if (status == 0 && !options.json)
        out << printable(options.image) << ": all checks hold\n";
    return status;
}

// A flash image, a picture or a GDB file goes to a file of its own, by the
// rule of every file written besides the image: never one the run reads,
// and a regular file replaced whole or not at all, so that a partial one
// never passes for a whole one, to make or to the next run of a script.
void write_output_file(const std::string& path, const std::string& image, const std::vector<ELF_DESC>& modules,
                       const std::function<void(std::ostream&)>& write)
{
    const std::string conflict = written_file_conflict(path.c_str(), modules, {{"image", image.c_str()}});
    if (!conflict.empty())
        file_error(path, "not written -- " + printable(conflict), 0);
    WRITTEN_FILE file;
    if (!open_written_file(path.c_str(), file))
        file_error(path, "cannot create", errno);
    {
        DESCRIPTOR_OUTPUT buffer(file.fd, [&](int error) {
            remove_partial_output();
            file_error(path, "cannot write", error);
        });
        std::ostream out(&buffer);
        write(out);
        out.flush();
    }
    if (!commit_written_file(file))
        file_error(path, "cannot write", errno);
}

// OUTPUT is created only once the ranges are known to be storable.
int write_flash(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    FLASH_SETTINGS settings = options.flash_settings;
    settings.name = options.image;
    if (!options.regions.empty())
        settings.region = options.regions.front();
    const LINES fault = flash_refusal(image, settings.region);
    if (!fault.empty())
        return report_violations(options.image, fault);
    write_output_file(options.second, options.image, {},
                      [&](std::ostream& out) { write_flash_image(out, image, settings); });
    return 0;
}

// The modules are read and composed as elf-merge does.
void load(const MAP_OPTIONS& options, MODULE_SET& set)
{
    if (!options.with_modules || set.given)
        return;
    const LINES fault = load_modules(options.module_args, set);
    if (!fault.empty())
        usage_error(fault[0]);
}

// ... then indexed by the segments of the image they are to explain.
void read_modules(const MAP_OPTIONS& options, MODULE_SET& set, const MAP_IMAGE& image)
{
    load(options, set);
    if (set.given)
        index_sections(set, image);
}

// With module options, the image is compared with elf-merge's output before
// anything else, even when it cannot be parsed: a changed e_phoff is named
// as such, not only as a table that runs past the end.
LINES comparison(const MAP_OPTIONS& options, const std::vector<uint8_t>& bytes, MODULE_SET& set)
{
    load(options, set);
    if (!set.given)
        return {};
    return compare_with_expected(bytes.data(), bytes.size(), set);
}

int write_picture(const MAP_OPTIONS& options, const MAP_IMAGE& image)
{
    MODULE_SET set;
    read_modules(options, set, image);
    write_output_file(options.svg, options.image, set.run.modules,
                      [&](std::ostream& out) { write_svg(out, options.image, image, set); });
    release_modules(set);
    return 0;
}

// Symbols are only as good as the modules: those that do not make IMAGE
// would explain another image, so the comparison comes first.
bool modules_make_image(const MAP_OPTIONS& options, const std::vector<uint8_t>& bytes, const MAP_IMAGE& image,
                        MODULE_SET& set)
{
    const LINES difference = comparison(options, bytes, set);
    if (!difference.empty()) {
        report_violations(options.image, difference);
        return false;
    }
    if (set.given)
        index_sections(set, image);
    return true;
}

// The file is not created when a module cannot be named in it.
int write_gdb_file(const MAP_OPTIONS& options, const MODULE_SET& set, const std::vector<SYMBOL_ENTRY>& symbols)
{
    const LINES refusal = gdb_refusal(set);
    if (!refusal.empty()) {
        std::cerr << refusal[0] << "\n";
        return 1;
    }
    write_output_file(options.gdb, options.image, set.run.modules,
                      [&](std::ostream& out) { write_gdb_commands(out, options.image, set, symbols); });
    return 0;
}

int write_debug_elf_file(const MAP_OPTIONS& options, const MAP_IMAGE& image, const MODULE_SET& set)
{
    write_output_file(options.debug_elf, options.image, set.run.modules,
                      [&](std::ostream& out) { write_debug_elf(out, options.debug_elf, image, set); });
    return 0;
}

// Every address is explained before an address outside the image fails the run.
int write_places(const MAP_OPTIONS& options, const MAP_IMAGE& image, const MODULE_SET& set,
                 const std::vector<SYMBOL_ENTRY>& symbols, std::ostream& out)
{
    // Each module's DWARF is read once, for all the addresses.
    const LINE_INDEX lines = module_lines(set);
    std::vector<ADDRESS_PLACE> places;
    for (const uint32_t address : options.addresses) {
        const std::vector<ADDRESS_PLACE> more = places_of(address, image, set, symbols);
        places.insert(places.end(), more.begin(), more.end());
    }
    add_source_places(places, lines);
    if (options.json)
        write_where_json(out, places, image, set);
    else
        write_where_text(out, places, image, set);
    const auto outside = [](const ADDRESS_PLACE& p) { return p.segment == SIZE_MAX; };
    return std::any_of(places.begin(), places.end(), outside) ? 1 : 0;
}

// --gdb, --debug-elf, --where and --symbols.
int debug(const MAP_OPTIONS& options, const std::vector<uint8_t>& bytes, const MAP_IMAGE& image)
{
    MODULE_SET set;
    if (!modules_make_image(options, bytes, image, set)) {
        release_modules(set);
        return 1;
    }
    // --debug-elf reads every symbol itself, as written.
    const std::vector<SYMBOL_ENTRY> symbols =
        options.action == MAP_ACTION::debug_elf ? std::vector<SYMBOL_ENTRY>{} : module_symbols(set);
    DESCRIPTOR_OUTPUT buffer;
    std::ostream out(&buffer);
    int status = 0;
    if (options.action == MAP_ACTION::gdb)
        status = write_gdb_file(options, set, symbols);
    else if (options.action == MAP_ACTION::debug_elf)
        status = write_debug_elf_file(options, image, set);
    else if (options.action == MAP_ACTION::where)
        status = write_places(options, image, set, symbols, out);
    else if (options.action == MAP_ACTION::symbolize)
        symbolize(std::cin, out, options.json, image, set, symbols, module_lines(set));
    else if (options.json)
        write_symbols_json(out, symbols);
    else
        write_symbols_text(out, symbols);
    out.flush();
    release_modules(set);
    return status;
}

// An image that cannot be read is one line, or with --check every fault.
int write_map(const MAP_OPTIONS& options, const std::vector<uint8_t>& bytes, const MAP_IMAGE& image,
              const LINES& faults)
{
    MODULE_SET set;
    LINES lines = options.check ? comparison(options, bytes, set) : LINES{};
    if (!faults.empty()) {
        lines.insert(lines.end(), faults.begin(), options.check ? faults.end() : faults.begin() + 1);
        release_modules(set);
        return report_violations(options.image, lines);
    }
    read_modules(options, set, image);
    DESCRIPTOR_OUTPUT buffer;
    std::ostream out(&buffer);
    if (options.json)
        write_json_report(out, options.image, image, set, options.regions);
    else if (!options.check)
        write_text_report(out, options.image, image, set, options.regions);
    const int status = options.check ? run_checks(options, image, set, lines, out) : 0;
    out.flush();
    release_modules(set);
    return status;
}

// An image that cannot be read is one line, as for the map, here with
// diff(1)'s status for trouble.
bool read_diff_image(const std::string& path, const std::vector<uint8_t>& bytes, MAP_IMAGE& image)
{
    const LINES faults = parse_image(bytes.data(), bytes.size(), image);
    if (!faults.empty())
        report_violations(path, {faults[0]});
    return faults.empty();
}

int run_diff(const MAP_OPTIONS& options)
{
    const std::vector<uint8_t> before_bytes = read_image_file(options.image);
    const std::vector<uint8_t> after_bytes = read_image_file(options.second);
    MAP_IMAGE before, after;
    if (!read_diff_image(options.image, before_bytes, before) || !read_diff_image(options.second, after_bytes, after))
        return process.fatal_status;
    MODULE_SET set;
    read_modules(options, set, after);
    const IMAGE_DIFF diff = diff_images(before, after, set);
    DESCRIPTOR_OUTPUT buffer;
    std::ostream out(&buffer);
    if (options.json)
        write_diff_json(out, options.image, options.second, diff);
    else
        write_diff_text(out, diff);
    out.flush();
    release_modules(set);
    return diff.identical ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    // No run ends in an abort: a failed allocation is one line and status 1,
    // and output that never reached its file is an error.
    std::set_new_handler(out_of_memory);
    std::atexit(close_standard_output);
    // A file size limit fails the write with EFBIG, so that a partial OUTPUT
    // or picture is removed and reported rather than the run killed.
    std::signal(SIGXFSZ, SIG_IGN);
    // Nor does a signal that stops the run leave a temporary file behind.
    remove_outputs_on_signals();

    const MAP_OPTIONS options = read_command_line(argc, argv);
    if (options.action == MAP_ACTION::diff)
        return run_diff(options);
    const std::vector<uint8_t> bytes = read_image_file(options.image);

    MAP_IMAGE image;
    const LINES faults = parse_image(bytes.data(), bytes.size(), image);
    if (options.action == MAP_ACTION::map)
        return write_map(options, bytes, image, faults);
    // An image that cannot be read is reported before any module is.
    if (!faults.empty())
        return report_violations(options.image, {faults[0]});
    switch (options.action) {
    case MAP_ACTION::flash:
        return write_flash(options, image);
    case MAP_ACTION::svg:
        return write_picture(options, image);
    case MAP_ACTION::gdb:
    case MAP_ACTION::debug_elf:
    case MAP_ACTION::where:
    case MAP_ACTION::symbolize:
    case MAP_ACTION::symbols:
        return debug(options, bytes, image);
    case MAP_ACTION::map:
    case MAP_ACTION::diff:
        break;
    }
    return 0;
}
