// SPDX-License-Identifier: MIT
// elf-merge-map: the map file and checker for images that elf-merge writes.
// The image parser, the checks and the report writers are plain functions of
// a byte buffer and an output stream, so that tests and the fuzz target can
// call them without a process exit.
#pragma once

#include "source_lines.h"
#include "elf-merge.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

enum class MAP_MODE { plain, kernel, resource_manager, kernel_or_rm };

// An image read from its bytes. Records are copies in host order; the buffer
// itself is borrowed and must outlive the record.
struct MAP_IMAGE {
    const uint8_t* bytes = nullptr;
    uint32_t size = 0;
    Elf32_Ehdr ehdr{};
    std::vector<Elf32_Phdr> phdrs;
    IMAGE_LAYOUT layout;       // as found; data_start stays 0, the checks work it out
    std::vector<AUX_GROUP> groups;
};

// What the PT_LOAD entries of an image load, in all.
struct LOAD_TOTALS {
    size_t segments = 0;
    uint64_t file_bytes = 0;
    uint64_t memory_bytes = 0;
};
LOAD_TOTALS load_totals(const MAP_IMAGE& image);

// Lines of a report or of a check's findings.
using LINES = std::vector<std::string>;
// Appends one printf-formatted line to out.
void add(LINES& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// text as one printable line: control characters (C0, DEL, C1) and bytes
// that are not UTF-8 as \n, \t, \r or \xHH, the bidirectional controls as
// \uXXXX, a backslash as \\; other UTF-8 as it is.
std::string printable(std::string_view text);
// The same, appended to out: most names need no escape and are copied as
// they are.
void append_printable(std::string& out, std::string_view text);

// Appends for the tables that grow with the image (a line per section or
// segment), where printf's parsing of its format would cost more than the
// rest of the line: hexadecimal in lower case with at least digits digits,
// as %0*x does; any integer in decimal, as %d does; and text left-justified
// in width columns, as %-*s does.
void append_hex(std::string& out, uint64_t value, int digits = 1);
void append_unsigned(std::string& out, uint64_t value);
void append_signed(std::string& out, int64_t value);
template <typename INTEGER>
void append_decimal(std::string& out, INTEGER value)
{
    if constexpr (std::is_signed_v<INTEGER>)
        append_signed(out, value);
    else
        append_unsigned(out, value);
}
void append_padded(std::string& out, std::string_view text, size_t width);

// Whether size bytes at data can begin an ELF file: ELF's magic number, as
// far as they reach.
bool could_be_elf(const uint8_t* data, size_t size);

// Why a file of 4 GiB or more is refused.
constexpr const char* IMAGE_TOO_LARGE = "larger than 4 GiB, which a 32-bit image cannot describe";

// Reads an image from size bytes at data. Returns the lines that say why it
// cannot be read (first the most basic); empty when image is complete.
LINES parse_image(const uint8_t* data, size_t size, MAP_IMAGE& image);

// Mode as far as the image alone tells it.
MAP_MODE image_mode(const MAP_IMAGE& image);
const char* mode_name(MAP_MODE mode);

// A gap in memory between two PT_LOAD entries, in address order.
struct MAP_GAP {
    uint32_t start;
    uint64_t end;
};
std::vector<MAP_GAP> memory_gaps(const MAP_IMAGE& image);

// ---------------------------------------------------------------------------
// Modules named after "--": elf-merge's own command line, read into the
// module set's own run and composed into the image elf-merge writes for them.

// One collected section, with its name.
struct SECTION_REF {
    const SHDR_HANDLE* handle; // in the expected image's section list
    std::string_view name;     // empty where the module has no usable name table
};

struct MODULE_SET {
    bool given = false;
    RUN run;                    // elf-merge's run of the modules, as read
    MERGED_IMAGE expected;      // what elf-merge writes for the modules
    std::vector<SECTION_REF> sections; // in address order
    std::vector<uint32_t> load_addresses; // where each of them is stored, in the same order
    std::vector<std::vector<char>> name_tables; // each module's section names
    // The sections inside each program header of the image the set was
    // indexed for.
    std::vector<std::span<const SECTION_REF>> held;
};

// Reads elf-merge's module options (args exclude the program name) into
// the set's run, reads every module and composes their image; a module that cannot be
// read, or modules that elf-merge refuses to merge, end the process with
// elf-merge's own message. Returns the line of a fault of the options,
// none on success.
LINES load_modules(const std::vector<std::string>& args, MODULE_SET& set);
// Finds the sections of set inside each program header of image: the list
// is in address order, so a binary search per segment.
void index_sections(MODULE_SET& set, const MAP_IMAGE& image);
void release_modules(MODULE_SET& set);

// Whose a segment is: the system's, or the option letters of its slots.
struct SEGMENT_OWNER {
    bool system = false;
    std::string letters;
};
// With modules given, the letters its modules were named with; else every
// letter whose slot has its protection bits.
SEGMENT_OWNER segment_owner(const MAP_IMAGE& image, size_t index, const MODULE_SET& set);
// "slot k", "slots uvEanWLKNbCxyPp" or "system".
std::string owner_text(const SEGMENT_OWNER& owner);

// Mode resolved by the module options where they are given.
MAP_MODE resolved_mode(const MAP_IMAGE& image, const MODULE_SET& set);

// The collected sections that lie inside entry index of the image.
std::span<const SECTION_REF> sections_in(const MAP_IMAGE& image, size_t index, const MODULE_SET& set);
// The collected section that holds run address addr, or null.
const SECTION_REF* section_at(const MODULE_SET& set, uint32_t addr);
// Where the section's module stores it: its load address.
uint32_t section_load_address(const MODULE_SET& set, const SECTION_REF& s);
// "section 2 (.data) of m.elf", or "raw image ka1.bin"
std::string section_label(const SECTION_REF& s);
void append_section_label(std::string& out, const SECTION_REF& s);
// Whether the section is a raw image, which is its one section.
bool raw_image(const SECTION_REF& s);
// "segment 4", followed by the first section it holds when modules are
// given; "segment 2 (Shared Data segment)".
std::string segment_label(const MAP_IMAGE& image, size_t index, const MODULE_SET& set);
// The option letter a module was given with.
char module_letter(const ELF_DESC& m);

// ---------------------------------------------------------------------------
// Checks: one line per violation, empty when the image is sound.

// With modules given, segments are named by their modules and sections.
LINES check_image(const MAP_IMAGE& image, const MODULE_SET& set);
LINES check_against_modules(const MAP_IMAGE& image, const MODULE_SET& set);
// size bytes at data against the image that elf-merge writes for the
// modules, byte for byte: one line naming the first difference (a header
// field, a program header's field, a note word, a byte of a segment or the
// file's length), none when they are the same. Needs no parsed image.
LINES compare_with_expected(const uint8_t* data, size_t size, const MODULE_SET& set);

// ---------------------------------------------------------------------------
// Memory use by module, and by the memories that --region and --load-region
// name.

// The bytes one module takes, or without modules those of one slot's
// segments (slots that share protection bits share a row).
struct USAGE_ROW {
    std::string slots;            // option letters; none for bits that no slot has
    const char* file = nullptr;   // null without modules
    int32_t pid = -1;             // -1: none, or more than one
    uint32_t prot = 0;            // without modules: the row's protection bits
    uint64_t code = 0;            // SHF_EXECINSTR
    uint64_t rodata = 0;          // SHF_ALLOC only
    uint64_t data = 0;            // SHF_WRITE with file bytes
    uint64_t bss = 0;             // SHT_NOBITS: zero-filled
    uint64_t total() const { return code + rodata + data + bss; }
};
// With modules, one row per module in command-line order; without, one
// row per slot in slot order, the Shared Data segment left out.
std::vector<USAGE_ROW> memory_usage(const MAP_IMAGE& image, const MODULE_SET& set);

// A run region holds segments by run address (p_vaddr, p_memsz bytes), a
// load region by load address (p_paddr, p_filesz bytes).
using REGION_KIND = ADDRESS_KIND;
struct REGION {
    std::string name;
    REGION_KIND kind;
    uint32_t start;
    uint32_t size;
};
const char* region_kind_name(REGION_KIND kind); // "run", "load"
// Reads NAME=START:SIZE, each number hexadecimal or decimal with a K or M
// suffix. Returns the line that says why the text is no region, none when
// region was set.
LINES parse_region(const std::string& text, REGION_KIND kind, REGION& region);
// The bytes of the PT_LOAD entries whose address of the region's kind lies
// in it.
uint64_t region_used(const MAP_IMAGE& image, const REGION& region);
// The bytes by which a region's use passes its size; 0 when it fits.
inline uint64_t region_overflow(uint64_t used, const REGION& region)
{
    return used > region.size ? used - region.size : 0;
}
// One line for each segment that lies wholly inside no region of its kind
// (where regions of that kind are given) and for each region over budget.
LINES check_regions(const MAP_IMAGE& image, const std::vector<REGION>& regions,
                                       const MODULE_SET& set);

// The SHA-256 of size bytes at data, as 64 lower-case hex digits.
std::string sha256_hex(const uint8_t* data, size_t size);
// Of a segment's file bytes; empty when it has none.
std::string segment_sha256(const MAP_IMAGE& image, size_t index);

// ---------------------------------------------------------------------------
// Reports

void write_text_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image,
                       const MODULE_SET& set, const std::vector<REGION>& regions = {});
void write_json_report(std::ostream& out, const std::string& path, const MAP_IMAGE& image,
                       const MODULE_SET& set, const std::vector<REGION>& regions = {});
// --svg: the address space as a self-contained SVG picture.
void write_svg(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set);

// ---------------------------------------------------------------------------
// --diff: what changed from one image to another.

// How a value reads in the text: 0x%08x, 0x%x with the signed difference,
// p_flags with their R/W/X, or decimal.
enum class VALUE_STYLE { address, size, flags, number };

// A field of the ELF header after e_ident: its name, where it lies in the
// header and how many bytes wide it is, and how a value of it reads.
struct EHDR_FIELD {
    const char* name;
    uint32_t offset;
    uint32_t width;
    VALUE_STYLE style;
};
extern const EHDR_FIELD ehdr_fields[13];
// The field's value in a header held in host order.
uint32_t field_value(const Elf32_Ehdr& h, const EHDR_FIELD& f);

// One field that differs; a side where the field does not exist holds no
// value.
struct FIELD_CHANGE {
    std::string field;
    VALUE_STYLE style;
    std::optional<int64_t> before, after;
};

enum class CHANGE { added, removed, changed };

// A module of the note, matched by pid.
struct GROUP_CHANGE {
    CHANGE kind;
    uint32_t pid;
    const char* file; // the module file behind the new group, or null
    std::vector<FIELD_CHANGE> fields;
};

// A section-built segment, matched by protection bits and address.
struct SEGMENT_CHANGE {
    CHANGE kind;
    size_t before = SIZE_MAX, after = SIZE_MAX; // index in each image
    uint32_t address = 0;                       // run address, new where there is one
    std::string label;                          // "segment 9 (section 3 (.data) of m.elf)"
    std::vector<FIELD_CHANGE> fields;
    uint64_t differing_bytes = 0; // for an unchanged layout
    uint32_t first_difference = 0;
};

struct IMAGE_DIFF {
    bool identical = false;
    std::vector<FIELD_CHANGE> header;
    std::string mode_before, mode_after;
    std::vector<FIELD_CHANGE> shared_data;
    std::vector<GROUP_CHANGE> note;
    std::vector<SEGMENT_CHANGE> segments;
    // The first differing file offset, where the files differ and nothing
    // above says how.
    std::optional<uint32_t> other_difference;
    LOAD_TOTALS loaded_before, loaded_after;
};

// The modules, given, are those of the new image and name its segments.
IMAGE_DIFF diff_images(const MAP_IMAGE& before, const MAP_IMAGE& after, const MODULE_SET& set);
// Nothing for identical images, as diff(1).
void write_diff_text(std::ostream& out, const IMAGE_DIFF& diff);
void write_diff_json(std::ostream& out, const std::string& before_path, const std::string& after_path,
                     const IMAGE_DIFF& diff);

// ---------------------------------------------------------------------------
// Flash images (-O)

enum class FLASH_FORMAT { binary, ihex, srec };

struct FLASH_SETTINGS {
    FLASH_FORMAT format = FLASH_FORMAT::binary;
    uint8_t gap_fill = 0; // binary: the bytes between load ranges
    std::string name;     // the image's path; its file name heads an S-record file
    // One memory device: only the bytes loaded inside it are written, and a
    // binary starts at its start.
    std::optional<REGION> region = std::nullopt;
};

// What a loader stores is every PT_LOAD entry's file bytes at its load
// address, [p_paddr, p_paddr + p_filesz); memory past p_filesz is not
// stored. Returns the line that says why the image's ranges cannot be
// stored (two overlap, or one passes 4 GiB), or why a load region given
// gets nothing; none when they can.
LINES flash_refusal(const MAP_IMAGE& image, const std::optional<REGION>& region = std::nullopt);
// Writes what a loader stores from an image that parse_image read without
// a fault and flash_refusal accepts. The same image gives the same bytes.
void write_flash_image(std::ostream& out, const MAP_IMAGE& image, const FLASH_SETTINGS& settings);

// ---------------------------------------------------------------------------
// Debugging: an image holds neither section headers nor symbols, so its
// modules' own symbols are placed in the sections the image holds.

// A FUNC or OBJECT symbol of a module, in one of the image's sections.
struct SYMBOL_ENTRY {
    MODULE_SYMBOL symbol;
    const SECTION_REF* section;
    size_t module;    // the module's place on the command line
    uint32_t modules; // how many modules define the name
};
// Every such symbol of the modules, by address, then module, then name;
// none without modules.
std::vector<SYMBOL_ENTRY> module_symbols(const MODULE_SET& set);
const char* symbol_type_name(uint8_t st_info); // "FUNC", "OBJECT"
std::string symbol_binding_name(uint8_t st_info); // "LOCAL", "GLOBAL", "WEAK", else the number

// --gdb: why a module cannot be named in a GDB command file (its path
// holds a newline), as one line; none when all can.
LINES gdb_refusal(const MODULE_SET& set);
// Commands that load every ELF module's symbols at its own addresses, with
// comments on the raw images and on the names that several modules define.
void write_gdb_commands(std::ostream& out, const std::string& path, const MODULE_SET& set,
                        const std::vector<SYMBOL_ENTRY>& symbols);

// The image with a section header per collected section (module:section,
// in address order), the Shared Data segment's table and note, and every
// module's symbols as written, the tables after the image's last byte. A
// file past 4 GiB, which ELF32 offsets cannot reach, ends the run naming path.
void write_debug_elf(std::ostream& out, const std::string& path, const MAP_IMAGE& image, const MODULE_SET& set);

// What one PT_LOAD entry holds at an address: whether it is the entry's run
// address, load address or both, and with modules the section and the
// nearest symbol at or below it.
struct ADDRESS_PLACE {
    uint32_t address;
    size_t segment = SIZE_MAX; // SIZE_MAX: no PT_LOAD entry holds the address
    bool run = false, load = false;
    uint32_t run_address = 0; // where the byte stored at a load address runs
    const SECTION_REF* section = nullptr;
    const SYMBOL_ENTRY* symbol = nullptr;
    SOURCE_PLACE source = {}; // with modules, for an address in an ELF module's section
};
// One place per PT_LOAD entry that holds address, in table order; a single
// place without a segment where none does.
std::vector<ADDRESS_PLACE> places_of(uint32_t address, const MAP_IMAGE& image, const MODULE_SET& set,
                                     const std::vector<SYMBOL_ENTRY>& symbols);
// Adds to each place in an ELF module's section where the module's DWARF
// puts its run address.
void add_source_places(std::vector<ADDRESS_PLACE>& places, const LINE_INDEX& lines);
// Every ELF module's DWARF, read once through the module set; none without
// modules.
LINE_INDEX module_lines(const MODULE_SET& set);
// " at FILE:LINE:COLUMN, inlined into F at FILE:LINE:COLUMN, ..." after the
// innermost function, or " no line information (...)"; empty when the
// place was not looked up or the DWARF covers no code there.
std::string source_text(const SOURCE_PLACE& source, const SYMBOL_ENTRY* symbol);
// "section 3 (.data)" shortened to ".data", or "section 3" without a name.
std::string section_name_text(const SECTION_REF& s);
// One line of --where, without its newline.
std::string where_line(const ADDRESS_PLACE& p, const MAP_IMAGE& image, const MODULE_SET& set);
// One place as a JSON object on a line of its own (JSON Lines).
void write_where_json_line(std::ostream& out, const ADDRESS_PLACE& p, const MAP_IMAGE& image, const MODULE_SET& set);
void write_where_text(std::ostream& out, const std::vector<ADDRESS_PLACE>& places, const MAP_IMAGE& image,
                      const MODULE_SET& set);
void write_where_json(std::ostream& out, const std::vector<ADDRESS_PLACE>& places, const MAP_IMAGE& image,
                      const MODULE_SET& set);
void write_symbols_text(std::ostream& out, const std::vector<SYMBOL_ENTRY>& symbols);
void write_symbols_json(std::ostream& out, const std::vector<SYMBOL_ENTRY>& symbols);

// ---------------------------------------------------------------------------
// The command line

// What a run of the map does: print the map (and with --check, check the
// image), compare two images, draw one, export what a loader stores, or
// help debug it: a GDB command file, addresses explained, a symbol map.
enum class MAP_ACTION { map, diff, svg, flash, gdb, debug_elf, where, symbols, symbolize };

struct MAP_OPTIONS {
    MAP_ACTION action = MAP_ACTION::map;
    bool json = false;
    bool check = false;
    std::string image;  // OLD with --diff
    std::string second; // NEW with --diff, OUTPUT with -O
    bool with_modules = false;
    std::vector<std::string> module_args;
    std::vector<REGION> regions;
    std::string sha256; // with --check: the digest the image must have
    std::string svg;    // the picture's file
    std::string gdb;    // the GDB command file
    std::string debug_elf; // the image with sections and symbols
    std::vector<uint32_t> addresses; // --where
    bool gap_fill_given = false;
    FLASH_SETTINGS flash_settings;
};

// Reads the map's command line into options. Done, or what ends the run
// instead: refused with the one line that says why (the tool adds the
// usage text), or --help, --version or --list-options (long_help, version,
// list) with the text for standard output.
OPTION_OUTCOME parse_command_line(int argc, char** argv, MAP_OPTIONS& options);
// Whether the command line asks for --diff, under which every trouble ends
// the run with status 2; looked for before any option is read.
bool asks_for_diff(int argc, char** argv);
const std::string& map_usage_text();

// Shared by the report writers.
const char* segment_type_name(uint32_t p_type); // null for a type without a name
std::string permissions(uint32_t p_flags);        // "R-X" and so on
// The module file that the note's group g describes, or null without modules.
const char* described_file(const MODULE_SET& set, size_t g);
