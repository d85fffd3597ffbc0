// SPDX-License-Identifier: MIT
// --json: the report, or with --diff the differences, as one JSON document,
// in the documented field order.
// Numbers are plain decimal integers. Names are UTF-8 as they stand; a byte
// that is not UTF-8 becomes U+FFFD, so the document is valid whatever bytes
// a path or a module's names hold.
#include "map.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <concepts>

namespace {

using JSON = nlohmann::ordered_json;

// Layout 3 made the usage rows' "slots" a list, as the segments' is, and
// gave each region its "overflow"; layout 2 made names UTF-8 text; layout 1
// escaped every byte on its own.
constexpr int JSON_SCHEMA = 3;

// ---------------------------------------------------------------------------
// Every document is written as it is made, a segment at a time, in the
// compact form that nlohmann's dump gives: the document of a million
// sections would not fit in memory as nlohmann values. nlohmann escapes the
// strings that hold a byte to escape. Nothing below this part touches the
// text but through it.

struct WRITER {
    std::ostream& out;
    std::string text;  // handed to out every 64 KiB or so
    bool first = true; // the next value opens its object or array, or follows its key
};

// A string as nlohmann writes it; names without a byte to escape, most of
// them, are copied as they are.
void append_string(std::string& out, std::string_view text)
{
    const bool plain =
        std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7F && c != '"' && c != '\\'; });
    if (!plain) {
        out += JSON(std::string(text)).dump(-1, ' ', false, JSON::error_handler_t::replace);
        return;
    }
    out += '"';
    out += text;
    out += '"';
}

void separate(WRITER& w)
{
    if (!w.first)
        w.text += ',';
    w.first = false;
}

// Keys are literals, whose lengths are known where they are written.
void key(WRITER& w, std::string_view name)
{
    separate(w);
    w.text += '"';
    w.text += name;
    w.text.append("\":", 2);
    w.first = true;
}

void flush(WRITER& w)
{
    w.out << w.text;
    w.text.clear();
}

// An object or an array, open from the scope's construction to its end,
// under a key of the object around it or as a value of the array.
class SCOPE {
public:
    SCOPE(const SCOPE&) = delete;
    SCOPE& operator=(const SCOPE&) = delete;
    ~SCOPE()
    {
        w.text += closing;
        w.first = false;
        if (w.text.size() >= 65536)
            flush(w);
    }

protected:
    SCOPE(WRITER& writer, char bracket, char closing_bracket) : w(writer), closing(closing_bracket)
    {
        separate(w);
        w.text += bracket;
        w.first = true;
    }

private:
    WRITER& w;
    char closing;
};

struct OBJECT : SCOPE {
    explicit OBJECT(WRITER& w) : SCOPE(w, '{', '}') {}
    OBJECT(WRITER& w, std::string_view name) : OBJECT((key(w, name), w)) {}
};

struct ARRAY : SCOPE {
    explicit ARRAY(WRITER& w) : SCOPE(w, '[', ']') {}
    ARRAY(WRITER& w, std::string_view name) : ARRAY((key(w, name), w)) {}
};

// A string escaped once, for a name written many times over.
struct ESCAPED {
    std::string json;
};

ESCAPED escaped(std::string_view text)
{
    ESCAPED e;
    append_string(e.json, text);
    return e;
}

template <typename NUMBER>
    requires std::integral<NUMBER>
void value(WRITER& w, NUMBER number)
{
    separate(w);
    if constexpr (std::is_same_v<NUMBER, bool>)
        w.text += number ? "true" : "false";
    else
        append_decimal(w.text, number);
}

void value(WRITER& w, std::string_view text)
{
    separate(w);
    append_string(w.text, text);
}

void value(WRITER& w, const ESCAPED& text)
{
    separate(w);
    w.text += text.json;
}

// A value that is not there, such as what one image lacks, is null.
template <typename VALUE>
void value(WRITER& w, const std::optional<VALUE>& v)
{
    if (v)
        return value(w, *v);
    separate(w);
    w.text += "null";
}

void value(WRITER& w, std::nullopt_t)
{
    value(w, std::optional<bool>());
}

template <typename VALUE>
void field(WRITER& w, std::string_view name, const VALUE& v)
{
    key(w, name);
    value(w, v);
}

// A value known only when known is true.
template <typename VALUE>
std::optional<VALUE> known_if(bool known, VALUE v)
{
    return known ? std::optional<VALUE>(v) : std::nullopt;
}

// A name that may be missing (a null pointer).
std::optional<std::string_view> name_of(const char* name)
{
    return known_if(name != nullptr, std::string_view(name ? name : ""));
}

// One document: an object or an array, then the end of its line, handed to
// out whole.
template <typename DOCUMENT, typename BODY>
void write_document(std::ostream& out, BODY body)
{
    WRITER w{out, {}, true};
    {
        const DOCUMENT root(w);
        body(w);
    }
    w.text += '\n';
    flush(w);
}

// Each part of the report below is written under its key.
void write_header(WRITER& w, const MAP_IMAGE& image)
{
    const OBJECT header(w, "header");
    field(w, "entry", image.ehdr.e_entry);
    field(w, "flags", image.ehdr.e_flags);
    field(w, "phnum", image.ehdr.e_phnum);
}

void write_place(WRITER& w, std::string_view name, const Elf32_Phdr& p, const Elf32_Phdr& sd)
{
    const OBJECT place(w, name);
    field(w, "offset", p.p_vaddr - sd.p_vaddr);
    field(w, "size", p.p_filesz);
}

void write_shared_data(WRITER& w, const MAP_IMAGE& image)
{
    if (!image.layout.system)
        return field(w, "shared_data", std::nullopt);
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    const OBJECT shared_data(w, "shared_data");
    field(w, "address", sd.p_vaddr);
    field(w, "memory_size", sd.p_memsz);
    field(w, "file_size", sd.p_filesz);
    write_place(w, "table", image.phdrs[0], sd);
    if (!image.layout.note_index)
        field(w, "note", std::nullopt);
    else
        write_place(w, "note", image.phdrs[*image.layout.note_index], sd);
}

void write_modules(WRITER& w, const MAP_IMAGE& image, const MODULE_SET& set)
{
    const ARRAY modules(w, "modules");
    for (size_t g = 0; g < image.groups.size(); ++g) {
        const OBJECT group(w);
        for (const NOTE_FIELD& f : note_fields)
            field(w, f.key, note_value(image.groups[g], f));
        field(w, "file", name_of(described_file(set, g)));
    }
}

// A section without a name has null for it.
std::optional<std::string_view> section_name(const SECTION_REF* s)
{
    return known_if(s && !s->name.empty(), s ? std::string_view(s->name) : std::string_view());
}

void write_sections(WRITER& w, const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    const ARRAY sections(w, "sections");
    const ELF_DESC* module = nullptr;
    ESCAPED file; // the module's name, escaped once per run of its sections
    for (const SECTION_REF& s : sections_in(image, index, set)) {
        const SHDR_HANDLE& h = *s.handle;
        if (h.desc != module) {
            module = h.desc;
            file = escaped(module->name);
        }
        const OBJECT section(w);
        field(w, "file", file);
        field(w, "index", h.index);
        field(w, "name", section_name(&s));
        field(w, "address", h.sh_addr);
        field(w, "load_address", section_load_address(set, s));
        field(w, "size", h.sh_size);
        field(w, "nobits", h.nobits);
    }
}

// Option letters as a list of one-letter strings, under segments and usage
// alike; the system entries are "system".
void write_slots(WRITER& w, std::string_view letters, bool system = false)
{
    const ARRAY slots(w, "slots");
    if (system)
        return value(w, "system");
    for (const char& c : letters)
        value(w, std::string_view(&c, 1));
}

void write_segment(WRITER& w, const MAP_IMAGE& image, size_t i, const MODULE_SET& set)
{
    const Elf32_Phdr& p = image.phdrs[i];
    const OBJECT segment(w);
    field(w, "index", i);
    field(w, "type", p.p_type);
    field(w, "type_name", name_of(segment_type_name(p.p_type)));
    field(w, "vaddr", p.p_vaddr);
    field(w, "end", segment_end(p));
    field(w, "paddr", p.p_paddr);
    field(w, "offset", p.p_offset);
    field(w, "file_size", p.p_filesz);
    field(w, "memory_size", p.p_memsz);
    field(w, "align", p.p_align);
    field(w, "flags", p.p_flags);
    field(w, "read", (p.p_flags & PF_R) != 0);
    field(w, "write", (p.p_flags & PF_W) != 0);
    field(w, "execute", (p.p_flags & PF_X) != 0);
    field(w, "protection", p.p_flags & PROT_BITS);
    const SEGMENT_OWNER owner = segment_owner(image, i, set);
    write_slots(w, owner.letters, owner.system);
    write_sections(w, image, i, set);
    field(w, "sha256", std::string_view(segment_sha256(image, i)));
}

void write_segments(WRITER& w, const MAP_IMAGE& image, const MODULE_SET& set)
{
    const ARRAY segments(w, "segments");
    for (size_t i = 0; i < image.phdrs.size(); ++i)
        write_segment(w, image, i, set);
}

void write_totals(WRITER& w, std::string_view name, const LOAD_TOTALS& t)
{
    const OBJECT totals(w, name);
    field(w, "segments", t.segments);
    field(w, "file_bytes", t.file_bytes);
    field(w, "memory_bytes", t.memory_bytes);
}

void write_gaps(WRITER& w, const MAP_IMAGE& image)
{
    const ARRAY gaps(w, "gaps");
    for (const MAP_GAP& g : memory_gaps(image)) {
        const OBJECT gap(w);
        field(w, "start", g.start);
        field(w, "end", g.end);
        field(w, "size", g.end - g.start);
    }
}

void write_usage(WRITER& w, const MAP_IMAGE& image, const MODULE_SET& set)
{
    const ARRAY usage(w, "usage");
    for (const USAGE_ROW& r : memory_usage(image, set)) {
        const OBJECT row(w);
        write_slots(w, r.slots);
        field(w, "file", name_of(r.file));
        field(w, "pid", known_if(r.pid >= 0, r.pid));
        field(w, "code", r.code);
        field(w, "rodata", r.rodata);
        field(w, "data", r.data);
        field(w, "bss", r.bss);
        field(w, "total", r.total());
    }
}

void write_regions(WRITER& w, const MAP_IMAGE& image, const std::vector<REGION>& given)
{
    const ARRAY regions(w, "regions");
    for (const REGION& r : given) {
        const OBJECT region(w);
        field(w, "name", std::string_view(r.name));
        field(w, "kind", region_kind_name(r.kind));
        const uint64_t used = region_used(image, r);
        field(w, "start", r.start);
        field(w, "size", r.size);
        field(w, "used", used);
        field(w, "overflow", region_overflow(used, r));
    }
}

// ---------------------------------------------------------------------------
// --where and --symbols: a list, an object per line of the text.

// "function" is null where the DWARF names none (an assembler's code):
// "symbol" names it then.
void write_frame(WRITER& w, const SOURCE_FRAME& f)
{
    field(w, "function", known_if(!f.function.empty(), std::string_view(f.function)));
    field(w, "file", std::string_view(f.file));
    field(w, "line", f.line);
    field(w, "column", f.column);
}

// The innermost frame's fields, its callers under "inlined", or why there
// is no line information; null where the place was not looked up or the
// DWARF covers no code there.
void write_source(WRITER& w, const SOURCE_PLACE& source)
{
    if (source.reason.empty() && source.frames.empty())
        return field(w, "source", std::nullopt);
    const OBJECT place(w, "source");
    if (!source.reason.empty())
        return field(w, "error", std::string_view(no_line_information(source)));
    write_frame(w, source.frames[0]);
    const ARRAY inlined(w, "inlined");
    for (size_t i = 1; i < source.frames.size(); ++i) {
        const OBJECT frame(w);
        write_frame(w, source.frames[i]);
    }
}

void write_address_place(WRITER& w, const ADDRESS_PLACE& p, const MAP_IMAGE& image, const MODULE_SET& set)
{
    const bool in_image = p.segment != SIZE_MAX;
    const SHDR_HANDLE* h = p.section ? p.section->handle : nullptr;
    const OBJECT place(w);
    field(w, "address", p.address);
    field(w, "segment", known_if(in_image, static_cast<uint32_t>(p.segment)));
    field(w, "label", known_if(in_image, in_image ? segment_label(image, p.segment, set) : std::string()));
    field(w, "run", p.run);
    field(w, "load", p.load);
    field(w, "run_address", known_if(in_image, p.run_address));
    field(w, "file", name_of(h ? h->desc->name : nullptr));
    field(w, "section", section_name(p.section));
    field(w, "section_index", known_if(h, h ? h->index : 0));
    field(w, "offset", known_if(h, h ? p.run_address - h->sh_addr : 0));
    field(w, "symbol", name_of(p.symbol ? p.symbol->symbol.name.c_str() : nullptr));
    field(w, "symbol_offset", known_if(p.symbol, p.symbol ? p.run_address - p.symbol->symbol.address : 0));
    write_source(w, p.source);
}

void write_symbol(WRITER& w, const SYMBOL_ENTRY& e)
{
    const MODULE_SYMBOL& s = e.symbol;
    const OBJECT symbol(w);
    field(w, "address", s.address);
    field(w, "size", s.st_size);
    field(w, "type", symbol_type_name(s.st_info));
    field(w, "binding", std::string_view(symbol_binding_name(s.st_info)));
    field(w, "file", e.section->handle->desc->name);
    field(w, "section", section_name(e.section));
    field(w, "section_index", e.section->handle->index);
    field(w, "name", std::string_view(s.name));
    field(w, "modules", e.modules);
}

// ---------------------------------------------------------------------------
// --diff --json: the differences, in the same form.

void write_field_changes(WRITER& w, std::string_view name, const std::vector<FIELD_CHANGE>& fields)
{
    const ARRAY changes(w, name);
    for (const FIELD_CHANGE& f : fields) {
        const OBJECT change(w);
        field(w, "field", std::string_view(f.field));
        field(w, "old", f.before);
        field(w, "new", f.after);
    }
}

const char* change_name(CHANGE kind)
{
    return kind == CHANGE::added ? "added" : kind == CHANGE::removed ? "removed" : "changed";
}

void write_note_changes(WRITER& w, const IMAGE_DIFF& d)
{
    const ARRAY note(w, "note");
    for (const GROUP_CHANGE& g : d.note) {
        const OBJECT change(w);
        field(w, "change", change_name(g.kind));
        field(w, "pid", g.pid);
        field(w, "file", name_of(g.file));
        write_field_changes(w, "fields", g.fields);
    }
}

void write_segment_changes(WRITER& w, const IMAGE_DIFF& d)
{
    const ARRAY segments(w, "segments");
    for (const SEGMENT_CHANGE& c : d.segments) {
        const OBJECT change(w);
        field(w, "change", change_name(c.kind));
        field(w, "old_index", known_if(c.before != SIZE_MAX, c.before));
        field(w, "new_index", known_if(c.after != SIZE_MAX, c.after));
        field(w, "label", std::string_view(c.label));
        write_field_changes(w, "fields", c.fields);
        field(w, "differing_bytes", c.differing_bytes);
        field(w, "first_difference", known_if(c.differing_bytes != 0, c.first_difference));
    }
}

void write_mode_change(WRITER& w, const IMAGE_DIFF& d)
{
    if (d.mode_before == d.mode_after)
        return field(w, "mode", std::nullopt);
    const OBJECT mode(w, "mode");
    field(w, "old", std::string_view(d.mode_before));
    field(w, "new", std::string_view(d.mode_after));
}

} // namespace

void write_json_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set,
                       const std::vector<REGION>& given)
{
    write_document<OBJECT>(out, [&](WRITER& w) {
        field(w, "schema", JSON_SCHEMA);
        field(w, "image", std::string_view(path));
        field(w, "file_size", image.size);
        write_header(w, image);
        field(w, "mode", mode_name(resolved_mode(image, set)));
        write_shared_data(w, image);
        write_modules(w, image, set);
        write_segments(w, image, set);
        write_totals(w, "loaded", load_totals(image));
        write_gaps(w, image);
        write_usage(w, image, set);
        write_regions(w, image, given);
        field(w, "sha256", std::string_view(sha256_hex(image.bytes, image.size)));
    });
}

void write_diff_json(std::ostream& out, const std::string& before_path, const std::string& after_path,
                     const IMAGE_DIFF& d)
{
    write_document<OBJECT>(out, [&](WRITER& w) {
        field(w, "schema", JSON_SCHEMA);
        field(w, "old", std::string_view(before_path));
        field(w, "new", std::string_view(after_path));
        field(w, "identical", d.identical);
        write_field_changes(w, "header", d.header);
        write_mode_change(w, d);
        write_field_changes(w, "shared_data", d.shared_data);
        write_note_changes(w, d);
        write_segment_changes(w, d);
        field(w, "other_difference", d.other_difference);
        const OBJECT loaded(w, "loaded");
        write_totals(w, "old", d.loaded_before);
        write_totals(w, "new", d.loaded_after);
    });
}

void write_where_json(std::ostream& out, const std::vector<ADDRESS_PLACE>& places, const MAP_IMAGE& image,
                      const MODULE_SET& set)
{
    write_document<ARRAY>(out, [&](WRITER& w) {
        for (const ADDRESS_PLACE& p : places)
            write_address_place(w, p, image, set);
    });
}

void write_where_json_line(std::ostream& out, const ADDRESS_PLACE& p, const MAP_IMAGE& image, const MODULE_SET& set)
{
    WRITER w{out, {}, true};
    write_address_place(w, p, image, set);
    w.text += '\n';
    flush(w);
}

void write_symbols_json(std::ostream& out, const std::vector<SYMBOL_ENTRY>& symbols)
{
    write_document<ARRAY>(out, [&](WRITER& w) {
        for (const SYMBOL_ENTRY& e : symbols)
            write_symbol(w, e);
    });
}
