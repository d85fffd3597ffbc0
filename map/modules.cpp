// SPDX-License-Identifier: MIT
// The modules named after "--": elf-merge's own option letters, read through
// the project's module reader, so that the map can name the file and section
// behind every byte and the checker can compare the image with its inputs.
#include "map.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// Reads the module at once, as elf-merge does: a bad module ends the run
// with elf-merge's message for it.
void register_module(MODULE_SET& set, const MAP_SLOT& slot, const char* name)
{
    set.modules.push_back(ELF_DESC(name, slot.pid, slot.prot, slot.kind));
    set.letters += slot.letter;
    ELF_DESC& m = set.modules.back();
    m.read_elf();
    if (slot.kind != ELF_KIND)
        m.entry = NO_ENTRY;
    if (m.entry == NO_ENTRY || slot.pid == -1)
        return;
    // The first module of the lowest pid supplies the image's entry point.
    if (set.pid == -1 || slot.pid < set.pid) {
        set.pid = slot.pid;
        set.entry = m.entry;
    }
}

std::string invalid_number(const char* text, char letter)
{
    return std::string("module options: invalid hexadecimal number ") + text + " for -" + letter;
}

// word is the argument that gave the option, as the user wrote it.
std::string handle_letter(MODULE_SET& set, int letter, const char* word)
{
    switch (letter) {
    case 'o':
        return ""; // the output name plays no part in the image
    case 's':
        set.sd_addr_given = true;
        return parse_hex(optarg, set.sd_addr) ? "" : invalid_number(optarg, 's');
    case 'z':
        return parse_hex(optarg, set.sd_size) ? "" : invalid_number(optarg, 'z');
    case 'r':
        set.resource_manager = true;
        return "";
    case '?':
    case ':':
        return std::string("module options: ") + word + " is not an elf-merge module option or lacks its file name";
    }
    const MAP_SLOT* slot = letter < 0x80 ? find_slot(static_cast<char>(letter)) : nullptr;
    if (!slot)
        return std::string("module options: ") + word + " names no module";
    if (letter == 'k')
        set.kernel = true;
    register_module(set, *slot, optarg);
    return "";
}

// The modules the note describes, in command-line order.
void find_described(MODULE_SET& set)
{
    for (const ELF_DESC& m : set.modules) {
        if (m.entry == NO_ENTRY || m.pid == -1)
            continue;
        if (set.resource_manager || m.pid != set.pid)
            set.described.push_back(&m);
    }
}

// The module's section-name table, or nothing where it does not lie inside
// the module's file.
std::vector<char> section_names(const ELF_DESC& m, const std::vector<Elf32_Shdr>& headers)
{
    uint32_t index = m.ehdr.e_shstrndx;
    if (index == 0xFFFF && !headers.empty()) // SHN_XINDEX: the index is held in section header 0
        index = headers[0].sh_link;
    if (m.fake != ELF_KIND || index == 0 || index >= headers.size())
        return {};
    const Elf32_Shdr& table = headers[index];
    if (!inside(table.sh_offset, table.sh_size, 1, m.size))
        return {};
    std::vector<char> names(table.sh_size);
    read_module_bytes(m, table.sh_offset, table.sh_size, reinterpret_cast<uint8_t*>(names.data()));
    return names;
}

// The name at offset in the table, or "" when it does not end inside it.
std::string name_at(const std::vector<char>& names, uint32_t offset)
{
    if (offset >= names.size())
        return "";
    const char* start = names.data() + offset;
    const void* end = std::memchr(start, 0, names.size() - offset);
    return end ? std::string(start, static_cast<const char*>(end)) : "";
}

// The same collection, checks and order that elf-merge applies.
void collect(MODULE_SET& set)
{
    std::vector<Elf32_Phdr> phdrs;
    std::vector<SHDR_HANDLE> handles;
    merge_shdr(phdrs, handles, set.modules);
    // Headers and names, read once per module.
    std::vector<std::vector<Elf32_Shdr>> headers;
    std::vector<std::vector<char>> names;
    for (const ELF_DESC& m : set.modules) {
        headers.emplace_back(m.shnum);
        read_section_headers(m, 0, headers.back());
        names.push_back(section_names(m, headers.back()));
    }
    for (const SHDR_HANDLE& h : handles) {
        const auto module = static_cast<size_t>(h.desc - set.modules.data());
        const Elf32_Shdr& header = headers[module][h.index];
        set.sections.push_back({h.desc, h.index, header, name_at(names[module], header.sh_name)});
    }
}

} // namespace

std::string load_modules(const std::vector<std::string>& args, MODULE_SET& set)
{
    set.given = true;
    std::vector<char*> argv{const_cast<char*>("elf-merge")};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    optind = 0; // start getopt afresh: the map's own options were read with it
    opterr = 0;
    int letter;
    while ((letter = getopt_long(argc, argv.data(), options, long_options, nullptr)) != -1) {
        const std::string fault = handle_letter(set, letter, argv[static_cast<size_t>(optind) - 1]);
        if (!fault.empty())
            return fault;
    }
    if (optind < argc)
        return std::string("module options: unexpected argument ") + argv[static_cast<size_t>(optind)];
    find_described(set);
    collect(set);
    return "";
}

void release_modules(MODULE_SET& set)
{
    set.sections.clear();
    set.described.clear();
    release_modules(set.modules);
    set.letters.clear();
}

MAP_MODE resolved_mode(const MAP_IMAGE& image, const MODULE_SET& set)
{
    if (!image.system || !set.given)
        return image_mode(image);
    if (set.resource_manager)
        return MAP_MODE::resource_manager;
    return set.kernel ? MAP_MODE::kernel : image_mode(image);
}

std::vector<const SECTION_REF*> sections_in(const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    std::vector<const SECTION_REF*> held;
    const Elf32_Phdr& p = image.phdrs[index];
    if (p.p_type != PT_LOAD)
        return held;
    const uint64_t end = uint64_t{p.p_vaddr} + p.p_memsz;
    for (const SECTION_REF& s : set.sections) {
        const uint32_t addr = s.header.sh_addr;
        if (addr >= p.p_vaddr && addr < end)
            held.push_back(&s);
    }
    return held;
}

std::string section_label(const SECTION_REF& s)
{
    std::string label = "section " + std::to_string(s.index);
    if (!s.name.empty())
        label += " (" + s.name + ")";
    return label + " of " + s.module->name;
}

std::string segment_label(const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    std::string label = "segment " + std::to_string(index);
    const std::vector<const SECTION_REF*> held = sections_in(image, index, set);
    if (!held.empty())
        label += " (" + section_label(*held.front()) + ")";
    return label;
}

char module_letter(const MODULE_SET& set, const ELF_DESC& m)
{
    const auto index = static_cast<size_t>(&m - set.modules.data());
    return index < set.letters.size() ? set.letters[index] : '?';
}
