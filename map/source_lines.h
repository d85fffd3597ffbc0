// SPDX-License-Identifier: MIT
// Source lines of the modules' code, read from each module's DWARF with
// libdw: the file, line and column of an address, and the chain of inlined
// calls that leads to it. Each module's units are indexed by address once per
// run. Built without libdw, every answer says so.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One function of the chain and where in the source it is.
struct SOURCE_FRAME {
    std::string function; // empty where the DWARF names none
    std::string file;
    uint32_t line = 0;
    uint32_t column = 0; // 0: unknown
};

// What the DWARF says of one address.
struct SOURCE_PLACE {
    bool looked_up = false; // an address in an ELF module's section
    // Innermost first; each further frame is the function that the one
    // before was inlined into, at the call's place.
    std::vector<SOURCE_FRAME> frames;
    std::string reason; // why there is no line information; empty otherwise
};

// One module's DWARF and its units by address; opaque outside dwarf.cpp.
struct MODULE_LINES;
// One entry per module, in module order (null for a raw image).
using LINE_INDEX = std::vector<std::shared_ptr<const MODULE_LINES>>;

// Reads and indexes the DWARF of one ELF module, given its whole file; a
// module whose DWARF cannot be read keeps libdw's reason, which each of its
// answers gives. The index owns the bytes.
std::shared_ptr<const MODULE_LINES> read_module_lines(std::vector<char> bytes);
// Where address lies in the source of module (its place in the modules).
SOURCE_PLACE source_place(const LINE_INDEX& lines, size_t module, uint32_t address);
// "no line information (REASON)"
std::string no_line_information(const SOURCE_PLACE& place);
