// SPDX-License-Identifier: MIT
// --symbolize: the index is built once, and each address of the log is one
// lookup; no process is started per line.
#include "symbolize.h"

#include <sstream>
#include <unordered_map>

namespace {

bool hex_digit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A letter, digit or underscore: what a number standing alone is not next to.
bool word_char(char c)
{
    return hex_digit(c) || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '_';
}

size_t hex_run(std::string_view line, size_t at)
{
    size_t end = at;
    while (end < line.size() && hex_digit(line[end]))
        ++end;
    return end - at;
}

uint32_t hex_value(std::string_view digits)
{
    uint32_t value = 0;
    for (char c : digits)
        value = value << 4 | static_cast<uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    return value;
}

} // namespace

std::vector<uint32_t> log_addresses(std::string_view line)
{
    std::vector<uint32_t> out;
    for (size_t at = 0; at < line.size();) {
        if (at > 0 && word_char(line[at - 1])) {
            ++at;
            continue;
        }
        const bool prefixed = line[at] == '0' && at + 1 < line.size() && (line[at + 1] | 0x20) == 'x';
        const size_t digits_at = prefixed ? at + 2 : at;
        const size_t digits = hex_run(line, digits_at);
        const size_t end = digits_at + digits;
        const bool alone = end == line.size() || !word_char(line[end]);
        if (alone && (prefixed ? digits >= 1 && digits <= 8 : digits == 8))
            out.push_back(hex_value(line.substr(digits_at, digits)));
        at = std::max(end, at + 1);
    }
    return out;
}

namespace {

// What the filter adds for one address: nothing for a number outside the
// image, else a line per place.
std::string decoded(uint32_t address, bool json, const MAP_IMAGE& image, const MODULE_SET& set,
                    const std::vector<SYMBOL_ENTRY>& symbols, const LINE_INDEX& lines)
{
    std::vector<ADDRESS_PLACE> places = places_of(address, image, set, symbols);
    if (places.front().segment == SIZE_MAX)
        return "";
    add_source_places(places, lines);
    std::ostringstream out;
    for (const ADDRESS_PLACE& p : places)
        if (json)
            write_where_json_line(out, p, image, set);
        else
            out << "    " << where_line(p, image, set) << "\n";
    return out.str();
}

} // namespace

void symbolize(std::istream& in, std::ostream& out, bool json, const MAP_IMAGE& image, const MODULE_SET& set,
               const std::vector<SYMBOL_ENTRY>& symbols, const LINE_INDEX& lines)
{
    // A log names the same few addresses again and again (a fault's pc, a
    // backtrace's return addresses): each is decoded once, and the memory
    // kept for that is bounded, whatever the log.
    constexpr size_t most_kept = 65536;
    std::unordered_map<uint32_t, std::string> seen;
    std::string line;
    while (std::getline(in, line)) {
        if (!json)
            out << line << (in.eof() ? "" : "\n"); // a last line without its newline stays so
        for (const uint32_t address : log_addresses(line)) {
            if (seen.size() >= most_kept)
                seen.clear();
            auto [at, added] = seen.try_emplace(address);
            if (added)
                at->second = decoded(address, json, image, set, symbols, lines);
            out << at->second;
        }
        out.flush();
    }
}
