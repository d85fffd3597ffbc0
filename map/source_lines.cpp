// SPDX-License-Identifier: MIT
// The DWARF reader. clang writes .debug_aranges for assembler units only,
// and libdw trusts a partial table, so dwarf_addrdie misses the C units:
// each unit is found by its own ranges instead, indexed once per module.
#include "source_lines.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

#if ELF_MERGE_HAVE_LIBDW
#include <dwarf.h>
#include <elfutils/libdw.h>
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

std::string die_name(Dwarf_Die* die)
{
    Dwarf_Attribute attr;
    const char* name = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_name, &attr));
    return name ? name : "";
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
bool add_frames(SOURCE_PLACE& place, Dwarf_Die* unit, Dwarf_Addr address)
{
    Dwarf_Line* line = dwarf_getsrc_die(unit, address);
    if (!line)
        return false;
    int number = 0, column = 0;
    const char* file = dwarf_linesrc(line, nullptr, nullptr);
    if (dwarf_lineno(line, &number) != 0 || dwarf_linecol(line, &column) != 0 || !file)
        return false;
    SOURCE_FRAME frame{"", file, static_cast<uint32_t>(number), static_cast<uint32_t>(column)};

    // dwarf_getscopes stops at the first function; dwarf_getscopes_die on
    // its innermost scope goes on through the functions it is inlined into.
    Dwarf_Die* scopes = nullptr;
    Dwarf_Die* chain = nullptr;
    const int found = dwarf_getscopes(unit, address, &scopes);
    const int count = found > 0 ? dwarf_getscopes_die(&scopes[0], &chain) : 0;
    for (int i = 0; i < count; ++i) {
        if (!is_function(&chain[i]))
            continue;
        frame.function = die_name(&chain[i]);
        place.frames.push_back(frame);
        if (dwarf_tag(&chain[i]) != DW_TAG_inlined_subroutine)
            break;
        frame = {"", call_file(unit, &chain[i]), udata(&chain[i], DW_AT_call_line),
                 udata(&chain[i], DW_AT_call_column)};
    }
    free(scopes);
    free(chain);
    if (place.frames.empty())
        place.frames.push_back(frame); // code without a function entry, as an assembler's
    return true;
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
    if (!add_frames(place, &unit, even))
        place.reason = libdw_reason();
    return place;
}

#endif
