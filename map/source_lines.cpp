// SPDX-License-Identifier: MIT
// The DWARF reader. clang writes .debug_aranges for assembler units only,
// and libdw trusts a partial table, so dwarf_addrdie misses the C units:
// each unit is found by its own ranges instead, indexed once per module.
#include "source_lines.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string_view>

#if ELF_MERGE_HAVE_LIBDW
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <gelf.h>
#include <libelf.h>
#endif

std::string no_line_information(const SOURCE_PLACE& place)
{
    return "no line information (" + place.reason + ")";
}

#if !ELF_MERGE_HAVE_LIBDW

struct MODULE_LINES {};

std::shared_ptr<const MODULE_LINES> read_module_lines(std::vector<char>)
{
    return std::make_shared<MODULE_LINES>();
}

SOURCE_PLACE source_place(const LINE_INDEX& lines, size_t module, uint32_t)
{
    if (module >= lines.size() || !lines[module])
        return {};
    return {true, {}, "built without libdw"};
}

#else

// An address range of one unit.
struct UNIT_RANGE {
    Dwarf_Addr start, end;
    Dwarf_Die unit;
};

struct MODULE_LINES {
    // libdw reads the module's bytes where they lie, so they are a copy of
    // the module's own and live as long as the DWARF.
    std::vector<char> bytes;
    Elf* elf = nullptr;
    Dwarf* dwarf = nullptr;
    std::vector<UNIT_RANGE> ranges; // by start address
    std::string reason;             // why the DWARF cannot be read

    MODULE_LINES() = default;
    MODULE_LINES(const MODULE_LINES&) = delete;
    MODULE_LINES& operator=(const MODULE_LINES&) = delete;
    ~MODULE_LINES()
    {
        dwarf_end(dwarf);
        elf_end(elf);
    }
};

namespace {

std::string libdw_reason()
{
    const char* why = dwarf_errmsg(-1);
    return why ? why : "unknown error";
}

bool add_unit_ranges(MODULE_LINES& m, Dwarf_Die& unit)
{
    Dwarf_Addr base, start, end;
    ptrdiff_t offset = 0;
    while ((offset = dwarf_ranges(&unit, offset, &base, &start, &end)) > 0)
        if (start < end)
            m.ranges.push_back({start, end, unit});
    return offset == 0;
}

uint64_t debug_info_size(Elf* elf)
{
    size_t names;
    if (elf_getshdrstrndx(elf, &names) != 0)
        return 0;
    for (Elf_Scn* scn = elf_nextscn(elf, nullptr); scn; scn = elf_nextscn(elf, scn)) {
        GElf_Shdr header;
        const char* name = gelf_getshdr(scn, &header) ? elf_strptr(elf, names, header.sh_name) : nullptr;
        if (name && std::string_view(name) == ".debug_info")
            return header.sh_size;
    }
    return 0;
}

// libdw stops quietly at a unit whose length passes the section's end, so
// the units must be seen to fill the section exactly.
bool units_fill_section(MODULE_LINES& m)
{
    Dwarf_Off offset = 0, next;
    size_t header;
    while (dwarf_next_unit(m.dwarf, offset, &next, &header, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) == 0)
        offset = next;
    return offset == debug_info_size(m.elf);
}

// Every unit's ranges, in address order; a unit libdw cannot read makes the
// whole module unreadable, as its other answers could not be trusted.
bool index_units(MODULE_LINES& m)
{
    Dwarf_CU* cu = nullptr;
    Dwarf_CU* next = nullptr;
    Dwarf_Half version;
    uint8_t unit_type;
    Dwarf_Die unit;
    int status;
    while ((status = dwarf_get_units(m.dwarf, cu, &next, &version, &unit_type, &unit, nullptr)) == 0) {
        if (!add_unit_ranges(m, unit))
            return false;
        cu = next;
    }
    std::sort(m.ranges.begin(), m.ranges.end(),
              [](const UNIT_RANGE& a, const UNIT_RANGE& b) { return a.start < b.start; });
    return status == 1;
}

} // namespace

std::shared_ptr<const MODULE_LINES> read_module_lines(std::vector<char> bytes)
{
    static const unsigned version = elf_version(EV_CURRENT);
    (void)version;
    auto m = std::make_shared<MODULE_LINES>();
    m->bytes = std::move(bytes);
    m->elf = elf_memory(m->bytes.data(), m->bytes.size());
    m->dwarf = m->elf ? dwarf_begin_elf(m->elf, DWARF_C_READ, nullptr) : nullptr;
    if (!m->dwarf || !index_units(*m)) {
        m->reason = libdw_reason();
        m->ranges.clear();
    } else if (!units_fill_section(*m)) {
        m->reason = "a unit's length passes the end of .debug_info";
        m->ranges.clear();
    } else if (m->ranges.empty()) {
        m->reason = "no unit has an address range";
    }
    return m;
}

namespace {

const UNIT_RANGE* unit_at(const MODULE_LINES& m, Dwarf_Addr address)
{
    auto after = std::upper_bound(m.ranges.begin(), m.ranges.end(), address,
                                  [](Dwarf_Addr a, const UNIT_RANGE& r) { return a < r.start; });
    // Units do not share addresses, so only the last range starting at or
    // before the address can hold it.
    if (after == m.ranges.begin() || address >= std::prev(after)->end)
        return nullptr;
    return &*std::prev(after);
}

// A function's name, also through its abstract origin; false where an
// origin chain (a loop, say, which libdw follows a few steps) gives none.
bool die_name(Dwarf_Die* die, std::string& name)
{
    Dwarf_Attribute attr;
    const char* text = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_name, &attr));
    name = text ? text : "";
    return text || !dwarf_hasattr(die, DW_AT_abstract_origin);
}

uint32_t udata(Dwarf_Die* die, unsigned int name)
{
    Dwarf_Attribute attr;
    Dwarf_Word value = 0;
    if (dwarf_formudata(dwarf_attr(die, name, &attr), &value) != 0)
        return 0;
    return static_cast<uint32_t>(std::min<Dwarf_Word>(value, UINT32_MAX));
}

std::string call_file(Dwarf_Die* unit, Dwarf_Die* inlined)
{
    Dwarf_Files* files;
    size_t count;
    const uint32_t index = udata(inlined, DW_AT_call_file);
    if (dwarf_getsrcfiles(unit, &files, &count) != 0 || index >= count)
        return "";
    const char* file = dwarf_filesrc(files, index, nullptr, nullptr);
    return file ? file : "";
}

bool is_function(Dwarf_Die* die)
{
    const int tag = dwarf_tag(die);
    return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine;
}

// The innermost function's row comes from the line table; each caller's
// place from the call attributes of the inlined call it holds.
std::string add_frames(SOURCE_PLACE& place, Dwarf_Die* unit, Dwarf_Addr address)
{
    Dwarf_Line* line = dwarf_getsrc_die(unit, address);
    if (!line)
        return libdw_reason();
    int number = 0, column = 0;
    const char* file = dwarf_linesrc(line, nullptr, nullptr);
    if (dwarf_lineno(line, &number) != 0 || dwarf_linecol(line, &column) != 0 || !file)
        return libdw_reason();
    SOURCE_FRAME frame{"", file, static_cast<uint32_t>(number), static_cast<uint32_t>(column)};

    // dwarf_getscopes stops at the first function; dwarf_getscopes_die on
    // its innermost scope goes on through the functions it is inlined into.
    Dwarf_Die* scopes = nullptr;
    Dwarf_Die* chain = nullptr;
    const int found = dwarf_getscopes(unit, address, &scopes);
    const int count = found > 0 ? dwarf_getscopes_die(&scopes[0], &chain) : 0;
    std::string reason;
    for (int i = 0; i < count && reason.empty(); ++i) {
        if (!is_function(&chain[i]))
            continue;
        if (!die_name(&chain[i], frame.function))
            reason = "a function's DW_AT_abstract_origin leads to no name";
        place.frames.push_back(frame);
        if (dwarf_tag(&chain[i]) != DW_TAG_inlined_subroutine)
            break;
        frame = {"", call_file(unit, &chain[i]), udata(&chain[i], DW_AT_call_line),
                 udata(&chain[i], DW_AT_call_column)};
    }
    free(scopes);
    free(chain);
    if (!reason.empty())
        place.frames.clear();
    else if (place.frames.empty())
        place.frames.push_back(frame); // code without a function entry, as an assembler's
    return reason;
}

} // namespace

SOURCE_PLACE source_place(const LINE_INDEX& lines, size_t module, uint32_t address)
{
    if (module >= lines.size() || !lines[module])
        return {};
    const MODULE_LINES& m = *lines[module];
    SOURCE_PLACE place{true, {}, m.reason};
    if (!m.reason.empty())
        return place;
    // No instruction starts at an odd address: a Thumb return address or
    // function pointer has bit 0 set, and names the instruction below it.
    const Dwarf_Addr even = address & ~Dwarf_Addr{1};
    const UNIT_RANGE* range = unit_at(m, even);
    if (!range)
        return place;
    Dwarf_Die unit = range->unit;
    place.reason = add_frames(place, &unit, even);
    return place;
}

#endif
