// SPDX-License-Identifier: MIT
// --json: the report, or with --diff the differences, as one JSON document,
// in the documented field order.
// Numbers are plain decimal integers. Names are UTF-8 as they stand; a byte
// that is not UTF-8 becomes U+FFFD, so the document is valid whatever bytes
// a path or a module's names hold.
#include "map.h"

#include <nlohmann/json.hpp>

namespace {

using JSON = nlohmann::ordered_json;

// Layout 2 made names UTF-8 text; layout 1 escaped every byte on its own.
constexpr int JSON_SCHEMA = 2;

JSON name_or_null(const char* name)
{
    return name ? JSON(name) : JSON(nullptr);
}

JSON header(const MAP_IMAGE& image)
{
    return {{"entry", image.ehdr.e_entry}, {"flags", image.ehdr.e_flags}, {"phnum", image.ehdr.e_phnum}};
}

JSON place(const Elf32_Phdr& p, const Elf32_Phdr& sd)
{
    return {{"offset", p.p_vaddr - sd.p_vaddr}, {"size", p.p_filesz}};
}

JSON shared_data(const MAP_IMAGE& image)
{
    if (!image.system)
        return nullptr;
    const Elf32_Phdr& sd = image.phdrs[static_cast<size_t>(image.sd_index)];
    JSON j = {{"address", sd.p_vaddr},
              {"memory_size", sd.p_memsz},
              {"file_size", sd.p_filesz},
              {"table", place(image.phdrs[0], sd)}};
    j["note"] = image.note_index < 0 ? JSON(nullptr) : place(image.phdrs[static_cast<size_t>(image.note_index)], sd);
    return j;
}

JSON modules(const MAP_IMAGE& image, const MODULE_SET& set)
{
    JSON list = JSON::array();
    for (size_t g = 0; g < image.groups.size(); ++g) {
        const AUX_GROUP& a = image.groups[g];
        list.push_back({{"pid", a.pid},
                        {"entry", a.entry},
                        {"priority", static_cast<int32_t>(a.priority)},
                        {"stack_size", a.stack_size},
                        {"stack_address", a.stack},
                        {"file", name_or_null(described_file(set, g))}});
    }
    return list;
}

JSON sections(const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    JSON list = JSON::array();
    for (const SECTION_REF& s : sections_in(image, index, set)) {
        const SHDR_HANDLE& h = *s.handle;
        list.push_back({{"file", h.desc->name},
                        {"index", h.index},
                        {"name", s.name.empty() ? JSON(nullptr) : JSON(s.name)},
                        {"address", h.sh_addr},
                        {"load_address", load_address(*h.desc, h.sh_addr)},
                        {"size", h.sh_size},
                        {"nobits", h.nobits}});
    }
    return list;
}

JSON slots(const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    const SEGMENT_OWNER owner = segment_owner(image, index, set);
    JSON list = JSON::array();
    if (owner.system)
        list.push_back("system");
    else
        for (char c : owner.letters)
            list.push_back(std::string(1, c));
    return list;
}

JSON segment(const MAP_IMAGE& image, size_t i, const MODULE_SET& set)
{
    const Elf32_Phdr& p = image.phdrs[i];
    return {{"index", i},
            {"type", p.p_type},
            {"type_name", name_or_null(segment_type_name(p.p_type))},
            {"vaddr", p.p_vaddr},
            {"end", uint64_t{p.p_vaddr} + p.p_memsz},
            {"paddr", p.p_paddr},
            {"offset", p.p_offset},
            {"file_size", p.p_filesz},
            {"memory_size", p.p_memsz},
            {"align", p.p_align},
            {"flags", p.p_flags},
            {"read", (p.p_flags & PF_R) != 0},
            {"write", (p.p_flags & PF_W) != 0},
            {"execute", (p.p_flags & PF_X) != 0},
            {"protection", p.p_flags & PROT_BITS},
            {"slots", slots(image, i, set)},
            {"sections", sections(image, i, set)},
            {"sha256", segment_sha256(image, i)}};
}

JSON gaps(const MAP_IMAGE& image)
{
    JSON list = JSON::array();
    for (const MAP_GAP& g : memory_gaps(image))
        list.push_back({{"start", g.start}, {"end", g.end}, {"size", g.end - g.start}});
    return list;
}

JSON usage(const MAP_IMAGE& image, const MODULE_SET& set)
{
    JSON list = JSON::array();
    for (const USAGE_ROW& r : memory_usage(image, set))
        list.push_back({{"slots", r.slots},
                        {"file", name_or_null(r.file)},
                        {"pid", r.pid < 0 ? JSON(nullptr) : JSON(r.pid)},
                        {"code", r.code},
                        {"rodata", r.rodata},
                        {"data", r.data},
                        {"bss", r.bss},
                        {"total", r.total()}});
    return list;
}

JSON regions(const MAP_IMAGE& image, const std::vector<REGION>& given)
{
    JSON list = JSON::array();
    for (const REGION& r : given)
        list.push_back({{"name", r.name},
                        {"kind", region_kind_name(r.kind)},
                        {"start", r.start},
                        {"size", r.size},
                        {"used", region_used(image, r)}});
    return list;
}

// A value that one image lacks is null.
JSON side(const std::optional<int64_t>& value)
{
    return value ? JSON(*value) : JSON(nullptr);
}

JSON field_changes(const std::vector<FIELD_CHANGE>& fields)
{
    JSON list = JSON::array();
    for (const FIELD_CHANGE& f : fields)
        list.push_back({{"field", f.field}, {"old", side(f.before)}, {"new", side(f.after)}});
    return list;
}

const char* change_name(CHANGE kind)
{
    return kind == CHANGE::added ? "added" : kind == CHANGE::removed ? "removed" : "changed";
}

JSON index_or_null(size_t index)
{
    return index == SIZE_MAX ? JSON(nullptr) : JSON(index);
}

JSON note_changes(const IMAGE_DIFF& d)
{
    JSON list = JSON::array();
    for (const GROUP_CHANGE& g : d.note)
        list.push_back({{"change", change_name(g.kind)},
                        {"pid", g.pid},
                        {"file", name_or_null(g.file)},
                        {"fields", field_changes(g.fields)}});
    return list;
}

JSON segment_changes(const IMAGE_DIFF& d)
{
    JSON list = JSON::array();
    for (const SEGMENT_CHANGE& c : d.segments)
        list.push_back({{"change", change_name(c.kind)},
                        {"old_index", index_or_null(c.before)},
                        {"new_index", index_or_null(c.after)},
                        {"label", c.label},
                        {"fields", field_changes(c.fields)},
                        {"differing_bytes", c.differing_bytes},
                        {"first_difference", c.differing_bytes ? JSON(c.first_difference) : JSON(nullptr)}});
    return list;
}

JSON loaded(const LOAD_TOTALS& t)
{
    return {{"segments", t.segments}, {"file_bytes", t.file_bytes}, {"memory_bytes", t.memory_bytes}};
}

void write_document(std::ostream& out, const JSON& j)
{
    out << j.dump(-1, ' ', false, JSON::error_handler_t::replace) << '\n';
}

} // namespace

void write_json_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set,
                       const std::vector<REGION>& given)
{
    JSON j;
    j["schema"] = JSON_SCHEMA;
    j["image"] = path;
    j["file_size"] = image.size;
    j["header"] = header(image);
    j["mode"] = mode_name(resolved_mode(image, set));
    j["shared_data"] = shared_data(image);
    j["modules"] = modules(image, set);
    JSON& list = j["segments"] = JSON::array();
    for (size_t i = 0; i < image.phdrs.size(); ++i)
        list.push_back(segment(image, i, set));
    j["loaded"] = loaded(load_totals(image));
    j["gaps"] = gaps(image);
    j["usage"] = usage(image, set);
    j["regions"] = regions(image, given);
    j["sha256"] = sha256_hex(image.bytes, image.size);
    write_document(out, j);
}

void write_diff_json(std::ostream& out, const std::string& before_path, const std::string& after_path,
                     const IMAGE_DIFF& d)
{
    JSON j;
    j["schema"] = JSON_SCHEMA;
    j["old"] = before_path;
    j["new"] = after_path;
    j["identical"] = d.identical;
    j["header"] = field_changes(d.header);
    j["mode"] = d.mode_before == d.mode_after ? JSON(nullptr) : JSON({{"old", d.mode_before}, {"new", d.mode_after}});
    j["shared_data"] = field_changes(d.shared_data);
    j["note"] = note_changes(d);
    j["segments"] = segment_changes(d);
    j["other_difference"] = d.other_difference ? JSON(*d.other_difference) : JSON(nullptr);
    j["loaded"] = {{"old", loaded(d.loaded_before)}, {"new", loaded(d.loaded_after)}};
    write_document(out, j);
}
