// SPDX-License-Identifier: MIT
// ELF32 records and the record types shared by every part of elf-merge.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <getopt.h>
#include <string_view>
#include <vector>

// ---------------------------------------------------------------------------
// ELF constants used by the tool.

constexpr uint8_t ELFMAG0 = 0x7F;
constexpr uint8_t ELFCLASS32 = 1;
constexpr uint8_t ELFDATA2MSB = 2;
constexpr uint8_t EV_CURRENT = 1;
constexpr uint8_t ELFOSABI_ARM = 97;
constexpr int EI_NIDENT = 16;

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

constexpr uint32_t EHDR_SIZE = 52;
constexpr uint32_t PHDR_SIZE = 32;
constexpr uint32_t SHDR_SIZE = 40;
constexpr uint32_t SYM_SIZE = 16;

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

// True when [offset, offset + count * stride) lies inside a buffer of size
// bytes. 64-bit arithmetic: no 32-bit operand can make it overflow.
inline bool inside(uint64_t offset, uint64_t count, uint64_t stride, uint32_t size)
{
    return offset <= size && count * stride <= size - offset;
}

// ---------------------------------------------------------------------------
// Module slots. The slot decides a module's pid, the protection bits its
// segments carry in p_flags, and how its file is read.

constexpr int SLOT_COUNT = 23;
constexpr int KERNEL_SLOT = 0;
constexpr int SYSTEM_SLOT = 20; // no option reaches it: its bits mark the system segments
constexpr int KA2_SLOT = 21;
constexpr int KA1_SLOT = 22;

inline constexpr int32_t process_id[SLOT_COUNT] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                                   12, 13, 14, 15, 16, 17, 18, 19, -1, -1, -1};

inline constexpr uint32_t prot_mask[SLOT_COUNT] = {
    0x00000000, 0x00100000, 0x00200000, 0x00300000, 0x00F00000, 0x00F00000, 0x00F00000, 0x00700000,
    0x00F00000, 0x00F00000, 0x00F00000, 0x00F00000, 0x00F00000, 0x00F00000, 0x00E00000, 0x00F00000,
    0x00F00000, 0x00F00000, 0x00F00000, 0x00900000, 0x00F00000, 0x00F00000, 0x00F00000};

// The option letter of each slot, in slot order: slot 0 is -k. The system
// slot has none (a blank, which getopt never returns).
inline constexpr std::string_view slot_letters = "kefduvEcanWLKNSbCxyF Pp";

inline constexpr const char* options = "a:b:c:d:e:f:k:n:o:p:rs:u:v:x:y:z:hC:E:F:K:L:N:P:S:W:";

// How a slot's files are read: as ELF executables, or as one of two kinds of
// raw image.
constexpr int32_t ELF_KIND = -1;
constexpr int32_t KA1_KIND = 1;
constexpr int32_t KA2_KIND = 2;

// Hexadecimal text for -s and -z: an optional 0x or 0X, then one or more
// hex digits, at most 0xFFFFFFFF. False for anything else (empty, a sign,
// spaces, trailing characters, too large), which the caller refuses.
inline bool parse_hex(const char* text, uint32_t& value)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    uint64_t v = 0;
    const char* p = text;
    for (; *p; ++p) {
        const char c = *p;
        const int digit = c >= '0' && c <= '9'   ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return false;
        v = v * 16 + static_cast<uint64_t>(digit);
        if (v > UINT32_MAX)
            return false;
    }
    if (p == text)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

// The long names that the usage text lists, each with its letter; --version
// has no letter. Abbreviations are getopt_long's.
constexpr int VERSION_OPTION = 256;
inline constexpr option long_options[] = {
    {"kernel", required_argument, nullptr, 'k'}, {"sd_addr", required_argument, nullptr, 's'},
    {"sd_size", required_argument, nullptr, 'z'}, {"vo", required_argument, nullptr, 'f'},
    {"quenlor", required_argument, nullptr, 'e'}, {"zu", required_argument, nullptr, 'd'},
    {"ra0", required_argument, nullptr, 'u'},     {"ra1", required_argument, nullptr, 'v'},
    {"mivo", required_argument, nullptr, 'E'},    {"gul", required_argument, nullptr, 'c'},
    {"pim", required_argument, nullptr, 'n'},     {"qy", required_argument, nullptr, 'K'},
    {"wy", required_argument, nullptr, 'W'},      {"uq", required_argument, nullptr, 'L'},
    {"fyx", required_argument, nullptr, 'C'},     {"dov", required_argument, nullptr, 'N'},
    {"rak", required_argument, nullptr, 'S'},     {"tolvin", required_argument, nullptr, 'a'},
    {"norvala", required_argument, nullptr, 'b'}, {"hux", required_argument, nullptr, 'x'},
    {"lem", required_argument, nullptr, 'y'},     {"tej", required_argument, nullptr, 'F'},
    {"ka1", required_argument, nullptr, 'p'},     {"ka2", required_argument, nullptr, 'P'},
    {"rm", no_argument, nullptr, 'r'},            {"outfile", required_argument, nullptr, 'o'},
    {"help", no_argument, nullptr, 'h'},          {"version", no_argument, nullptr, VERSION_OPTION},
    {nullptr, 0, nullptr, 0}};

constexpr int32_t slot_kind(int slot)
{
    return slot == KA1_SLOT ? KA1_KIND : slot == KA2_SLOT ? KA2_KIND : ELF_KIND;
}

// ---------------------------------------------------------------------------
// Run settings: set by the command line and module registration, read by the
// later phases. Held in one record so that a harness can start afresh.

struct RUN_SETTINGS {
    const char* outfile = nullptr;
    uint32_t sd_addr = 0;
    uint32_t sd_size = 0;
    int load_phdr = 0;
    int resource_manager = 0;
    int32_t pid = -1;
    uint32_t entry = 0xFFFFFFFF;
    int32_t entry_count = 0;
};

inline RUN_SETTINGS settings;

// ---------------------------------------------------------------------------
// One input module. Its headers are held as host-order records, copied out of
// the file and never converted over its bytes; section contents stay in the
// file and are read when the image is written.

// The largest module file taken: offsets and sizes here are 32-bit, and no
// firmware module comes near it.
constexpr uint64_t MAX_MODULE_SIZE = 0x7FFFFFFF;

// Where a module's bytes come from. A regular file stays open (or is opened
// again, and must then still be the same file); a pipe or device, or a file
// that the output would overwrite, is held in memory whole.
struct MODULE_SOURCE {
    int fd = -1; // -1: held, or closed to stay within the descriptor limit
    bool held = false;
    std::vector<uint8_t> bytes; // the whole file, when held
    // The file as it was first read.
    uint64_t dev = 0;
    uint64_t ino = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
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
    uint32_t index; // in its module's section header table
    uint32_t sh_addr;
    uint32_t sh_offset;
    uint32_t sh_size;
    uint32_t sh_addralign;
    uint16_t sh_flags; // SHF_WRITE, SHF_ALLOC and SHF_EXECINSTR
    bool nobits;       // SHT_NOBITS: memory without file bytes
};

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

    NOTE_DESC(const std::vector<ELF_DESC>& modules, int32_t lowest_pid, int32_t count);

    // The pairs that follow the header in the caller's buffer.
    Elf32_auxv_t* aux() { return reinterpret_cast<Elf32_auxv_t*>(this + 1); }
};

static_assert(sizeof(NOTE_DESC) == 12);

constexpr uint32_t AUX_PAIRS_PER_MODULE = 5;
constexpr uint32_t NOTE_GROUP_SIZE = AUX_PAIRS_PER_MODULE * sizeof(Elf32_auxv_t);

// ---------------------------------------------------------------------------
// util
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// collect
// The header every image and every synthesized raw-image header starts
// from: identification, ET_EXEC, EM_ARM, e_phoff 52, all else 0.
Elf32_Ehdr arm_executable_header();
void merge_ehdr(const std::vector<ELF_DESC>& modules, Elf32_Ehdr& ehdr);
void generate_phdr_segment(Elf32_Phdr& phdr, uint32_t vaddr, uint32_t offset, uint32_t flags);
void generate_note_segment(Elf32_Phdr& phdr, uint32_t flags, int32_t size);
void merge_shdr(std::vector<Elf32_Phdr>& phdrs, std::vector<SHDR_HANDLE>& sections,
                const std::vector<ELF_DESC>& modules);
// The p_flags of a segment holding a section with sh_flags from a slot with
// protection bits prot: always readable, executable and writable as marked.
uint32_t segment_flags(uint32_t prot, uint32_t sh_flags);
// Where module m stores the byte it runs at addr: translated by the first of
// its program headers that holds addr, else addr itself.
uint32_t load_address(const ELF_DESC& m, uint32_t addr);

// Where a PT_LOAD entry's file bytes are stored: [start, end), without wrapping.
struct LOAD_RANGE {
    uint32_t start;
    uint64_t end;
    size_t entry; // index in the program header list
};
// The load ranges of every PT_LOAD entry with file bytes, by start address.
std::vector<LOAD_RANGE> sorted_load_ranges(const std::vector<Elf32_Phdr>& phdrs);
// Index i of the first range that overlaps range i + 1, or SIZE_MAX. Touching
// ranges do not overlap.
size_t first_load_overlap(const std::vector<LOAD_RANGE>& ranges);

// io
// Each converts a record between big-endian and host order, in place.
void convert_ehdr(Elf32_Ehdr& h);
void convert_phdr(Elf32_Phdr& p);
void convert_shdr(Elf32_Shdr& s);
void convert_sym(Elf32_Sym& s);
// count bytes of module m at offset, which the caller has checked lie in the
// file. A file that no longer holds them ends the run.
void read_module_bytes(const ELF_DESC& m, uint64_t offset, uint32_t count, uint8_t* out);
// Section headers [first, first + out.size()) of module m, read into out
// from its file (for a raw image, its one synthesized header). Tables are
// read a chunk of SHDR_CHUNK headers at a time, so that none is held whole.
constexpr uint32_t SHDR_CHUNK = 1024;
void read_section_headers(const ELF_DESC& m, uint32_t first, std::vector<Elf32_Shdr>& out);
// Before the output is truncated: every module must still be the file that
// was read, and one that the output would overwrite is read into memory.
void protect_inputs(std::vector<ELF_DESC>& modules, const char* outfile);
// Closes every module file still open, also for a caller that outlives a
// failed run and so no longer holds its modules.
void close_module_files();
// Closes the module files and frees what the modules hold.
void release_modules(std::vector<ELF_DESC>& modules);
int32_t write_elf(const char* path, const Elf32_Ehdr& ehdr, const std::vector<Elf32_Phdr>& phdrs,
                  const NOTE_DESC* note, int32_t note_size, const std::vector<SHDR_HANDLE>& sections);
