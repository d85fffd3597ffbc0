// SPDX-License-Identifier: MIT
// The one way out of a failed run, and the command line that both tools
// read: the options made from the slot table, the usage text, the
// registration of each module, and the dependency file that tells a build
// which files the image was made of.
#include "elf-merge.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The signals that end a run as a failure does: interrupted, told to stop,
// or its terminal gone.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

// Only the file recorded is removed, not one that has taken its name since.
// Async-signal-safe: lstat and unlink on a path made beforehand.
void unlink_if_recorded(const PARTIAL_OUTPUT& record)
{
    struct stat st;
    if (!record.path.empty() && ::lstat(record.path.c_str(), &st) == 0 &&
        static_cast<uint64_t>(st.st_dev) == record.dev && static_cast<uint64_t>(st.st_ino) == record.ino)
        ::unlink(record.path.c_str());
}

extern "C" void end_by_signal(int signal)
{
    const int saved = errno;
    unlink_if_recorded(process.partial_output);
    unlink_if_recorded(process.temporary_file);
    errno = saved;
    // The handler was reset: the signal, delivered again on return, ends the
    // process with the status its sender expects.
    ::raise(signal);
}

sigset_t ending_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : ENDING_SIGNALS)
        sigaddset(&set, signal);
    return set;
}

} // namespace

void set_removable(PARTIAL_OUTPUT& record, PARTIAL_OUTPUT value)
{
    const sigset_t held = ending_signals();
    sigset_t before;
    ::sigprocmask(SIG_BLOCK, &held, &before);
    record = std::move(value);
    ::sigprocmask(SIG_SETMASK, &before, nullptr);
}

void remove_recorded_file(PARTIAL_OUTPUT& record)
{
    unlink_if_recorded(record);
    set_removable(record);
}

void remove_partial_output()
{
    remove_recorded_file(process.partial_output);
    remove_recorded_file(process.temporary_file);
}

void remove_outputs_on_signals()
{
    for (const int signal : ENDING_SIGNALS) {
        struct sigaction action {};
        if (::sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN)
            continue;
        action.sa_handler = end_by_signal;
        action.sa_flags = SA_RESETHAND;
        action.sa_mask = ending_signals(); // one removal at a time
        ::sigaction(signal, &action, nullptr);
    }
}

void fatal(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    remove_partial_output();
    std::exit(process.fatal_status);
}

[[noreturn]] void out_of_memory()
{
    fatal("Out of memory.\n");
}

std::string vformat(const char* fmt, va_list args)
{
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, args);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    return text;
}

std::string format(const char* fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    std::string text = vformat(fmt, args);
    va_end(args);
    return text;
}

// ---------------------------------------------------------------------------
// Options

namespace {

// An option that takes a value is followed by a colon in getopt's string.
std::string make_short_options()
{
    std::string text;
    for (const SLOT& s : slots)
        if (s.letter)
            text += {s.letter, ':'};
    for (const SETTING_OPTION& o : setting_options) {
        text += o.letter;
        if (o.argument)
            text += ':';
    }
    return text + static_cast<char>(VERSION_OPTION);
}

// The value getopt_long returns for a setting's long name.
int long_value(const SETTING_OPTION& o)
{
    return o.letter == 'h' ? HELP_OPTION : o.letter;
}

std::vector<option> make_long_options()
{
    std::vector<option> table;
    for (const SLOT& s : slots)
        if (s.letter)
            table.push_back({s.long_name, required_argument, nullptr, s.letter});
    for (const SETTING_OPTION& o : setting_options)
        table.push_back({o.long_name, o.argument ? required_argument : no_argument, nullptr, long_value(o)});
    table.push_back({"version", no_argument, nullptr, VERSION_OPTION});
    table.push_back({"dependency-file", required_argument, nullptr, DEPENDENCY_FILE_OPTION});
    table.push_back({"list-options", no_argument, nullptr, LIST_OPTION});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// " -k, --kernel filename" filled to 24 characters, then "- " and what it is for.
std::string usage_line(char letter, const char* long_name, const char* argument, const char* purpose)
{
    std::string line = std::string(" -") + letter + ", --" + long_name;
    if (argument)
        line += std::string(" ") + argument;
    line.resize(std::max<size_t>(line.size(), 23), ' ');
    return line + " - " + purpose + "\n";
}

std::string option_line(char letter)
{
    const int slot = slot_of(letter);
    if (slot >= 0)
        return usage_line(letter, slots[slot].long_name, "filename", slots[slot].purpose);
    for (const SETTING_OPTION& o : setting_options)
        if (o.letter == letter)
            return usage_line(letter, o.long_name, o.argument, o.purpose);
    return "";
}

OPTION_OUTCOME refused(std::string message)
{
    return {OPTION_EFFECT::refused, std::move(message)};
}

OPTION_OUTCOME read_hex(const char* text, char letter, uint32_t& value)
{
    if (!parse_hex(text, value))
        return refused(format("Invalid hexadecimal number %s for -%c.\n", text, letter));
    return {};
}

// -s is tested as it is read, so that the run stops at the option at fault.
OPTION_OUTCOME read_sd_addr(RUN& r, const char* text)
{
    OPTION_OUTCOME outcome = read_hex(text, 's', r.sd_addr);
    if (outcome.effect == OPTION_EFFECT::done && (r.sd_addr & (SD_ALIGN - 1)))
        outcome = refused(format("Shared Data address must be 0x%x aligned.\n", SD_ALIGN));
    return outcome;
}

OPTION_OUTCOME apply_option(RUN& r, int letter, const char* argument)
{
    switch (letter) {
    case 'o':
        r.outfile = argument;
        return {};
    case 's':
        return read_sd_addr(r, argument);
    case 'z':
        return read_hex(argument, 'z', r.sd_size);
    case 'r':
        r.resource_manager = 1;
        return {};
    case 'h':
        return {OPTION_EFFECT::help, ""};
    case HELP_OPTION:
        return {OPTION_EFFECT::long_help, ""};
    case VERSION_OPTION:
        return {OPTION_EFFECT::version, ""};
    case DEPENDENCY_FILE_OPTION:
        r.dependency_file = argument;
        return {};
    case LIST_OPTION:
        return {OPTION_EFFECT::list, ""};
    }
    const int slot = slot_of(letter);
    if (slot < 0)
        return {OPTION_EFFECT::unknown, ""};
    if (slot == KERNEL_SLOT) {
        r.kernel = true;
        r.load_phdr = 1;
    }
    process_infile(r, slot, argument);
    return {};
}

// What the option that getopt returns as value takes: an ELF module for an
// ELF slot, any file for a raw image slot and for a setting named by a file,
// a number for the other settings with a value.
const char* value_kind(int value, bool has_value)
{
    if (!has_value)
        return "flag";
    const int slot = slot_of(value);
    if (slot >= 0)
        return slots[slot].kind == ELF_KIND ? "module" : "file";
    for (const SETTING_OPTION& o : setting_options)
        if (o.letter == value && std::string_view(o.argument) != "filename")
            return "number";
    return "file";
}

} // namespace

int slot_of(int letter)
{
    for (int i = 0; i < SLOT_COUNT; ++i)
        if (slots[i].letter && slots[i].letter == letter)
            return i;
    return -1;
}

bool known_prot(uint32_t prot)
{
    for (const SLOT& s : slots)
        if (s.prot == prot)
            return true;
    return false;
}

const char* short_options()
{
    static const std::string text = make_short_options();
    return text.c_str();
}

const option* long_options()
{
    static const std::vector<option> table = make_long_options();
    return table.data();
}

std::string usage_text()
{
    std::string text;
    for (const char letter : usage_order)
        text += option_line(letter);
    return text;
}

std::string option_kinds()
{
    std::string text;
    for (const char* p = short_options(); *p; ++p) {
        const bool has_value = p[1] == ':';
        text += std::string("-") + *p + " " + value_kind(*p, has_value) + "\n";
        p += has_value;
    }
    for (const option* o = long_options(); o->name; ++o)
        if (o->val != LIST_OPTION)
            text += std::string("--") + o->name + " " + value_kind(o->val, o->has_arg) + "\n";
    return text;
}

const char* option_value(const std::string& word)
{
    if (word.size() == 2 && word[0] == '-' && word[1] != '-' && word[1] != ':') {
        const char* p = std::strchr(short_options(), word[1]);
        return p && p[1] == ':' ? value_kind(word[1], true) : nullptr;
    }
    for (const option* o = long_options(); o->name; ++o)
        if (o->has_arg && word == std::string("--") + o->name)
            return value_kind(o->val, true);
    return nullptr;
}

bool parse_hex(const char* text, uint32_t& value)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    uint64_t v = 0;
    const char* p = text;
    for (; *p; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        v = v * 16 + static_cast<uint64_t>(digit);
        if (v > UINT32_MAX)
            return false;
    }
    if (p == text)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// Every argument must be an option or an option's value: a file named
// without its letter would silently be left out of the firmware.
OPTION_OUTCOME read_options(RUN& r, int argc, char** argv)
{
    optind = 0; // getopt starts afresh, whatever read the command line before
    int letter;
    while ((letter = getopt_long(argc, argv, short_options(), long_options(), nullptr)) != -1) {
        OPTION_OUTCOME outcome = apply_option(r, letter, optarg);
        if (outcome.effect != OPTION_EFFECT::done)
            return outcome;
    }
    if (optind < argc)
        return refused(format("Unexpected argument %s -- every module needs its option letter.\n", argv[optind]));
    return {};
}

// ---------------------------------------------------------------------------
// Modules and the rules of a run

void process_infile(RUN& r, int slot, const char* name)
{
    const SLOT& s = slots[slot];
    r.modules.push_back(ELF_DESC(name, s.pid, s.prot, s.kind));
    ELF_DESC& m = r.modules.back();
    m.slot = slot;
    // Read at once, so that a bad module ends the run before any later option.
    m.read_elf();
    if (s.kind != ELF_KIND)
        m.entry = NO_ENTRY;
    if (m.entry == NO_ENTRY || s.pid == -1)
        return;
    ++r.entry_count;
    // The first module of the lowest pid supplies the image's entry point.
    if (r.pid == -1 || s.pid < r.pid) {
        r.pid = s.pid;
        r.entry = m.entry;
        r.entry_module = r.modules.size() - 1;
    }
}

const ELF_DESC* entry_module(const RUN& r)
{
    return r.entry_module < r.modules.size() ? &r.modules[r.entry_module] : nullptr;
}

bool described(const ELF_DESC& m, int32_t lowest_pid, int resource_manager)
{
    if (m.entry == NO_ENTRY || m.pid == -1)
        return false;
    return resource_manager || m.pid != lowest_pid;
}

AUX_GROUP aux_group(const ELF_DESC& m)
{
    return {static_cast<uint32_t>(m.pid), m.entry, static_cast<uint32_t>(m.priority),
            static_cast<uint32_t>(m.stack_size), m.stack};
}

const char* settings_fault(RUN& r)
{
    if (r.resource_manager)
        r.load_phdr = 1;
    else if (r.load_phdr && r.sd_addr == 0)
        return "Shared Data Segment address not specified.\n";
    return nullptr;
}

// ---------------------------------------------------------------------------
// The dependency file

namespace {

// A path as make and ninja both read it back, escaped as compilers escape
// their dependency files: the backslashes before a space doubled and one
// more added, a backslash before '#' and ':', '$' doubled; in the target a
// backslash before '%' too, which would make the rule a pattern.
std::string rule_escaped(const std::string& path, bool target)
{
    std::string text;
    size_t backslashes = 0;
    for (const char c : path) {
        if (c == ' ')
            text.append(backslashes + 1, '\\');
        else if (c == '#' || c == ':' || (c == '%' && target))
            text += '\\';
        else if (c == '$')
            text += '$';
        backslashes = c == '\\' ? backslashes + 1 : 0;
        text += c;
    }
    return text;
}

// Why no rule that both make and ninja read back can name path, or null.
// make reads a newline, a ';' or an '=' as the end of the rule, ninja keeps
// the backslash of an escaped tab, and the two halve the backslashes before
// '#', ':', '$' and a name's end differently. ninja reads "\:" before a space
// as two characters; the target's is followed by the rule's own ':'.
const char* unnameable(const std::string& path, bool target)
{
    for (size_t at = 0; at < path.size(); ++at) {
        const char c = path[at];
        const char next = at + 1 < path.size() ? path[at + 1] : '\0';
        if (c == '\n')
            return "a Makefile rule cannot hold a newline";
        if (c == '\t')
            return "a Makefile rule cannot hold a tab";
        if (c == ';')
            return "a Makefile rule cannot hold a ';'";
        if (c == '=')
            return "a Makefile rule cannot hold an '='";
        if (c == '\\' && (next == '\0' || next == '#' || next == ':' || next == '$'))
            return "make and ninja read a backslash before '#', ':', '$' or the end of a name differently";
        if (c == ':' && next == '\0' && !target)
            return "ninja cannot read a ':' at the end of a name";
    }
    return nullptr;
}

// Refuses, before anything is written, a path that no rule can name.
void check_nameable(const std::string& path, bool target)
{
    const char* why = unnameable(path, target);
    if (!why)
        return;
    std::string shown = path;
    for (size_t at = 0; (at = shown.find_first_of("\n\t", at)) != std::string::npos; at += 2)
        shown.replace(at, 1, shown[at] == '\n' ? "\\n" : "\\t");
    fatal("Cannot name %s in the dependency file -- %s.\n", shown.c_str(), why);
}

// Where relative paths are resolved.
std::string working_directory(const char* file)
{
    std::string dir(256, '\0');
    while (!::getcwd(dir.data(), dir.size())) {
        if (errno != ERANGE)
            fatal("Error writing dependency file %s -- %s.\n", file, std::strerror(errno));
        dir.resize(dir.size() * 2);
    }
    dir.resize(std::strlen(dir.c_str()));
    return dir;
}

// Absolute, because the build that reads the rule runs elsewhere: CMake
// reads a relative path against its binary directory, while the image may
// be made in the source directory.
std::string rule_path(const char* path, const std::string& cwd, bool target)
{
    // The name as given first, so that the message shows it as given; then
    // the working directory it is resolved in.
    check_nameable(path, target);
    const std::string absolute = path[0] == '/' ? std::string(path) : cwd + "/" + path;
    check_nameable(absolute, target);
    return rule_escaped(absolute, target);
}

// A pipe or a device has no time stamp that says when it changed.
bool regular_file(const char* path)
{
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// /proc/PID/fd or /proc/PID/task/TID/fd, where /dev/stdin and /dev/fd/N lead.
bool descriptor_directory(const std::filesystem::path& dir)
{
    const std::string text = dir.string();
    return text.starts_with("/proc/") && text.ends_with("/fd");
}

// True when name leads, through any links, into a process's table of open
// files: another process opening it gets its own descriptor, not this file.
bool through_descriptor(const char* name)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::absolute(name, error);
    for (int links = 0; !error && links < 40; ++links) {
        const std::filesystem::path dir = std::filesystem::canonical(path.parent_path(), error);
        if (error)
            return false;
        if (descriptor_directory(dir))
            return true;
        const std::filesystem::path target = std::filesystem::read_symlink(dir / path.filename(), error);
        path = target.is_absolute() ? target : dir / target;
    }
    return false;
}

[[noreturn]] void dependency_file_failed(const char* file, int error)
{
    fatal("Error writing dependency file %s -- %s.\n", file, std::strerror(error));
}

} // namespace

bool names_a_file_again(const char* name)
{
    return regular_file(name) && !through_descriptor(name);
}

std::string dependency_rule(const RUN& r)
{
    const std::string cwd = working_directory(r.dependency_file);
    std::string rule = rule_path(r.outfile, cwd, true) + ":";
    for (const ELF_DESC& m : r.modules)
        if (names_a_file_again(m.name))
            rule.append(" ").append(rule_path(m.name, cwd, false));
    return rule + "\n";
}

void open_dependency_file(const RUN& r, WRITTEN_FILE& file)
{
    const std::string conflict = written_file_conflict(r.dependency_file, r.modules, {{"output file", r.outfile}});
    if (!conflict.empty())
        fatal("Cannot write dependency file %s -- %s.\n", r.dependency_file, conflict.c_str());
    if (!open_written_file(r.dependency_file, file))
        dependency_file_failed(r.dependency_file, errno);
}

void write_dependency_file(const char* name, WRITTEN_FILE& file, const std::string& rule)
{
    if (!write_all(file.fd, rule.data(), rule.size()) || !commit_written_file(file))
        dependency_file_failed(name, errno);
}
