// SPDX-License-Identifier: MIT
// --symbolize: a log filter. Every line of a log is copied as it is, and
// after a line that holds addresses inside the image comes one indented
// line per address with what --where says of it.
#pragma once

#include "map.h"

#include <istream>
#include <ostream>
#include <string_view>

// The addresses a log line holds, as a log writes one: "0x" and 1 to 8 hex
// digits, or 8 bare hex digits standing alone.
std::vector<uint32_t> log_addresses(std::string_view line);
// Filters in to out, flushing after every line so that it works live at
// the end of a pipe; with json, one JSON object a line per address instead.
void symbolize(std::istream& in, std::ostream& out, bool json, const MAP_IMAGE& image, const MODULE_SET& set,
               const std::vector<SYMBOL_ENTRY>& symbols, const LINE_INDEX& lines);
