// elf-merge-map's image parser: any bytes are read as an image; one that is
// read goes through every check and both report writers. None of these
// ends the process, so a crash or a sanitizer report is a real fault.
#include "map.h"

#include <sstream>

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
    return 0;
}
