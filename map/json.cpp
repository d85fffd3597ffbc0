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
// strings that hold a byte to escape.

struct WRITER {
    std::ostream& out;
    std::string text;  // handed to out every segment or so
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

void open(WRITER& w, char bracket)
{
    separate(w);
    w.text += bracket;
    w.first = true;
}

void close(WRITER& w, char bracket)
{
    w.text += bracket;
    w.first = false;
}

void key(WRITER& w, const char* name)
{
    separate(w);
    w.text += '"';
    w.text += name;
    w.text += "\":";
    w.first = true;
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

void null(WRITER& w)
{
    separate(w);
    w.text += "null";
}

void name_or_null(WRITER& w, const char* name)
{
    if (name)
        value(w, name);
    else
        null(w);
}

template <typename VALUE>
void field(WRITER& w, const char* name, VALUE v)
{
    key(w, name);
    value(w, v);
}

void flush(WRITER& w)
{
    w.out << w.text;
    w.text.clear();
}

// Each part of the report below is written under its key.
void write_header(WRITER& w, const MAP_IMAGE& image)
{
    key(w, "header");
    open(w, '{');
    field(w, "entry", image.ehdr.e_entry);
    field(w, "flags", image.ehdr.e_flags);
    field(w, "phnum", image.ehdr.e_phnum);
    close(w, '}');
}

void write_place(WRITER& w, const Elf32_Phdr& p, const Elf32_Phdr& sd)
{
    open(w, '{');
    field(w, "offset", p.p_vaddr - sd.p_vaddr);
    field(w, "size", p.p_filesz);
    close(w, '}');
}

void write_shared_data(WRITER& w, const MAP_IMAGE& image)
{
    key(w, "shared_data");
    if (!image.layout.system)
        return null(w);
    const Elf32_Phdr& sd = image.phdrs[*image.layout.sd_index];
    open(w, '{');
    field(w, "address", sd.p_vaddr);
    field(w, "memory_size", sd.p_memsz);
    field(w, "file_size", sd.p_filesz);
    key(w, "table");
    write_place(w, image.phdrs[0], sd);
    key(w, "note");
    if (!image.layout.note_index)
        null(w);
    else
        write_place(w, image.phdrs[*image.layout.note_index], sd);
    close(w, '}');
}

void write_modules(WRITER& w, const MAP_IMAGE& image, const MODULE_SET& set)
{
    key(w, "modules");
    open(w, '[');
    for (size_t g = 0; g < image.groups.size(); ++g) {
        open(w, '{');
        for (const NOTE_FIELD& f : note_fields)
            field(w, f.key, note_value(image.groups[g], f));
        key(w, "file");
        name_or_null(w, described_file(set, g));
        close(w, '}');
    }
    close(w, ']');
}

void write_sections(WRITER& w, const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    open(w, '[');
    const ELF_DESC* module = nullptr;
    std::string file; // the module's name as a JSON string, made once per run of its sections
    for (const SECTION_REF& s : sections_in(image, index, set)) {
        const SHDR_HANDLE& h = *s.handle;
        if (h.desc != module) {
            module = h.desc;
            file.clear();
            append_string(file, module->name);
        }
        open(w, '{');
        key(w, "file");
        w.text += file;
        w.first = false;
        field(w, "index", h.index);
        key(w, "name");
        if (s.name.empty())
            null(w);
        else
            value(w, s.name);
        field(w, "address", h.sh_addr);
        field(w, "load_address", section_load_address(set, s));
        field(w, "size", h.sh_size);
        field(w, "nobits", h.nobits);
        close(w, '}');
    }
    close(w, ']');
}

// Option letters as a list of one-letter strings, under segments and usage alike.
void write_letters(WRITER& w, std::string_view letters)
{
    open(w, '[');
    for (const char& c : letters)
        value(w, std::string_view(&c, 1));
    close(w, ']');
}

void write_slots(WRITER& w, const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    const SEGMENT_OWNER owner = segment_owner(image, index, set);
    if (!owner.system)
        return write_letters(w, owner.letters);
    open(w, '[');
    value(w, "system");
    close(w, ']');
}

void write_segment(WRITER& w, const MAP_IMAGE& image, size_t i, const MODULE_SET& set)
{
    const Elf32_Phdr& p = image.phdrs[i];
    open(w, '{');
    field(w, "index", i);
    field(w, "type", p.p_type);
    key(w, "type_name");
    name_or_null(w, segment_type_name(p.p_type));
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
    key(w, "slots");
    write_slots(w, image, i, set);
    key(w, "sections");
    write_sections(w, image, i, set);
    field(w, "sha256", std::string_view(segment_sha256(image, i)));
    close(w, '}');
}

void write_segments(WRITER& w, const MAP_IMAGE& image, const MODULE_SET& set)
{
    key(w, "segments");
    open(w, '[');
    for (size_t i = 0; i < image.phdrs.size(); ++i) {
        write_segment(w, image, i, set);
        if (w.text.size() >= 65536)
            flush(w);
    }
    close(w, ']');
}

void write_totals(WRITER& w, const LOAD_TOTALS& t)
{
    open(w, '{');
    field(w, "segments", t.segments);
    field(w, "file_bytes", t.file_bytes);
    field(w, "memory_bytes", t.memory_bytes);
    close(w, '}');
}

void write_loaded(WRITER& w, const LOAD_TOTALS& t)
{
    key(w, "loaded");
    write_totals(w, t);
}

void write_gaps(WRITER& w, const MAP_IMAGE& image)
{
    key(w, "gaps");
    open(w, '[');
    for (const MAP_GAP& g : memory_gaps(image)) {
        open(w, '{');
        field(w, "start", g.start);
        field(w, "end", g.end);
        field(w, "size", g.end - g.start);
        close(w, '}');
    }
    close(w, ']');
}

void write_usage(WRITER& w, const MAP_IMAGE& image, const MODULE_SET& set)
{
    key(w, "usage");
    open(w, '[');
    for (const USAGE_ROW& r : memory_usage(image, set)) {
        open(w, '{');
        key(w, "slots");
        write_letters(w, r.slots);
        key(w, "file");
        name_or_null(w, r.file);
        key(w, "pid");
        if (r.pid < 0)
            null(w);
        else
            value(w, r.pid);
        field(w, "code", r.code);
        field(w, "rodata", r.rodata);
        field(w, "data", r.data);
        field(w, "bss", r.bss);
        field(w, "total", r.total());
        close(w, '}');
    }
    close(w, ']');
}

void write_regions(WRITER& w, const MAP_IMAGE& image, const std::vector<REGION>& given)
{
    key(w, "regions");
    open(w, '[');
    for (const REGION& r : given) {
        open(w, '{');
        field(w, "name", std::string_view(r.name));
        field(w, "kind", region_kind_name(r.kind));
        const uint64_t used = region_used(image, r);
        field(w, "start", r.start);
        field(w, "size", r.size);
        field(w, "used", used);
        field(w, "overflow", region_overflow(used, r));
        close(w, '}');
    }
    close(w, ']');
}

// ---------------------------------------------------------------------------
// --where and --symbols: a list, an object per line of the text.

void number_or_null(WRITER& w, const char* name, bool known, uint32_t number)
{
    key(w, name);
    if (known)
        value(w, number);
    else
        null(w);
}

void section_name_or_null(WRITER& w, const SECTION_REF* s)
{
    key(w, "section");
    if (s && !s->name.empty())
        value(w, s->name);
    else
        null(w);
}

// "function" is null where the DWARF names none (an assembler's code):
// "symbol" names it then.
void write_frame(WRITER& w, const SOURCE_FRAME& f)
{
    key(w, "function");
    name_or_null(w, f.function.empty() ? nullptr : f.function.c_str());
    field(w, "file", std::string_view(f.file));
    field(w, "line", f.line);
    field(w, "column", f.column);
}

// The innermost frame's fields, its callers under "inlined", or why there
// is no line information; null where the place was not looked up or the
// DWARF covers no code there.
void write_source(WRITER& w, const SOURCE_PLACE& source)
{
    if (source.reason.empty() && source.frames.empty()) {
        null(w);
        return;
    }
    open(w, '{');
    if (!source.reason.empty()) {
        field(w, "error", std::string_view(no_line_information(source)));
        close(w, '}');
        return;
    }
    write_frame(w, source.frames[0]);
    key(w, "inlined");
    open(w, '[');
    for (size_t i = 1; i < source.frames.size(); ++i) {
        open(w, '{');
        write_frame(w, source.frames[i]);
        close(w, '}');
    }
    close(w, ']');
    close(w, '}');
}

void write_address_place(WRITER& w, const ADDRESS_PLACE& p, const MAP_IMAGE& image, const MODULE_SET& set)
{
    const bool in_image = p.segment != SIZE_MAX;
    const SHDR_HANDLE* h = p.section ? p.section->handle : nullptr;
    open(w, '{');
    field(w, "address", p.address);
    number_or_null(w, "segment", in_image, static_cast<uint32_t>(p.segment));
    key(w, "label");
    if (in_image)
        value(w, segment_label(image, p.segment, set));
    else
        null(w);
    field(w, "run", p.run);
    field(w, "load", p.load);
    number_or_null(w, "run_address", in_image, p.run_address);
    key(w, "file");
    name_or_null(w, h ? h->desc->name : nullptr);
    section_name_or_null(w, p.section);
    number_or_null(w, "section_index", h, h ? h->index : 0);
    number_or_null(w, "offset", h, h ? p.run_address - h->sh_addr : 0);
    key(w, "symbol");
    name_or_null(w, p.symbol ? p.symbol->symbol.name.c_str() : nullptr);
    number_or_null(w, "symbol_offset", p.symbol, p.symbol ? p.run_address - p.symbol->symbol.address : 0);
    key(w, "source");
    write_source(w, p.source);
    close(w, '}');
}

void write_symbol(WRITER& w, const SYMBOL_ENTRY& e)
{
    const MODULE_SYMBOL& s = e.symbol;
    open(w, '{');
    field(w, "address", s.address);
    field(w, "size", s.st_size);
    field(w, "type", symbol_type_name(s.st_info));
    field(w, "binding", std::string_view(symbol_binding_name(s.st_info)));
    field(w, "file", e.section->handle->desc->name);
    section_name_or_null(w, e.section);
    field(w, "section_index", e.section->handle->index);
    field(w, "name", std::string_view(s.name));
    field(w, "modules", e.modules);
    close(w, '}');
}

// ---------------------------------------------------------------------------
// --diff --json: the differences, in the same form.

// A value that one image lacks is null.
void value(WRITER& w, const std::optional<int64_t>& v)
{
    if (v)
        value(w, *v);
    else
        null(w);
}

void index_or_null(WRITER& w, const char* name, size_t index)
{
    key(w, name);
    if (index == SIZE_MAX)
        null(w);
    else
        value(w, index);
}

void write_field_changes(WRITER& w, const std::vector<FIELD_CHANGE>& fields)
{
    open(w, '[');
    for (const FIELD_CHANGE& f : fields) {
        open(w, '{');
        field(w, "field", std::string_view(f.field));
        field(w, "old", f.before);
        field(w, "new", f.after);
        close(w, '}');
    }
    close(w, ']');
}

const char* change_name(CHANGE kind)
{
    return kind == CHANGE::added ? "added" : kind == CHANGE::removed ? "removed" : "changed";
}

void write_note_changes(WRITER& w, const IMAGE_DIFF& d)
{
    key(w, "note");
    open(w, '[');
    for (const GROUP_CHANGE& g : d.note) {
        open(w, '{');
        field(w, "change", change_name(g.kind));
        field(w, "pid", g.pid);
        key(w, "file");
        name_or_null(w, g.file);
        key(w, "fields");
        write_field_changes(w, g.fields);
        close(w, '}');
    }
    close(w, ']');
}

void write_segment_changes(WRITER& w, const IMAGE_DIFF& d)
{
    key(w, "segments");
    open(w, '[');
    for (const SEGMENT_CHANGE& c : d.segments) {
        open(w, '{');
        field(w, "change", change_name(c.kind));
        index_or_null(w, "old_index", c.before);
        index_or_null(w, "new_index", c.after);
        field(w, "label", std::string_view(c.label));
        key(w, "fields");
        write_field_changes(w, c.fields);
        field(w, "differing_bytes", c.differing_bytes);
        key(w, "first_difference");
        if (c.differing_bytes)
            value(w, c.first_difference);
        else
            null(w);
        close(w, '}');
    }
    close(w, ']');
}

void write_mode_change(WRITER& w, const IMAGE_DIFF& d)
{
    key(w, "mode");
    if (d.mode_before == d.mode_after) {
        null(w);
        return;
    }
    open(w, '{');
    field(w, "old", std::string_view(d.mode_before));
    field(w, "new", std::string_view(d.mode_after));
    close(w, '}');
}

// The document ends its line and goes out.
void finish(WRITER& w, char bracket)
{
    close(w, bracket);
    w.text += '\n';
    flush(w);
}

} // namespace

void write_json_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set,
                       const std::vector<REGION>& given)
{
    WRITER w{out, {}, true};
    open(w, '{');
    field(w, "schema", JSON_SCHEMA);
    field(w, "image", std::string_view(path));
    field(w, "file_size", image.size);
    write_header(w, image);
    field(w, "mode", mode_name(resolved_mode(image, set)));
    write_shared_data(w, image);
    write_modules(w, image, set);
    write_segments(w, image, set);
    write_loaded(w, load_totals(image));
    write_gaps(w, image);
    write_usage(w, image, set);
    write_regions(w, image, given);
    field(w, "sha256", std::string_view(sha256_hex(image.bytes, image.size)));
    finish(w, '}');
}

void write_diff_json(std::ostream& out, const std::string& before_path, const std::string& after_path,
                     const IMAGE_DIFF& d)
{
    WRITER w{out, {}, true};
    open(w, '{');
    field(w, "schema", JSON_SCHEMA);
    field(w, "old", std::string_view(before_path));
    field(w, "new", std::string_view(after_path));
    field(w, "identical", d.identical);
    key(w, "header");
    write_field_changes(w, d.header);
    write_mode_change(w, d);
    key(w, "shared_data");
    write_field_changes(w, d.shared_data);
    write_note_changes(w, d);
    write_segment_changes(w, d);
    key(w, "other_difference");
    if (d.other_difference)
        value(w, *d.other_difference);
    else
        null(w);
    key(w, "loaded");
    open(w, '{');
    key(w, "old");
    write_totals(w, d.loaded_before);
    key(w, "new");
    write_totals(w, d.loaded_after);
    close(w, '}');
    finish(w, '}');
}
void write_where_json(std::ostream& out, const std::vector<ADDRESS_PLACE>& places, const MAP_IMAGE& image,
                      const MODULE_SET& set)
{
    WRITER w{out, {}, true};
    open(w, '[');
    for (const ADDRESS_PLACE& p : places)
        write_address_place(w, p, image, set);
    finish(w, ']');
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
    WRITER w{out, {}, true};
    open(w, '[');
    for (const SYMBOL_ENTRY& e : symbols) {
        write_symbol(w, e);
        if (w.text.size() >= 65536)
            flush(w);
    }
    finish(w, ']');
}
