// elf-merge-map's image parser: any bytes are read as an image; one that is
// read goes through every check, both report writers and the flash image
// writers. None of these ends the process, so a crash or a sanitizer report
// is a real fault.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MAP_IMAGE image;
    if (!parse_image(data, size, image).empty())
        return 0;
    check_image(image, MODULE_SET{});
    const MODULE_SET no_modules;
    std::ostringstream out;
    write_text_report(out, "fuzz.elf", image, no_modules);
    write_json_report(out, "fuzz.elf", image, no_modules);
    write_flash_images(image, out);
    return 0;
}
