// SPDX-License-Identifier: MIT
// A whole run of the tool. The input starts with a small header that picks
// the mode, the modules' slot letters and the split of the rest into module
// files; the tool's main is then called with the matching command line.
//
// Header (18 bytes):
//   [0]      bits 0-1 mode (0 plain, 1 kernel with -s, 2 and 3 resource
//            manager), bit 2 adds -z, bit 3 adds -s in resource-manager
//            mode, bits 4-5 module count - 1
//   [1..4]   slot letter of each module
//   [5..7]   -s address / 0x4000 (low 18 bits), always 0x4000-aligned and
//            never 0 in kernel mode
//   [8..11]  -z size
//   [12..17] sizes of the first three module files, 16 bits each
// The command line is always well formed, so usage (which exits) is never
// reached: every outcome is a written image or fatal.
#include "elf-merge.h"
#include "fuzz_alloc.h"
#include "fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

int elf_merge_main(int argc, char** argv);

namespace {

constexpr std::string_view module_letters = "kefduvEcanWLKNSbCxyFpP";
// Without -s, -k is a command-line error that ends in usage.
constexpr std::string_view plain_letters = "efduvEcanWLKNSbCxyFpP";
constexpr size_t HEADER_SIZE = 18;
constexpr int MAX_MODULES = 4;

uint32_t be_bytes(const uint8_t* p, int count)
{
    uint32_t v = 0;
    for (int i = 0; i < count; ++i)
        v = (v << 8) | p[i];
    return v;
}

std::string hex(uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "%x", v);
    return text;
}

struct COMMAND {
    std::vector<std::string> words;

    void add(std::string_view option, const std::string& value)
    {
        words.emplace_back(option);
        words.push_back(value);
    }
};

char letter_for(int mode, int index, uint8_t choice)
{
    if (mode == 1 && index == 0)
        return 'k';
    const std::string_view letters = mode == 0 ? plain_letters : module_letters;
    return letters[choice % letters.size()];
}

// Splits the body into count files and names each after its letter.
void add_modules(COMMAND& cmd, int mode, const uint8_t* header, const uint8_t* body, size_t size)
{
    static std::string paths[MAX_MODULES] = {scratch_path("m0"), scratch_path("m1"), scratch_path("m2"),
                                             scratch_path("m3")};
    const int count = ((header[0] >> 4) & 3) + 1;
    for (int i = 0; i < count; ++i) {
        size_t part = size;
        if (i + 1 < count)
            part = std::min<size_t>(size, be_bytes(header + 12 + 2 * i, 2));
        write_scratch(paths[i], body, part);
        body += part;
        size -= part;
        cmd.add(std::string("-") + letter_for(mode, i, header[1 + i]), paths[i]);
    }
}

COMMAND build_command(const uint8_t* data, size_t size)
{
    static const std::string output = scratch_path("out");
    COMMAND cmd;
    cmd.words.push_back("elf-merge");
    cmd.add("-o", output);
    const int mode = std::min(data[0] & 3, 2);
    uint32_t sd_addr = (be_bytes(data + 5, 3) & 0x3FFFF) << 14;
    // In kernel mode an address of 0 counts as none given, a usage error.
    if (mode == 1 && sd_addr == 0)
        sd_addr = 0x4000;
    if (mode == 1 || (mode == 2 && (data[0] & 8)))
        cmd.add("-s", hex(sd_addr));
    if (mode == 2)
        cmd.words.push_back("-r");
    if (data[0] & 4)
        cmd.add("-z", hex(be_bytes(data + 8, 4)));
    add_modules(cmd, mode, data, data + HEADER_SIZE, size - HEADER_SIZE);
    return cmd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < HEADER_SIZE)
        return 0;
    COMMAND cmd = build_command(data, size);
    std::vector<char*> argv;
    for (std::string& w : cmd.words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    // Each run starts as a fresh process would: the tool's main holds its run
    // itself, and optind 0 resets glibc's getopt state.
    optind = 0;
    // The option tables are made once and kept; made while tracking, they
    // would be freed with a refused run's blocks.
    short_options();
    long_options();
    track_allocations();
    try {
        elf_merge_main(static_cast<int>(argv.size() - 1), argv.data());
        stop_tracking();
    } catch (const FUZZ_FATAL&) {
        // The tool leaves its buffers and files to process exit, which fatal
        // skips here.
        close_module_files();
        // The output and temporary file a refused run recorded are
        // forgotten, and their names freed, before the blocks still tracked are.
        std::exchange(process.partial_output, PARTIAL_OUTPUT{});
        std::exchange(process.temporary_file, PARTIAL_OUTPUT{});
        free_tracked();
    }
    return 0;
}
