// SPDX-License-Identifier: MIT
// -O: the bytes that a loader stores, as the flat binary, Intel HEX or
// Motorola S-record file that a flash programmer or a bootloader takes.
// A merged image has no section headers, so these come from the PT_LOAD
// entries alone, each at its load address (p_paddr).
#include "map.h"

#include <algorithm>
#include <cinttypes>

namespace {

constexpr uint32_t RECORD_BYTES = 16; // data bytes per HEX or S-record line

// A load range with the file bytes it stores.
struct STORED {
    uint32_t address;
    uint32_t size;
    const uint8_t* bytes;
};

// Cuts a range to the part inside the region; false when no part is.
bool clip(STORED& s, const REGION& region)
{
    const uint64_t start = std::max<uint64_t>(s.address, region.start);
    const uint64_t end = std::min(uint64_t{s.address} + s.size, uint64_t{region.start} + region.size);
    if (start >= end)
        return false;
    s.bytes += start - s.address;
    s.address = static_cast<uint32_t>(start);
    s.size = static_cast<uint32_t>(end - start);
    return true;
}

// The image's load ranges in address order, cut to the region where one is
// given. Each entry's file bytes were checked against the file when the
// image was read.
std::vector<STORED> stored_ranges(const MAP_IMAGE& image, const std::optional<REGION>& region)
{
    std::vector<STORED> stored;
    for (const LOAD_RANGE& r : sorted_load_ranges(image.phdrs)) {
        const Elf32_Phdr& p = image.phdrs[r.entry];
        STORED s{p.p_paddr, p.p_filesz, image.bytes + p.p_offset};
        if (!region || clip(s, *region))
            stored.push_back(s);
    }
    return stored;
}

// Offset 0 is the region's start, where one is given: the device's first
// byte.
void write_binary(std::ostream& out, const std::vector<STORED>& ranges, const FLASH_SETTINGS& settings)
{
    const std::string fill(65536, static_cast<char>(settings.gap_fill));
    uint64_t reached = settings.region ? settings.region->start : ranges.empty() ? 0 : ranges.front().address;
    for (const STORED& r : ranges) {
        for (uint64_t gap = r.address - reached; gap > 0;) {
            const uint64_t count = std::min<uint64_t>(gap, fill.size());
            out.write(fill.data(), static_cast<std::streamsize>(count));
            gap -= count;
        }
        out.write(reinterpret_cast<const char*>(r.bytes), static_cast<std::streamsize>(r.size));
        reached = uint64_t{r.address} + r.size;
    }
}

// A record's bytes as hex digits, with their sum kept for the checksum.
struct RECORD {
    std::string line;
    uint8_t sum = 0;

    void put(uint8_t byte)
    {
        static const char digits[] = "0123456789ABCDEF";
        line += digits[byte >> 4];
        line += digits[byte & 0xF];
        sum = static_cast<uint8_t>(sum + byte);
    }
    void put(const uint8_t* bytes, size_t count)
    {
        for (size_t i = 0; i < count; ++i)
            put(bytes[i]);
    }
    // The value's low width bytes, most significant first.
    void put_be(uint32_t value, unsigned width)
    {
        for (unsigned k = width; k > 0; --k)
            put(static_cast<uint8_t>(value >> (8 * (k - 1))));
    }
};

// Intel HEX: count, 16-bit address, type, data, two's complement checksum.
std::string ihex_record(uint8_t type, uint16_t address, const uint8_t* data, size_t count)
{
    RECORD r{":"};
    r.put(static_cast<uint8_t>(count));
    r.put_be(address, 2);
    r.put(type);
    r.put(data, count);
    r.put(static_cast<uint8_t>(-r.sum));
    return r.line + "\n";
}

std::string ihex_word_record(uint8_t type, uint32_t value, unsigned width)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return ihex_record(type, 0, bytes + 4 - width, width);
}

// Data records never cross a 64 KiB boundary, so that an extended linear
// address record (type 04) can give the upper half of every address.
void write_ihex(std::ostream& out, const std::vector<STORED>& ranges, uint32_t entry)
{
    uint32_t upper = 0; // a reader starts at 0
    for (const STORED& r : ranges)
        for (uint32_t done = 0; done < r.size;) {
            const uint32_t address = r.address + done;
            const uint32_t count = std::min({RECORD_BYTES, r.size - done, 0x10000 - (address & 0xFFFF)});
            if (address >> 16 != upper) {
                upper = address >> 16;
                out << ihex_word_record(0x04, upper, 2);
            }
            out << ihex_record(0x00, static_cast<uint16_t>(address), r.bytes + done, count);
            done += count;
        }
    if (entry != NO_ENTRY)
        out << ihex_word_record(0x05, entry, 4);
    out << ihex_record(0x01, 0, nullptr, 0);
}

// Motorola S-record: type, count, address of width bytes, data, one's
// complement checksum.
std::string srec_record(char type, uint32_t address, unsigned width, const uint8_t* data, size_t count)
{
    RECORD r{std::string("S") + type};
    r.put(static_cast<uint8_t>(width + count + 1));
    r.put_be(address, width);
    r.put(data, count);
    r.put(static_cast<uint8_t>(~r.sum));
    return r.line + "\n";
}

// The S0 header: the image's file name, cut to what one record holds.
std::string srec_header(const std::string& name)
{
    const std::string base = name.substr(name.rfind('/') + 1).substr(0, 255 - 3);
    return srec_record('0', 0, 2, reinterpret_cast<const uint8_t*>(base.data()), base.size());
}

// The count of data records goes in S5 (16 bits) or S6 (24 bits); a count
// too large for both is left out, as the count record is optional.
std::string srec_count(uint64_t records)
{
    if (records <= 0xFFFF)
        return srec_record('5', static_cast<uint32_t>(records), 2, nullptr, 0);
    if (records <= 0xFFFFFF)
        return srec_record('6', static_cast<uint32_t>(records), 3, nullptr, 0);
    return "";
}

void write_srec(std::ostream& out, const std::vector<STORED>& ranges, const std::string& name, uint32_t entry)
{
    if (!ranges.empty())
        out << srec_header(name);
    uint64_t records = 0;
    for (const STORED& r : ranges)
        for (uint32_t done = 0; done < r.size; ++records) {
            const uint32_t count = std::min(RECORD_BYTES, r.size - done);
            out << srec_record('3', r.address + done, 4, r.bytes + done, count);
            done += count;
        }
    out << srec_count(records);
    out << srec_record('7', entry == NO_ENTRY ? 0 : entry, 4, nullptr, 0);
}

} // namespace

// Each range must fit in 32 bits and lie clear of the others, and a region
// given must get something to store.
LINES flash_refusal(const MAP_IMAGE& image, const std::optional<REGION>& region)
{
    const std::vector<LOAD_RANGE> ranges = sorted_load_ranges(image.phdrs);
    for (const LOAD_RANGE& r : ranges)
        if (r.end > ADDRESS_SPACE_END)
            return {format("cannot store segment %zu: its load range [0x%08" PRIx32 ", 0x%09" PRIx64
                           ") passes the 32-bit address space",
                           r.entry, r.start, r.end)};
    const size_t i = first_load_overlap(ranges);
    if (i == SIZE_MAX && region && stored_ranges(image, region).empty())
        return {format("nothing to store in load region %s [0x%08" PRIx32 ", 0x%08" PRIx64 ")",
                       region->name.c_str(), region->start, uint64_t{region->start} + region->size)};
    if (i == SIZE_MAX)
        return {};
    const LOAD_RANGE& below = ranges[i];
    const LOAD_RANGE& r = ranges[i + 1];
    return {format("cannot store segment %zu: its load range [0x%08" PRIx32 ", 0x%08" PRIx64
                   ") overlaps that of segment %zu [0x%08" PRIx32 ", 0x%08" PRIx64 ")",
                   r.entry, r.start, r.end, below.entry, below.start, below.end)};
}

void write_flash_image(std::ostream& out, const MAP_IMAGE& image, const FLASH_SETTINGS& settings)
{
    const std::vector<STORED> ranges = stored_ranges(image, settings.region);
    switch (settings.format) {
    case FLASH_FORMAT::binary:
        write_binary(out, ranges, settings);
        return;
    case FLASH_FORMAT::ihex:
        write_ihex(out, ranges, image.ehdr.e_entry);
        return;
    case FLASH_FORMAT::srec:
        write_srec(out, ranges, settings.name, image.ehdr.e_entry);
        return;
    }
}
