// --json: the report as one JSON document. A small writer that tracks
// whether a comma is due; numbers are plain decimal integers.
#include "map.h"

#include <cstdio>

namespace {

struct JSON_WRITER {
    std::ostream& out;
    bool first = true;

    void separate()
    {
        if (!first)
            out << ',';
        first = false;
    }
    void open(char bracket)
    {
        out << bracket;
        first = true;
    }
    void close(char bracket)
    {
        out << bracket;
        first = false;
    }
    void key(const char* name)
    {
        separate();
        string(name);
        out << ':';
        first = true;
    }
    // Every byte outside printable ASCII is escaped, so that the document
    // stays valid whatever bytes a module's names hold.
    void string(const std::string& text)
    {
        out << '"';
        for (unsigned char c : text) {
            if (c == '"' || c == '\\') {
                out << '\\' << c;
            } else if (c < 0x20 || c >= 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out << escaped;
            } else {
                out << c;
            }
        }
        out << '"';
    }
    void field(const char* name, const std::string& text)
    {
        key(name);
        string(text);
        first = false;
    }
    void field(const char* name, int64_t number)
    {
        key(name);
        out << number;
        first = false;
    }
    void field_bool(const char* name, bool value)
    {
        key(name);
        out << (value ? "true" : "false");
        first = false;
    }
    void field_null(const char* name)
    {
        key(name);
        out << "null";
        first = false;
    }
    void begin(const char* name, char bracket)
    {
        key(name);
        open(bracket);
    }
    void element(char bracket)
    {
        separate();
        open(bracket);
    }
};

void write_header(JSON_WRITER& j, const MAP_IMAGE& image)
{
    j.begin("header", '{');
    j.field("entry", image.ehdr.e_entry);
    j.field("flags", image.ehdr.e_flags);
    j.field("phnum", image.ehdr.e_phnum);
    j.close('}');
}

void write_place(JSON_WRITER& j, const char* name, const Elf32_Phdr& p, const Elf32_Phdr& sd)
{
    j.begin(name, '{');
    j.field("offset", p.p_vaddr - sd.p_vaddr);
    j.field("size", p.p_filesz);
    j.close('}');
}

void write_shared_data(JSON_WRITER& j, const MAP_IMAGE& image)
{
    if (!image.system) {
        j.field_null("shared_data");
        return;
    }
    const Elf32_Phdr& sd = image.phdrs[static_cast<size_t>(image.sd_index)];
    j.begin("shared_data", '{');
    j.field("address", sd.p_vaddr);
    j.field("memory_size", sd.p_memsz);
    j.field("file_size", sd.p_filesz);
    write_place(j, "table", image.phdrs[0], sd);
    if (image.note_index >= 0)
        write_place(j, "note", image.phdrs[static_cast<size_t>(image.note_index)], sd);
    else
        j.field_null("note");
    j.close('}');
}

void write_modules(JSON_WRITER& j, const MAP_IMAGE& image, const MODULE_SET& set)
{
    j.begin("modules", '[');
    for (size_t g = 0; g < image.groups.size(); ++g) {
        const AUX_GROUP& a = image.groups[g];
        j.element('{');
        j.field("pid", a.pid);
        j.field("entry", a.entry);
        j.field("priority", static_cast<int32_t>(a.priority));
        j.field("stack_size", a.stack_size);
        j.field("stack_address", a.stack);
        if (const char* file = described_file(set, g))
            j.field("file", std::string(file));
        else
            j.field_null("file");
        j.close('}');
    }
    j.close(']');
}

void write_sections(JSON_WRITER& j, const MAP_IMAGE& image, size_t index, const MODULE_SET& set)
{
    j.begin("sections", '[');
    for (const SECTION_REF* s : sections_in(image, index, set)) {
        const Elf32_Shdr& h = s->header;
        j.element('{');
        j.field("file", std::string(s->module->name));
        j.field("index", s->index);
        if (s->name.empty())
            j.field_null("name");
        else
            j.field("name", s->name);
        j.field("address", h.sh_addr);
        j.field("size", h.sh_size);
        j.field_bool("nobits", h.sh_type == SHT_NOBITS);
        j.close('}');
    }
    j.close(']');
}

void write_slots(JSON_WRITER& j, const MAP_IMAGE& image, size_t index)
{
    const std::string letters = segment_slot_letters(image, index);
    j.begin("slots", '[');
    if (letters == "system") {
        j.separate();
        j.string(letters);
    } else {
        for (char c : letters) {
            j.separate();
            j.string(std::string(1, c));
        }
    }
    j.close(']');
}

void write_segment(JSON_WRITER& j, const MAP_IMAGE& image, size_t i, const MODULE_SET& set)
{
    const Elf32_Phdr& p = image.phdrs[i];
    j.element('{');
    j.field("index", static_cast<int64_t>(i));
    j.field("type", p.p_type);
    if (const char* name = segment_type_name(p.p_type))
        j.field("type_name", std::string(name));
    else
        j.field_null("type_name");
    j.field("vaddr", p.p_vaddr);
    j.field("end", static_cast<int64_t>(uint64_t{p.p_vaddr} + p.p_memsz));
    j.field("paddr", p.p_paddr);
    j.field("offset", p.p_offset);
    j.field("file_size", p.p_filesz);
    j.field("memory_size", p.p_memsz);
    j.field("align", p.p_align);
    j.field("flags", p.p_flags);
    j.field_bool("read", p.p_flags & PF_R);
    j.field_bool("write", p.p_flags & PF_W);
    j.field_bool("execute", p.p_flags & PF_X);
    j.field("protection", p.p_flags & PROT_BITS);
    write_slots(j, image, i);
    write_sections(j, image, i, set);
    j.close('}');
}

void write_summary(JSON_WRITER& j, const MAP_IMAGE& image)
{
    const LOAD_TOTALS t = load_totals(image);
    const auto loads = static_cast<int64_t>(t.segments);
    const auto file_bytes = static_cast<int64_t>(t.file_bytes);
    const auto memory_bytes = static_cast<int64_t>(t.memory_bytes);
    j.begin("loaded", '{');
    j.field("segments", loads);
    j.field("file_bytes", file_bytes);
    j.field("memory_bytes", memory_bytes);
    j.close('}');
    j.begin("gaps", '[');
    for (const MAP_GAP& g : memory_gaps(image)) {
        j.element('{');
        j.field("start", g.start);
        j.field("end", static_cast<int64_t>(g.end));
        j.field("size", static_cast<int64_t>(g.end - g.start));
        j.close('}');
    }
    j.close(']');
}

} // namespace

void write_json_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set)
{
    JSON_WRITER j{out};
    j.open('{');
    j.field("image", path);
    j.field("file_size", image.size);
    write_header(j, image);
    j.field("mode", std::string(mode_name(resolved_mode(image, set))));
    write_shared_data(j, image);
    write_modules(j, image, set);
    j.begin("segments", '[');
    for (size_t i = 0; i < image.phdrs.size(); ++i)
        write_segment(j, image, i, set);
    j.close(']');
    write_summary(j, image);
    j.close('}');
    out << '\n';
}
