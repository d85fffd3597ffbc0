// SPDX-License-Identifier: MIT
// The fuzz build's fatal: the message is formatted into a buffer (so that a
// bad format argument still shows up under the sanitizers) and dropped, and
// the run is abandoned with an exception that the fuzz target catches.
#include "elf-merge.h"
#include "fuzz_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <vector>

void fatal(const char* format, ...)
{
    char message[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    throw FUZZ_FATAL{};
}

namespace {

std::vector<std::string>& scratch_files()
{
    static std::vector<std::string> files;
    return files;
}

void remove_scratch_files()
{
    for (const std::string& f : scratch_files())
        ::unlink(f.c_str());
}

} // namespace

std::string scratch_path(const char* tag)
{
    const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string path = std::string(dir) + "/elf-merge-fuzz-" + std::to_string(::getpid()) + "-" + tag;
    if (scratch_files().empty())
        std::atexit(remove_scratch_files);
    scratch_files().push_back(path);
    return path;
}

void write_scratch(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || (size && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}
