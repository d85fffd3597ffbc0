// SPDX-License-Identifier: MIT
// The one way out of a failed run.
#include "elf-merge.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void fatal(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::exit(1);
}
