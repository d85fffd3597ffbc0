// SPDX-License-Identifier: MIT
// Shared by the fuzz targets: the exception that the fuzz build's fatal
// throws, and the scratch files that hand inputs to the file-based reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Thrown by the fuzz build's fatal, so that a refused input returns control
// to libFuzzer instead of ending the process.
struct FUZZ_FATAL {};

// A path under /dev/shm (or /tmp) unique to this process and tag; the file
// is removed when the process exits normally.
std::string scratch_path(const char* tag);

// Writes size bytes to path, replacing what was there; aborts on failure,
// which is a fault of the machine, not of the input.
void write_scratch(const std::string& path, const uint8_t* data, size_t size);
