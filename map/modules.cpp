// SPDX-License-Identifier: MIT
// The modules named after "--": elf-merge's own command line, read and
// composed by elf-merge's own code, so that the map can name the file and
// section behind every byte and the checker can compare the image with the
// one elf-merge writes.
#include "map.h"

#include <algorithm>
#include <cstring>

namespace {

// The reader decides, the map reports: a module option that elf-merge
// refuses is one line of the map's own.
std::string option_fault(const OPTION_OUTCOME& outcome, const std::string& word)
{
    switch (outcome.effect) {
    case OPTION_EFFECT::done:
        return "";
    case OPTION_EFFECT::refused:
        return "module options: " + outcome.message.substr(0, outcome.message.find_last_not_of('\n') + 1);
    case OPTION_EFFECT::help:
    case OPTION_EFFECT::long_help:
    case OPTION_EFFECT::version:
    case OPTION_EFFECT::list:
        return "module options: " + word + " names no module";
    case OPTION_EFFECT::unknown:
        break;
    }
    // getopt's one answer for an unknown option and one missing its value.
    const char* value = option_value(word);
    if (value && std::string_view(value) == "number")
        return "module options: " + word + " lacks its number";
    return "module options: " + word + " is not an elf-merge module option or lacks its file name";
}

// The module's section-name table, or nothing where it does not lie inside
// the module's file. One header is read to find it.
std::vector<char> section_names(const ELF_DESC& m)
{
    if (m.fake != ELF_KIND || m.shnum == 0)
        return {};
    uint32_t index = m.ehdr.e_shstrndx;
    std::vector<Elf32_Shdr> header(1);
    if (index == SHN_XINDEX) { // the index is held in section header 0
        read_section_headers(m, 0, header);
        index = header[0].sh_link;
    }
    if (index == 0 || index >= m.shnum)
        return {};
    read_section_headers(m, index, header);
    const Elf32_Shdr& table = header[0];
    if (!inside(table.sh_offset, table.sh_size, 1, m.size))
        return {};
    std::vector<char> names(table.sh_size);
    read_module_bytes(m, table.sh_offset, table.sh_size, reinterpret_cast<uint8_t*>(names.data()));
    return names;
}

// The name at offset in the table, or "" when it does not end inside it.
std::string_view name_at(const std::vector<char>& names, uint32_t offset)
{
    if (offset >= names.size())
        return {};
    const char* start = names.data() + offset;
    const void* end = std::memchr(start, 0, names.size() - offset);
    return end ? std::string_view(start, static_cast<size_t>(static_cast<const char*>(end) - start))
               : std::string_view();
}

// Composes the image as elf-merge does, keeping each collected section's
// sh_name on the way, so that no table is read twice.
void compose(MODULE_SET& set)
{
    const std::vector<ELF_DESC>& modules = set.run.modules;
    std::vector<std::vector<uint32_t>> sh_names(modules.size());
    for (size_t i = 0; i < modules.size(); ++i)
        sh_names[i].resize(modules[i].shnum);
    set.expected = compose_image(set.run, [&](const SHDR_HANDLE& h, const Elf32_Shdr& s) {
        sh_names[h.module][h.index] = s.sh_name;
    });
    for (const ELF_DESC& m : modules)
        set.name_tables.push_back(section_names(m));
    set.sections.reserve(set.expected.sections.size());
    for (const SHDR_HANDLE& h : set.expected.sections) {
        set.sections.push_back({&h, name_at(set.name_tables[h.module], sh_names[h.module][h.index])});
    }
    set.load_addresses = load_addresses(set.expected.sections, modules);
}

} // namespace

std::string load_modules(const std::vector<std::string>& args, MODULE_SET& set)
{
    set.given = true;
    std::vector<char*> argv{const_cast<char*>("elf-merge")};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    opterr = 0;
    const OPTION_OUTCOME outcome = read_options(set.run, static_cast<int>(argv.size()) - 1, argv.data());
    if (outcome.effect != OPTION_EFFECT::done)
        return option_fault(outcome, argv[static_cast<size_t>(optind) - 1]);
    if (const char* fault = settings_fault(set.run))
        return option_fault({OPTION_EFFECT::refused, fault}, "");
    compose(set);
    return "";
}

void index_sections(MODULE_SET& set, const MAP_IMAGE& image)
{
    set.held.assign(image.phdrs.size(), {});
    const std::span<const SECTION_REF> all(set.sections);
    const auto below = [](const SECTION_REF& s, uint64_t addr) { return s.handle->sh_addr < addr; };
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        const Elf32_Phdr& p = image.phdrs[i];
        if (p.p_type != PT_LOAD)
            continue;
        const auto first = std::lower_bound(all.begin(), all.end(), uint64_t{p.p_vaddr}, below);
        const auto last = std::lower_bound(first, all.end(), segment_end(p), below);
        set.held[i] = std::span<const SECTION_REF>(first, last);
    }
}

void release_modules(MODULE_SET& set)
{
    set.held.clear();
    set.sections.clear();
    set.load_addresses.clear();
    set.name_tables.clear();
    release_image(set.expected);
    release_modules(set.run.modules);
}

MAP_MODE resolved_mode(const MAP_IMAGE& image, const MODULE_SET& set)
{
    if (!image.layout.system || !set.given)
        return image_mode(image);
    if (set.run.resource_manager)
        return MAP_MODE::resource_manager;
    return set.run.kernel ? MAP_MODE::kernel : image_mode(image);
}

std::span<const SECTION_REF> sections_in(const MAP_IMAGE&, size_t index, const MODULE_SET& set)
{
    return index < set.held.size() ? set.held[index] : std::span<const SECTION_REF>();
}

// Sections do not overlap, so the last one starting at or below addr is the
// only one that can hold it.
const SECTION_REF* section_at(const MODULE_SET& set, uint32_t addr)
{
    const auto after = std::upper_bound(set.sections.begin(), set.sections.end(), addr,
                                        [](uint32_t a, const SECTION_REF& s) { return a < s.handle->sh_addr; });
    if (after == set.sections.begin())
        return nullptr;
    const SECTION_REF& s = *(after - 1);
    return addr - s.handle->sh_addr < s.handle->sh_size ? &s : nullptr;
}

uint32_t section_load_address(const MODULE_SET& set, const SECTION_REF& s)
{
    return set.load_addresses[static_cast<size_t>(&s - set.sections.data())];
}

std::string section_label(const SECTION_REF& s)
{
    std::string label;
    append_section_label(label, s);
    return label;
}

// A raw image is one section made up by the reader, whose index says
// nothing to the user: the file is named instead.
void append_section_label(std::string& out, const SECTION_REF& s)
{
    if (raw_image(s)) {
        out.append("raw image ").append(s.handle->desc->name);
        return;
    }
    append_decimal(out.append("section "), s.handle->index);
    if (!s.name.empty())
        out.append(" (").append(s.name).append(")");
    out.append(" of ").append(s.handle->desc->name);
}

bool raw_image(const SECTION_REF& s)
{
    return s.handle->desc->fake != ELF_KIND;
}

// The Shared Data segment holds no section: it is named for what it is.
std::string segment_label(const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    std::string label = "segment " + std::to_string(index);
    if (image.layout.sd_index == index)
        return label + " (Shared Data segment)";
    const std::span<const SECTION_REF> held = sections_in(image, index, set);
    if (!held.empty())
        label += " (" + section_label(held.front()) + ")";
    return label;
}

char module_letter(const ELF_DESC& m)
{
    return m.slot >= 0 ? slots[m.slot].letter : '?';
}
