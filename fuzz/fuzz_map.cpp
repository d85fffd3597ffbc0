// SPDX-License-Identifier: MIT
// elf-merge-map's image parser: any bytes are read as an image; one that is
// read goes through every check, both report writers, the flash image
// writers, memory use, regions, the SVG picture, the diff, against itself
// and against a copy with its second half changed, and --where. None of these
// ends the process, so a crash or a sanitizer report is a real fault.
#include "map.h"

#include <sstream>

namespace {

// HEX and S-records grow with the bytes stored; a binary spans every gap
// too, so it is written only where that span is small.
void write_flash_images(const MAP_IMAGE& image, std::ostream& out)
{
    if (!flash_refusal(image).empty())
        return;
    for (const FLASH_FORMAT format : {FLASH_FORMAT::ihex, FLASH_FORMAT::srec})
        write_flash_image(out, image, {format, 0, "fuzz.elf"});
    const std::vector<LOAD_RANGE> ranges = sorted_load_ranges(image.phdrs);
    if (!ranges.empty() && ranges.back().end - ranges.front().start <= 1 << 20)
        write_flash_image(out, image, {FLASH_FORMAT::binary, 0xFF, "fuzz.elf"});
}

// Regions of both kinds that part of any image falls in and part not.
const std::vector<REGION> regions = {{"low", REGION_KIND::run, 0, 0x10000},
                                     {"rest", REGION_KIND::run, 0x10000, 0xFFFF0000},
                                     {"flash", REGION_KIND::load, 0x1000, 0x1000}};

void diff_with(const MAP_IMAGE& image, const uint8_t* data, size_t size, std::ostream& out)
{
    MAP_IMAGE other;
    if (!parse_image(data, size, other).empty())
        return;
    const IMAGE_DIFF diff = diff_images(image, other, MODULE_SET{});
    write_diff_text(out, diff);
    write_diff_json(out, "old.elf", "new.elf", diff);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MAP_IMAGE image;
    if (!parse_image(data, size, image).empty())
        return 0;
    check_image(image, MODULE_SET{});
    check_regions(image, regions, MODULE_SET{});
    const MODULE_SET no_modules;
    std::ostringstream out;
    write_text_report(out, "fuzz.elf", image, no_modules, regions);
    write_json_report(out, "fuzz.elf", image, no_modules, regions);
    write_flash_images(image, out);
    write_svg(out, "fuzz.elf", image, no_modules);
    write_debug_elf(out, "fuzz.debug.elf", image, no_modules);
    diff_with(image, data, size, out);
    std::vector<uint8_t> changed(data, data + size);
    for (size_t i = size / 2; i < size; ++i)
        changed[i] = static_cast<uint8_t>(changed[i] * 31 + 7);
    diff_with(image, changed.data(), changed.size(), out);
    // --where at the entry point and at the first bytes of the file.
    for (const uint32_t address : {image.ehdr.e_entry, uint32_t{0}}) {
        const std::vector<ADDRESS_PLACE> places = places_of(address, image, no_modules, {});
        write_where_text(out, places, image, no_modules);
        write_where_json(out, places, image, no_modules);
    }
    return 0;
}
