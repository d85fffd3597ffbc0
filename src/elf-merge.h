// SPDX-License-Identifier: MIT
// ELF32 records and the record types shared by every part of elf-merge.
#pragma once

#include <bit>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <getopt.h>
#include <initializer_list>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// ELF constants used by the tool.

constexpr int EI_NIDENT = 16;
constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFDATA2MSB = 2;
constexpr uint8_t EV_CURRENT = 1;
constexpr uint8_t ELFOSABI_ARM = 97;

// The identification of every image: magic, 32-bit, big-endian, current
// version, ARM OS ABI, ABI version 1. A module must carry the first
// MODULE_IDENT_SIZE bytes of it.
inline constexpr uint8_t ELF_IDENT[EI_NIDENT] = {0x7F, 'E', 'L', 'F', ELFCLASS32, ELFDATA2MSB, EV_CURRENT,
                                                 ELFOSABI_ARM, 1};
constexpr size_t ELF_MAGIC_SIZE = 4;
constexpr size_t MODULE_IDENT_SIZE = 8;

constexpr uint16_t ET_EXEC = 2;
constexpr uint16_t EM_ARM = 40;

constexpr uint32_t PT_LOAD = 1;
constexpr uint32_t PT_NOTE = 4;
constexpr uint32_t PT_PHDR = 6;

constexpr uint32_t PF_X = 0x1;
constexpr uint32_t PF_W = 0x2;
constexpr uint32_t PF_R = 0x4;

constexpr uint32_t SHT_PROGBITS = 1;
constexpr uint32_t SHT_SYMTAB = 2;
constexpr uint32_t SHT_NOBITS = 8;

constexpr uint32_t SHF_WRITE = 0x1;
constexpr uint32_t SHF_ALLOC = 0x2;
constexpr uint32_t SHF_EXECINSTR = 0x4;

constexpr uint32_t NT_AUXV = 6;

// Symbol types and bindings, the low and high half of st_info.
constexpr uint8_t STT_OBJECT = 1;
constexpr uint8_t STT_FUNC = 2;
constexpr uint8_t STB_LOCAL = 0;
constexpr uint8_t STB_GLOBAL = 1;
constexpr uint8_t STB_WEAK = 2;
constexpr uint8_t st_type(uint8_t st_info)
{
    return st_info & 0xF;
}
constexpr uint8_t st_bind(uint8_t st_info)
{
    return st_info >> 4;
}

constexpr uint32_t EHDR_SIZE = 52;
constexpr uint32_t PHDR_SIZE = 32;
constexpr uint32_t SHDR_SIZE = 40;
constexpr uint32_t SYM_SIZE = 16;

// 0xFFFF in e_phnum is PN_XNUM, which sends readers to section header 0 for
// the real count: a module may use it, an image (without section headers)
// holds at most MAX_PHNUM entries.
constexpr uint16_t PN_XNUM = 0xFFFF;
// A section index too large for its field: the real one is held elsewhere.
constexpr uint16_t SHN_XINDEX = 0xFFFF;
// From here up a symbol's st_shndx names no section of the table, however
// many it holds (SHN_ABS, SHN_COMMON, SHN_XINDEX, ...).
constexpr uint16_t SHN_LORESERVE = 0xFF00;
constexpr uint32_t MAX_PHNUM = 0xFFFE;

// Addresses are 32-bit: a range must end at or below this.
constexpr uint64_t ADDRESS_SPACE_END = uint64_t{1} << 32;

// An entry point of 0xFFFFFFFF means that a module has none.
constexpr uint32_t NO_ENTRY = 0xFFFFFFFF;

// The Shared Data segment's address is a multiple of this, its p_align.
constexpr uint32_t SD_ALIGN = 0x4000;

// The tags of the five pairs that describe one module in the note, in order:
// AT_UID and AT_ENTRY of the System V auxiliary vector, then three of this
// system's own.
constexpr uint32_t AT_UID = 11;
constexpr uint32_t AT_ENTRY = 9;
constexpr uint32_t AT_PRIORITY = 125;
constexpr uint32_t AT_STACK_SIZE = 126;
constexpr uint32_t AT_STACK = 127;

// One module as the note describes it: the values of its group.
struct AUX_GROUP {
    uint32_t pid;
    uint32_t entry;
    uint32_t priority;
    uint32_t stack_size;
    uint32_t stack;
};

// How a value of the note reads: a pid, an address, a size in bytes, or a
// signed number.
enum class NOTE_VALUE { pid, address, size, number };

// A pair of the note's groups. This table is the one statement of them:
// the writer, the map's reader, checks and reports all go through it.
struct NOTE_FIELD {
    uint32_t tag;
    uint32_t AUX_GROUP::*value;
    const char* name;    // in messages: "stack address"
    const char* key;     // in JSON and --diff: "stack_address"
    const char* heading; // the map's column: "stack"
    NOTE_VALUE kind;
};

inline constexpr NOTE_FIELD note_fields[] = {
    {AT_UID, &AUX_GROUP::pid, "pid", "pid", "pid", NOTE_VALUE::pid},
    {AT_ENTRY, &AUX_GROUP::entry, "entry", "entry", "entry", NOTE_VALUE::address},
    {AT_PRIORITY, &AUX_GROUP::priority, "priority", "priority", "priority", NOTE_VALUE::number},
    {AT_STACK_SIZE, &AUX_GROUP::stack_size, "stack size", "stack_size", "stack size", NOTE_VALUE::size},
    {AT_STACK, &AUX_GROUP::stack, "stack address", "stack_address", "stack", NOTE_VALUE::address},
};

// A value of group g as it reads: a signed number as such.
inline int64_t note_value(const AUX_GROUP& g, const NOTE_FIELD& f)
{
    const uint32_t v = g.*f.value;
    return f.kind == NOTE_VALUE::number ? int64_t{static_cast<int32_t>(v)} : int64_t{v};
}

// ---------------------------------------------------------------------------
// ELF32 records. A module's tables may sit at any file offset, so the records
// are packed: every field access is then defined whatever the alignment.

#pragma pack(push, 1)

struct Elf32_Ehdr {
    uint8_t e_ident[EI_NIDENT];
    uint16_t e_type;
    uint16_t e_machine;
    uint32_t e_version;
    uint32_t e_entry;
    uint32_t e_phoff;
    uint32_t e_shoff;
    uint32_t e_flags;
    uint16_t e_ehsize;
    uint16_t e_phentsize;
    uint16_t e_phnum;
    uint16_t e_shentsize;
    uint16_t e_shnum;
    uint16_t e_shstrndx;
};

struct Elf32_Phdr {
    uint32_t p_type;
    uint32_t p_offset;
    uint32_t p_vaddr;
    uint32_t p_paddr;
    uint32_t p_filesz;
    uint32_t p_memsz;
    uint32_t p_flags;
    uint32_t p_align;
};

struct Elf32_Shdr {
    uint32_t sh_name;
    uint32_t sh_type;
    uint32_t sh_flags;
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_link;
    uint32_t sh_info;
    uint32_t sh_addralign;
    uint32_t sh_entsize;
};

struct Elf32_Sym {
    uint32_t st_name;
    uint32_t st_value;
    uint32_t st_size;
    uint8_t st_info;
    uint8_t st_other;
    uint16_t st_shndx;
};

// One (tag, value) pair of the auxiliary vector.
struct Elf32_auxv_t {
    uint32_t a_type;
    uint32_t a_val;
};

#pragma pack(pop)

// Where a segment's memory ends: [p_vaddr, segment_end) in 64 bits, so that
// nothing wraps at the top of memory.
inline uint64_t segment_end(const Elf32_Phdr& p)
{
    return static_cast<uint64_t>(p.p_vaddr) + p.p_memsz;
}

static_assert(sizeof(Elf32_Ehdr) == EHDR_SIZE);
static_assert(sizeof(Elf32_Phdr) == PHDR_SIZE);
static_assert(sizeof(Elf32_Shdr) == SHDR_SIZE);
static_assert(sizeof(Elf32_Sym) == SYM_SIZE);

// ---------------------------------------------------------------------------
// Byte order. Module files and the output are big-endian; records are held in
// host order in memory. Each helper converts in both directions.

inline uint16_t be16(uint16_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        return v;
    return static_cast<uint16_t>((v >> 8) | (v << 8));
}

inline uint32_t be32(uint32_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        return v;
    return (v >> 24) | ((v >> 8) & 0xFF00) | ((v << 8) & 0xFF0000) | (v << 24);
}

// The big-endian halfword and word at p, which may lie at any offset.
inline uint16_t read_be16(const uint8_t* p)
{
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return be16(v);
}

inline uint32_t read_be32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return be32(v);
}

// True when [offset, offset + count * stride) lies inside a buffer of size
// bytes. 64-bit arithmetic: no 32-bit operand can make it overflow.
inline bool inside(uint64_t offset, uint64_t count, uint64_t stride, uint32_t size)
{
    return offset <= size && count * stride <= size - offset;
}

// ---------------------------------------------------------------------------
// Module slots. The slot decides a module's pid, the protection bits its
// segments carry in p_flags, and how its file is read. This table is the one
// statement of them: the options, the usage text and the map's letters all
// come from it.

// How a slot's files are read (ELF_DESC's fake): as ELF executables, or as
// one of two kinds of raw image.
constexpr int32_t ELF_KIND = -1;
constexpr int32_t KA1_KIND = 1;
constexpr int32_t KA2_KIND = 2;

struct SLOT {
    char letter;           // the option letter; 0 for the system slot, which no option reaches
    const char* long_name; // the long option
    int32_t pid;           // -1: none
    uint32_t prot;         // OR-ed into the p_flags of the slot's segments
    int32_t kind;
    uint32_t raw_address;  // where a raw image is placed
    const char* purpose;   // its line of the usage text
    const char* colour;    // its segments' fill in the map's picture; the system's is grey
};

constexpr int SLOT_COUNT = 23;
constexpr int KERNEL_SLOT = 0;
constexpr int SYSTEM_SLOT = 20; // its bits mark the system segments

inline constexpr SLOT slots[SLOT_COUNT] = {
    {'k', "kernel", 0, 0x00000000, ELF_KIND, 0, "QO executable file.", "#8ecae6"},
    {'e', "quenlor", 1, 0x00100000, ELF_KIND, 0, "Quenlorex executable file.", "#ffb703"},
    {'f', "vo", 2, 0x00200000, ELF_KIND, 0, "Vorrel executable file.", "#a7c957"},
    {'d', "zu", 3, 0x00300000, ELF_KIND, 0, "ZU executable file.", "#f4a261"},
    {'u', "ra0", 4, 0x00F00000, ELF_KIND, 0, "RA0 executable file.", "#cdb4db"},
    {'v', "ra1", 5, 0x00F00000, ELF_KIND, 0, "RA1 executable file.", "#ffc8dd"},
    {'E', "mivo", 6, 0x00F00000, ELF_KIND, 0, "MIVO executable file.", "#bde0fe"},
    {'c', "gul", 7, 0x00700000, ELF_KIND, 0, "GUL executable file.", "#e9c46a"},
    {'a', "tolvin", 8, 0x00F00000, ELF_KIND, 0, "TOLVIN executable file.", "#90be6d"},
    {'n', "pim", 9, 0x00F00000, ELF_KIND, 0, "PIM executable file.", "#f28482"},
    {'W', "wy", 10, 0x00F00000, ELF_KIND, 0, "WY executable file.", "#84a59d"},
    {'L', "uq", 11, 0x00F00000, ELF_KIND, 0, "UQ executable file.", "#f6bd60"},
    {'K', "qy", 12, 0x00F00000, ELF_KIND, 0, "QY executable file.", "#c8b6ff"},
    {'N', "dov", 13, 0x00F00000, ELF_KIND, 0, "DOV executable file.", "#b8e0d2"},
    {'S', "rak", 14, 0x00E00000, ELF_KIND, 0, "RAK executable file.", "#e5989b"},
    {'b', "norvala", 15, 0x00F00000, ELF_KIND, 0, "Norvala executable file.", "#ffd6a5"},
    {'C', "fyx", 16, 0x00F00000, ELF_KIND, 0, "FYX executable file.", "#caffbf"},
    {'x', "hux", 17, 0x00F00000, ELF_KIND, 0, "HUX executable file.", "#9bf6ff"},
    {'y', "lem", 18, 0x00F00000, ELF_KIND, 0, "LEM executable file.", "#a0c4ff"},
    {'F', "tej", 19, 0x00900000, ELF_KIND, 0, "TEJ executable file.", "#ffadad"},
    {0, nullptr, -1, 0x00F00000, ELF_KIND, 0, nullptr, "#d9d9d9"},
    {'P', "ka2", -1, 0x00F00000, KA2_KIND, 0x12FFFE0, "KA2 for Norvala.", "#bdb2ff"},
    {'p', "ka1", -1, 0x00F00000, KA1_KIND, 0x3400, "KA1 for Norvala.", "#fdffb6"},
};

// The slot bits of p_flags (bits 20 to 23, within PF_MASKOS).
constexpr uint32_t PROT_BITS = 0x00F00000;
constexpr uint32_t SYSTEM_PROT = slots[SYSTEM_SLOT].prot;

// The slot of an option letter, or -1 for a letter that names no module.
int slot_of(int letter);
// Whether some slot's segments carry these protection bits.
bool known_prot(uint32_t prot);

// The options that are not module slots, with their lines of the usage text.
struct SETTING_OPTION {
    char letter;
    const char* long_name;
    const char* argument; // null for a flag
    const char* purpose;
};

inline constexpr SETTING_OPTION setting_options[] = {
    {'s', "sd_addr", "<addr>", "Shared Data Segment address."},
    {'z', "sd_size", "<size>", "Shared Data Segment size in bytes."},
    {'r', "rm", nullptr, "output is a resource manager."},
    {'o', "outfile", "filename", "output file."},
    {'h', "help", nullptr, "print this message."},
};

// The order of the usage text's lines, by option letter.
inline constexpr std::string_view usage_order = "kszfeduvEcnKWLCNSabxyFpProh";

// --version's short form is -V, as elf-merge-map has it; neither has a line
// of the usage text. --dependency-file, named as other build tools name it,
// has no letter and no line. --help is told apart from -h: it asks for the
// usage text as GNU tools give it, on standard output.
constexpr int VERSION_OPTION = 'V';
constexpr int DEPENDENCY_FILE_OPTION = 257;
constexpr int HELP_OPTION = 258;
// --list-options lists every option with what its value is, for the shell's
// completion; it has no line either.
constexpr int LIST_OPTION = 259;

// The getopt option string and getopt_long table of every option above.
const char* short_options();
const option* long_options();
// The option summary of the usage text, one line an option.
std::string usage_text();
// Every option, short and long, a line each with the kind of its value:
// "-k module" (an ELF module), "-p file", "-s number" or "-r flag".
std::string option_kinds();
// What the option word ("-s", "--sd-addr") takes, as option_kinds names
// it ("module", "file", "number"), or null when it takes no value.
const char* option_value(const std::string& word);

// Hexadecimal text for -s and -z: an optional 0x or 0X, then one or more
// hex digits, at most 0xFFFFFFFF. False for anything else (empty, a sign,
// spaces, trailing characters, too large), which the caller refuses.
bool parse_hex(const char* text, uint32_t& value);

// ---------------------------------------------------------------------------
// One input module. Its headers are held as host-order records, copied out of
// the file and never converted over its bytes; section contents stay in the
// file and are read when the image is written.

// The largest module file taken: offsets and sizes here are 32-bit, and no
// firmware module comes near it.
constexpr uint64_t MAX_MODULE_SIZE = 0x7FFFFFFF;

// Where a module's bytes come from. A regular file stays open while
// descriptors remain (or is opened again, and must then still be the same
// file); a pipe or device, or a file that the output would overwrite, is held
// in memory whole.
struct MODULE_SOURCE {
    // The entry of the file's descriptor among the kept module files, which
    // may close it to make room; NOT_KEPT for a module held in memory.
    size_t kept = NOT_KEPT;
    bool held = false;
    std::vector<uint8_t> bytes; // the whole file, when held
    // The file as it was first read. The change time is part of it: a
    // rewrite that restores the mtime (touch -r, cp -p) cannot restore it.
    uint64_t dev = 0;
    uint64_t ino = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
    int64_t ctime_sec = 0;
    int64_t ctime_nsec = 0;

    static constexpr size_t NOT_KEPT = SIZE_MAX;
};

// A symbol table's names, read once: the linked section's bytes, and where
// in the file the last NUL lies, which says whether a name ends in the file.
struct STRING_TABLE {
    uint64_t offset = 0;
    std::vector<char> bytes;
    uint64_t last_nul = 0;
    bool any_nul = false;
};

struct ELF_DESC {
    const char* name;
    uint32_t size; // bytes in the file
    uint32_t prot;
    int32_t pid;
    int32_t fake;
    uint32_t entry;
    Elf32_Ehdr ehdr;
    std::vector<Elf32_Phdr> phdr;
    uint32_t phnum;
    uint32_t shnum; // with ELF extended numbering resolved
    int32_t priority;
    int32_t stack_size;
    uint32_t stack;
    int slot; // in the slot table; -1 for a module read outside a run
    MODULE_SOURCE source;

    // Only while the headers are parsed: the symbol table that the start-up
    // symbols are looked up in, and its names.
    std::vector<Elf32_Sym> symtab;
    STRING_TABLE strtab;

    ELF_DESC(const char* name, int32_t pid, uint32_t prot, int32_t fake);

    void read_elf();
    void parse_headers();
    void fake_headers(int32_t kind);
    void lookup_symbol(const char* sym_name, uint32_t* address, int32_t* word) const;
};

// One collected section: its module, and the fields of its header that
// segment building and the writer use. Copied rather than pointed to, so
// that no module keeps its whole section header table.
struct SHDR_HANDLE {
    const ELF_DESC* desc;
    uint32_t module; // desc's index in the modules it was collected from
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_addralign;
    // One word for the rest. The section header table lies inside a module
    // of at most MAX_MODULE_SIZE bytes, so an index takes 26 bits.
    uint32_t index : 27;   // in its module's section header table
    uint32_t sh_flags : 3; // SHF_WRITE, SHF_ALLOC and SHF_EXECINSTR
    bool nobits : 1;       // SHT_NOBITS: memory without file bytes
};

static_assert(MAX_MODULE_SIZE / SHDR_SIZE < (uint64_t{1} << 27), "every section index fits its field");
static_assert(sizeof(SHDR_HANDLE) == 32, "a million sections must stay small");

// Orders collected sections by ascending start address.
struct SHDR_COMP {
    bool operator()(const SHDR_HANDLE& a, const SHDR_HANDLE& b) const { return a.sh_addr < b.sh_addr; }
};

// The auxiliary-vector note, built in place in a caller's buffer of
// note_size(count) bytes: this header, then five pairs per described module.
struct NOTE_DESC {
    uint32_t n_namesz;
    uint32_t n_descsz;
    uint32_t n_type;

    // One group per module, in the order given.
    explicit NOTE_DESC(const std::vector<const ELF_DESC*>& described);

    // The pairs that follow the header in the caller's buffer.
    Elf32_auxv_t* aux() { return reinterpret_cast<Elf32_auxv_t*>(this + 1); }
};

static_assert(sizeof(NOTE_DESC) == 12);

constexpr uint32_t AUX_PAIRS_PER_MODULE = std::size(note_fields);
constexpr uint32_t NOTE_GROUP_SIZE = AUX_PAIRS_PER_MODULE * sizeof(Elf32_auxv_t);

// ---------------------------------------------------------------------------
// How a failing process ends: the process's own, not a run's, so that a run
// can be read and composed by a caller that outlives it.

// A regular file opened as the output: its resolved path, and the file it
// names then, so that only that file is removed.
struct PARTIAL_OUTPUT {
    std::string path;
    uint64_t dev = 0;
    uint64_t ino = 0;
};

// Every file a tool writes but elf-merge's image (the dependency file, the
// GDB file, the picture, the flash export) follows one rule. It may not be
// a file that the run reads or writes as its image: that is found out
// before anything is written. A device or a FIFO is written in place; any
// other file is replaced whole or not at all, through a temporary file
// beside the file a link leads to, renamed over it.
struct WRITTEN_FILE {
    std::string target;    // the file the bytes are for, links followed
    std::string temporary; // beside target; empty when written in place
    int fd = -1;
};
// A file that a written file must not be, and what it is to the run.
struct NAMED_FILE {
    const char* role; // "output file", "image"
    const char* name; // null: none
};

struct PROCESS {
    // The exit status of fatal(): elf-merge-map --diff ends in trouble with 2.
    int fatal_status = 1;
    // The regular file the output is being written to, which fatal() removes:
    // an image cut short must not pass for a whole one with a build that
    // compares timestamps. Empty path: none, or the image is complete.
    PARTIAL_OUTPUT partial_output;
    // The temporary file that a written file is made in until it is renamed
    // over its target, which fatal() and the signals remove as well.
    PARTIAL_OUTPUT temporary_file;
};

inline PROCESS process;

// ---------------------------------------------------------------------------
// One run: the settings the command line gives, the modules it names, and
// what module registration works out. elf-merge's main holds its one run;
// elf-merge-map's module set holds one. Both read the command line and
// compose the image through the functions below, which never change it once
// its options are read.

struct RUN {
    const char* outfile = nullptr;
    const char* dependency_file = nullptr; // --dependency-file: where the Makefile rule goes
    uint32_t sd_addr = 0;
    uint32_t sd_size = 0;
    int load_phdr = 0;
    int resource_manager = 0;
    bool kernel = false; // -k: kernel mode unless -r
    int32_t pid = -1;            // the lowest pid of a module with an entry point
    uint32_t entry = NO_ENTRY;   // that module's entry point, the image's
    int32_t entry_count = 0;     // modules with a pid and an entry point
    size_t entry_module = SIZE_MAX; // index of the module that supplies entry
    std::vector<ELF_DESC> modules; // in command-line order
};

// What reading an option leaves to the tool that reads it.
enum class OPTION_EFFECT {
    done,            // acted on; read on
    refused,         // a bad value or a rule broken: message says which
    unknown,         // getopt's '?' or ':': no such option, or its value is missing
    help,            // -h: the usage text as a usage error
    long_help,       // --help: the usage text as asked for
    version,         // -V, --version
    list,            // --list-options
};

struct OPTION_OUTCOME {
    OPTION_EFFECT effect = OPTION_EFFECT::done;
    std::string message; // elf-merge's text for it, ending in a newline; may be empty
};

// Reads the command line into run in order: each module option registers
// its module and reads it at once (a bad module ends the process through
// fatal). Stops at the first option that is not simply done; getopt prints
// its own diagnostics unless opterr is 0.
OPTION_OUTCOME read_options(RUN& r, int argc, char** argv);
// Registers a module in a slot and reads it: appended to r.modules, with
// the entry-point rule applied.
void process_infile(RUN& r, int slot, const char* name);
// The module whose entry point starts the image, or null.
const ELF_DESC* entry_module(const RUN& r);
// Whether the note describes module m: it has an entry point and, without
// -r, not the lowest pid, whose modules start the image.
bool described(const ELF_DESC& m, int32_t lowest_pid, int resource_manager);
// The group that describes module m in the note.
AUX_GROUP aux_group(const ELF_DESC& m);
// The settings rules after the last option (the output file aside): -r
// turns on the system entries; kernel mode needs -s. Returns the message of
// a broken rule, or null.
const char* settings_fault(RUN& r);

// ---------------------------------------------------------------------------
// Where an image's entries lie: in kernel and resource-manager mode the
// system entries come first (PT_PHDR, the note when a module is described,
// then the Shared Data segment), and the entries built from sections follow.
// The composed image and the map's reading of an image both hold it.
struct IMAGE_LAYOUT {
    bool system = false;              // PT_PHDR first: kernel or resource-manager mode
    std::optional<size_t> note_index; // the PT_NOTE entry
    std::optional<size_t> sd_index;   // the Shared Data segment's PT_LOAD entry
    size_t first_section_entry = 0;   // the first entry built from sections
    uint32_t data_start = 0;          // file offset of the section data; the composed image's
};

// Where the system entries go, the note's only with_note: the one statement
// of their order, which composition places them by and the map finds them by.
IMAGE_LAYOUT system_layout(bool with_note);

// ---------------------------------------------------------------------------
// A composed image: everything the writer writes, in host order.

struct MERGED_IMAGE {
    Elf32_Ehdr ehdr{};
    std::vector<Elf32_Phdr> phdrs;
    NOTE_DESC* note = nullptr; // malloc'ed; null without a note
    int32_t note_size = 0;
    // What composition decided: the modules the note describes, in note
    // order, and how many; the Shared Data range that program segments must
    // keep clear of, sized for the table and note it holds.
    std::vector<const ELF_DESC*> described;
    int32_t entry_count = 0;
    uint32_t sd_filesz = 0;
    uint32_t sd_memsz = 0;
    std::vector<SHDR_HANDLE> sections; // by address
    IMAGE_LAYOUT layout;
};

// Called with each section as it is collected, and its full header.
using SECTION_OBSERVER = std::function<void(const SHDR_HANDLE&, const Elf32_Shdr&)>;

// Composes the image of a run whose options are read and whose settings
// passed: header, system entries, segments, their places and the checks of
// the layout. Every fault ends the process through fatal.
MERGED_IMAGE compose_image(const RUN& r, const SECTION_OBSERVER& observe = {});
void release_image(MERGED_IMAGE& image);

// Where the bytes of an image go, a buffer at a time.
struct BYTE_SINK {
    void (*put)(void* context, const uint8_t* data, size_t count);
    void* context;
};

// ---------------------------------------------------------------------------
// util
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Sets one of the process's records of a file to remove, with the signals that
// remove it held off, so that they never see it half changed.
void set_removable(PARTIAL_OUTPUT& record, PARTIAL_OUTPUT value = {});
// Removes the recorded file, if its path still names that file, and forgets it.
void remove_recorded_file(PARTIAL_OUTPUT& record);
// SIGINT, SIGTERM and SIGHUP remove the recorded files as fatal() does, then
// end the process by the signal. A signal ignored at start stays ignored.
void remove_outputs_on_signals();
// "Out of memory.": a failed allocation ends a run as any fault does, also
// as the new handler of each tool.
[[noreturn]] void out_of_memory();
// Both tools: whether another program can open the module again by its
// name and find the same file (a regular file, not a pipe, a device or one
// reached through /dev/stdin or /dev/fd/N).
bool names_a_file_again(const char* name);
// --dependency-file: one Makefile rule, the output, a colon and every
// module that names a file again, each as an absolute path escaped as
// compilers escape them. A path that make and ninja cannot both read back
// ends the run before anything is written.
std::string dependency_rule(const RUN& r);
// Before the image is opened: the dependency file may be none of the run's
// files, and its temporary file is made, so that one that cannot be
// written ends the run with the previous image in place.
void open_dependency_file(const RUN& r, WRITTEN_FILE& file);
// Writes rule to the file opened for it and puts it in place. A failure
// ends the run.
void write_dependency_file(const char* name, WRITTEN_FILE& file, const std::string& rule);
// A printf-formatted text of any length.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vformat(const char* fmt, va_list args);

// collect
// The header every image and every synthesized raw-image header starts
// from: identification, ET_EXEC, EM_ARM, e_phoff 52, all else 0.
Elf32_Ehdr arm_executable_header();
// The union of the modules' e_flags, the image's.
uint32_t merged_flags(const std::vector<ELF_DESC>& modules);
void merge_ehdr(const std::vector<ELF_DESC>& modules, Elf32_Ehdr& ehdr);
void generate_phdr_segment(Elf32_Phdr& phdr, uint32_t vaddr, uint32_t offset, uint32_t flags);
void generate_note_segment(Elf32_Phdr& phdr, uint32_t flags, int32_t size);
void merge_shdr(std::vector<Elf32_Phdr>& phdrs, std::vector<SHDR_HANDLE>& sections,
                const std::vector<ELF_DESC>& modules, const SECTION_OBSERVER& observe = {});
// The p_flags of a segment holding a section with sh_flags from a slot with
// protection bits prot: always readable, executable and writable as marked.
uint32_t segment_flags(uint32_t prot, uint32_t sh_flags);
// Where module m stores the byte it runs at addr: translated by the first of
// its program headers that holds addr, else addr itself.
uint32_t load_address(const ELF_DESC& m, uint32_t addr);
// load_address of every section of a list in address order, in list order:
// each module's program headers are searched as segment building searches
// them, from the header that held the last section.
std::vector<uint32_t> load_addresses(const std::vector<SHDR_HANDLE>& sections, const std::vector<ELF_DESC>& modules);
// The Shared Data segment's memory size: -z, or more where the table and
// the note need more.
uint32_t shared_data_memsz(uint32_t sd_size, uint32_t file_size);

// Where a PT_LOAD entry's file bytes are stored: [start, end), without wrapping.
struct LOAD_RANGE {
    uint32_t start;
    uint64_t end;
    size_t entry; // index in the program header list
};
// Which addresses of a PT_LOAD entry a range covers: those its memory runs
// at, [p_vaddr, p_vaddr + p_memsz), or those a loader stores its file bytes
// at, [p_paddr, p_paddr + p_filesz).
enum class ADDRESS_KIND { run, load };
// The ranges of that kind of every PT_LOAD entry that has one (memory, or
// file bytes), by start address.
std::vector<LOAD_RANGE> sorted_load_ranges(const std::vector<Elf32_Phdr>& phdrs,
                                           ADDRESS_KIND kind = ADDRESS_KIND::load);
// Index i of the first range that overlaps range i + 1, or SIZE_MAX. Touching
// ranges do not overlap.
size_t first_load_overlap(const std::vector<LOAD_RANGE>& ranges);

// io
// Each converts a record between big-endian and host order, in place.
void convert_ehdr(Elf32_Ehdr& h);
void convert_phdr(Elf32_Phdr& p);
void convert_shdr(Elf32_Shdr& s);
void convert_sym(Elf32_Sym& s);
// A record read from big-endian bytes at p, which may lie at any offset: a
// copy, converted by one of the above; the bytes stay as they are.
template <typename T>
T record_from(const uint8_t* p, void (*convert)(T&))
{
    T record;
    std::memcpy(&record, p, sizeof record);
    convert(record);
    return record;
}
// Where a raw image of a kind is placed.
uint32_t raw_image_address(int32_t kind);
// count bytes of module m at offset, which the caller has checked lie in the
// file. A file that no longer holds them ends the run.
void read_module_bytes(const ELF_DESC& m, uint64_t offset, uint32_t count, uint8_t* out);
// Section headers [first, first + out.size()) of module m, read into out
// from its file (for a raw image, its one synthesized header). Tables are
// read a chunk of SHDR_CHUNK headers at a time, so that none is held whole.
constexpr uint32_t SHDR_CHUNK = 1024;
void read_section_headers(const ELF_DESC& m, uint32_t first, std::vector<Elf32_Shdr>& out);
// A symbol that names code or data (STT_FUNC or STT_OBJECT), for a map or
// a debugger.
struct MODULE_SYMBOL {
    std::string name;
    uint32_t address; // st_value; a Thumb function's without bit 0
    uint32_t st_size;
    uint8_t st_info;
    uint16_t st_shndx;
};
// The named FUNC and OBJECT symbols of the symbol table that module m's
// start-up values come from, in table order, ARM mapping symbols left out;
// none for a raw image. The tables and every name are checked against the
// file as when the module was read, and a fault ends the run.
std::vector<MODULE_SYMBOL> read_symbols(const ELF_DESC& m);
// Before the output is truncated: every module must still be the file that
// was read, and one that the output would overwrite is read into memory.
void protect_inputs(std::vector<ELF_DESC>& modules, const char* outfile);
// After the image is written: every module not held in memory must still be
// the file that was read, behind its descriptor and under its name, or the
// image may mix old bytes and new.
void confirm_inputs(const std::vector<ELF_DESC>& modules);
// Closes every module file still open, also for a caller that outlives a
// failed run and so no longer holds its modules.
void close_module_files();
// Closes the module files and frees what the modules hold.
void release_modules(std::vector<ELF_DESC>& modules);
// The bytes of an image, in file order, to sink: what write_elf writes.
void stream_image(const Elf32_Ehdr& ehdr, const std::vector<Elf32_Phdr>& phdrs, const NOTE_DESC* note,
                  int32_t note_size, const std::vector<SHDR_HANDLE>& sections, BYTE_SINK sink);
// From here a failure removes the output that path names and fd has open,
// if it is a regular file (a device or a FIFO is not the run's to remove):
// it is recorded in process.partial_output, through any link, for fatal().
void record_partial_output(const char* path, int fd);
// Removes the recorded output and temporary file, each if its path still
// names that file, and forgets them.
void remove_partial_output();
// Why path may not be written ("it is the input file M", or "it is the"
// role and name of one of others): the same file, links followed, as a
// module or another named file, or the same name where neither exists yet.
// Empty when it may be written.
std::string written_file_conflict(const char* path, const std::vector<ELF_DESC>& modules,
                                  std::initializer_list<NAMED_FILE> others);
// Opens path to be written by the rule; the temporary file is recorded in
// process.temporary_file. False with errno set when it cannot be (EISDIR for a
// directory).
bool open_written_file(const char* path, WRITTEN_FILE& file);
// count bytes to fd whatever the partial writes; false with errno set.
bool write_all(int fd, const char* data, size_t count);
// Closes the file and renames its temporary file over the target. False
// with errno set when that fails; the temporary file is then removed.
bool commit_written_file(WRITTEN_FILE& file);

// Writes the image to path; a regular file is recorded in process.partial_output
// once opened, for fatal() to remove.
int32_t write_elf(const char* path, const Elf32_Ehdr& ehdr, const std::vector<Elf32_Phdr>& phdrs,
                  const NOTE_DESC* note, int32_t note_size, const std::vector<SHDR_HANDLE>& sections);
