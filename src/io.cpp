// SPDX-License-Identifier: MIT
// Module input (ELF executables and raw images) and the output writer.
//
// Module files are untrusted. Every table, name and word is checked against
// the file's size before it is read, and is read into a record of its own:
// nothing is converted over the file's bytes, so no table can alter another,
// and section contents reach the output exactly as the file holds them. The
// contents themselves are not read until the image is written, when they are
// copied through one small buffer.
#include "elf-merge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

constexpr size_t COPY_BUFFER_SIZE = 256 * 1024;

// ---------------------------------------------------------------------------
// Reading failures

[[noreturn]] void read_failure(const char* name, const char* why)
{
    fatal("Error reading file %s -- %s\n", name, why);
}

// A module that no longer holds what was read from it: truncated, rewritten
// or replaced while the run went on.
[[noreturn]] void changed(const ELF_DESC& m)
{
    read_failure(m.name, "the file changed while it was being merged");
}

// A module file that cannot be opened, for the system's reason.
[[noreturn]] void open_failure(const char* name)
{
    fatal("Error opening file %s -- %s\n", name, std::strerror(errno));
}

// ---------------------------------------------------------------------------
// Open files. A module file stays open once parsed. How many descriptors are
// free is not known (the caller may have handed down any number), so none is
// guessed: an open that finds none left (EMFILE, ENFILE) closes a kept module
// file and tries again, and such a module is opened again, one at a time,
// when its bytes are wanted.

// The descriptors of the kept module files, by MODULE_SOURCE::kept; -1 once
// closed to make room.
std::vector<int> kept_files;

// The one module file opened again after it was closed.
struct REOPENED {
    const ELF_DESC* module = nullptr;
    int fd = -1;
};
REOPENED reopened;

void raise_descriptor_limit()
{
    static const bool raised = [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
            return false;
        limit.rlim_cur = limit.rlim_max;
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }();
    (void)raised;
}

void close_reopened()
{
    if (reopened.fd >= 0)
        ::close(reopened.fd);
    reopened = REOPENED{};
}

// Closes the module file kept open last, or else the one opened again. False
// when no module file is open.
bool close_a_module_file()
{
    for (size_t i = kept_files.size(); i-- > 0;)
        if (kept_files[i] >= 0) {
            ::close(kept_files[i]);
            kept_files[i] = -1;
            return true;
        }
    const bool any = reopened.fd >= 0;
    close_reopened();
    return any;
}

// A module file just opened may have taken the last descriptor: one is
// freed, so that the output or any file the caller writes next can be opened.
void leave_one_free(int fd)
{
    const int spare = ::fcntl(fd, F_DUPFD, 0);
    if (spare >= 0)
        ::close(spare);
    else if (errno == EMFILE)
        close_a_module_file();
}

// open(2), closing module files while descriptors run out. -1 with errno
// set when it fails for another reason, or no module file is left to close.
int open_with_room(const char* path, int flags, mode_t mode = 0)
{
    raise_descriptor_limit();
    int fd;
    while ((fd = ::open(path, flags, mode)) < 0 && (errno == EMFILE || errno == ENFILE))
        if (!close_a_module_file())
            return -1;
    if (fd >= 0)
        leave_one_free(fd);
    return fd;
}

// The descriptor of a kept module file, or -1 where there is none (any more).
int kept_fd(const ELF_DESC& m)
{
    return m.source.kept < kept_files.size() ? kept_files[m.source.kept] : -1;
}

void keep(MODULE_SOURCE& s, int fd)
{
    s.kept = kept_files.size();
    kept_files.push_back(fd);
}

// Closes the module's kept file, if it is still open.
void forget_kept(const ELF_DESC& m)
{
    const int fd = kept_fd(m);
    if (fd < 0)
        return;
    ::close(fd);
    kept_files[m.source.kept] = -1;
}

void record_identity(MODULE_SOURCE& s, const struct stat& st)
{
    s.dev = static_cast<uint64_t>(st.st_dev);
    s.ino = static_cast<uint64_t>(st.st_ino);
    s.mtime_sec = st.st_mtim.tv_sec;
    s.mtime_nsec = st.st_mtim.tv_nsec;
    s.ctime_sec = st.st_ctim.tv_sec;
    s.ctime_nsec = st.st_ctim.tv_nsec;
}

bool same_file(const ELF_DESC& m, const struct stat& st)
{
    return m.source.dev == static_cast<uint64_t>(st.st_dev) && m.source.ino == static_cast<uint64_t>(st.st_ino);
}

bool unchanged(const ELF_DESC& m, const struct stat& st)
{
    const MODULE_SOURCE& s = m.source;
    return same_file(m, st) && static_cast<uint64_t>(st.st_size) == m.size && st.st_mtim.tv_sec == s.mtime_sec &&
           st.st_mtim.tv_nsec == s.mtime_nsec && st.st_ctim.tv_sec == s.ctime_sec &&
           st.st_ctim.tv_nsec == s.ctime_nsec;
}

// A name that is gone was removed or renamed while the run went on: the
// module changed. Any other failure to open it is the system's to explain.
int reopen(const ELF_DESC& m)
{
    if (reopened.module == &m)
        return reopened.fd;
    close_reopened();
    const int fd = open_with_room(m.name, O_RDONLY | O_BINARY);
    if (fd < 0 && errno == ENOENT)
        changed(m);
    if (fd < 0)
        open_failure(m.name);
    struct stat st;
    if (fstat(fd, &st) != 0 || !unchanged(m, st)) {
        ::close(fd);
        changed(m);
    }
    reopened = {&m, fd};
    return fd;
}

// A short count is never retried as a loop: the file ended where it should
// not have, so it changed.
void pread_all(const ELF_DESC& m, int fd, uint64_t offset, uint32_t count, uint8_t* out)
{
    while (count > 0) {
        const ssize_t got = ::pread(fd, out, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            read_failure(m.name, std::strerror(errno));
        if (got == 0)
            changed(m);
        out += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<uint32_t>(got);
    }
}

// ---------------------------------------------------------------------------
// Reading a module file

// The second line of a header refusal, naming the field at fault and what
// it must be; empty when value is wanted.
std::string field_fault(const char* field, uint32_t value, uint32_t wanted, const char* wanted_name)
{
    if (value == wanted)
        return "";
    return format("  %s is %u, expected %u (%s).\n", field, value, wanted, wanted_name);
}

// Why a file is not a module that elf-merge takes, as the second line of
// the refusal, or empty when its identification is that of one. bytes holds
// the first min(size, EHDR_SIZE) bytes of the file. A linker writes
// EI_OSABI 0, so that line is the one most users see.
std::string identification_fault(const uint8_t* bytes, uint64_t size)
{
    if (size < ELF_MAGIC_SIZE || std::memcmp(bytes, ELF_IDENT, ELF_MAGIC_SIZE) != 0)
        return "  It does not begin with the ELF magic bytes 7f 45 4c 46.\n";
    if (size < EHDR_SIZE)
        return format("  It is %llu bytes long, shorter than an ELF header (%u bytes).\n",
                      static_cast<unsigned long long>(size), EHDR_SIZE);
    static constexpr const char* fields[][2] = {{"EI_CLASS", "ELFCLASS32"},
                                                {"EI_DATA", "ELFDATA2MSB"},
                                                {"EI_VERSION", "EV_CURRENT"},
                                                {"EI_OSABI", "ELFOSABI_ARM"}};
    static_assert(ELF_MAGIC_SIZE + std::size(fields) == MODULE_IDENT_SIZE);
    for (size_t i = ELF_MAGIC_SIZE; i < MODULE_IDENT_SIZE; ++i) {
        const auto& [field, wanted_name] = fields[i - ELF_MAGIC_SIZE];
        std::string why = field_fault(field, bytes[i], ELF_IDENT[i], wanted_name);
        if (!why.empty())
            return why;
    }
    return "";
}

[[noreturn]] void not_supported(const char* name, const std::string& why)
{
    fatal("%s is not a supported Elf file.\n%s", name, why.c_str());
}

// Appends what a stream delivers until the module holds `until` bytes or
// the stream ends, up to the size limit.
void read_stream(ELF_DESC& m, int fd, size_t until)
{
    std::vector<uint8_t>& bytes = m.source.bytes;
    uint8_t chunk[65536];
    while (bytes.size() < until) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            read_failure(m.name, std::strerror(errno));
        if (got == 0)
            return;
        if (bytes.size() + static_cast<size_t>(got) > MAX_MODULE_SIZE)
            read_failure(m.name, std::strerror(EFBIG));
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
}

// A pipe, device or other stream, read to its end. An ELF module's header is
// checked first, so that a stream that is no module (/dev/zero) is refused
// without being read.
void hold_stream(ELF_DESC& m, int fd)
{
    read_stream(m, fd, EHDR_SIZE);
    const std::vector<uint8_t>& head = m.source.bytes;
    if (m.fake == ELF_KIND && head.size() >= EHDR_SIZE) {
        const std::string why = identification_fault(head.data(), head.size());
        if (!why.empty())
            not_supported(m.name, why);
    }
    read_stream(m, fd, SIZE_MAX);
    m.source.held = true;
    m.size = static_cast<uint32_t>(m.source.bytes.size());
}

// Regular files are measured, never read whole: their bytes are read as
// they are needed. Anything else is read to its end now.
void open_source(ELF_DESC& m, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        read_failure(m.name, std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        read_failure(m.name, std::strerror(EISDIR));
    record_identity(m.source, st);
    if (!S_ISREG(st.st_mode)) {
        hold_stream(m, fd);
        return;
    }
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > MAX_MODULE_SIZE)
        read_failure(m.name, std::strerror(EFBIG));
    m.size = static_cast<uint32_t>(st.st_size);
    keep(m.source, fd);
}

// The descriptor of a module file being read. A stream read whole, or a
// file that failed, is closed here: the process exit would close it too, but
// a caller that outlives the failure would not. A parsed file stays kept.
struct OPENING {
    ELF_DESC& m;
    int fd;
    bool parsed = false;

    OPENING(ELF_DESC& m, int fd) : m(m), fd(fd) {}
    OPENING(const OPENING&) = delete;
    OPENING& operator=(const OPENING&) = delete;
    ~OPENING()
    {
        if (m.source.kept == MODULE_SOURCE::NOT_KEPT) {
            ::close(fd);
        } else if (!parsed) {
            forget_kept(m);
            m.source.kept = MODULE_SOURCE::NOT_KEPT;
        }
    }
};

// The whole file in memory, before the output overwrites it.
void hold_whole(ELF_DESC& m)
{
    std::vector<uint8_t> bytes(m.size);
    if (m.size > 0)
        read_module_bytes(m, 0, m.size, bytes.data());
    m.source.bytes = std::move(bytes);
    m.source.held = true;
    forget_kept(m);
    m.source.kept = MODULE_SOURCE::NOT_KEPT;
    if (reopened.module == &m)
        close_reopened();
}

// The file read must still be there, as it was, under its name.
void check_unchanged(const ELF_DESC& m)
{
    if (m.source.held)
        return;
    struct stat named;
    struct stat opened;
    if (::stat(m.name, &named) != 0 || !unchanged(m, named))
        changed(m);
    const int fd = kept_fd(m);
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !unchanged(m, opened)))
        changed(m);
}

// ---------------------------------------------------------------------------
// Byte order and records

// Reads records [0, out.size()) of a table at offset into out, copied from
// the file and converted there. The caller has checked that they lie inside
// the file.
template <typename T>
void read_records(const ELF_DESC& m, uint64_t offset, std::vector<T>& out, void (*convert)(T&))
{
    if (out.empty())
        return;
    read_module_bytes(m, offset, static_cast<uint32_t>(out.size() * sizeof(T)), reinterpret_cast<uint8_t*>(out.data()));
    for (T& record : out)
        convert(record);
}

template <typename T>
std::vector<T> read_table(const ELF_DESC& m, uint64_t offset, uint32_t count, void (*convert)(T&))
{
    std::vector<T> table(count);
    read_records(m, offset, table, convert);
    return table;
}

Elf32_Shdr read_section_header(const ELF_DESC& m, uint32_t index)
{
    std::vector<Elf32_Shdr> one(1);
    read_section_headers(m, index, one);
    return one.front();
}

void check_table(const ELF_DESC& m, uint32_t offset, uint32_t count, uint32_t stride, const char* what)
{
    if (count != 0 && !inside(offset, count, stride, m.size))
        fatal("%s is corrupt -- %s lies outside the file.\n", m.name, what);
}

// ---------------------------------------------------------------------------
// Validation

void read_header(ELF_DESC& m)
{
    uint8_t bytes[EHDR_SIZE];
    read_module_bytes(m, 0, std::min(m.size, EHDR_SIZE), bytes);
    const std::string why = identification_fault(bytes, m.size);
    if (!why.empty())
        not_supported(m.name, why);
    m.ehdr = record_from<Elf32_Ehdr>(bytes, convert_ehdr);
}

void check_kind(const ELF_DESC& m)
{
    const Elf32_Ehdr& h = m.ehdr;
    for (const std::string& why : {field_fault("e_type", h.e_type, ET_EXEC, "ET_EXEC"),
                                   field_fault("e_machine", h.e_machine, EM_ARM, "EM_ARM"),
                                   field_fault("e_version", h.e_version, EV_CURRENT, "EV_CURRENT")})
        if (!why.empty())
            fatal("%s is not an ARM executable.\n%s", m.name, why.c_str());
}

// ELF extended numbering: counts too large for the header are held in
// section header 0, which must then lie inside the file.
void resolve_counts(ELF_DESC& m)
{
    m.phnum = m.ehdr.e_phnum;
    m.shnum = m.ehdr.e_shnum;
    const bool shnum_elsewhere = m.ehdr.e_shnum == 0 && m.ehdr.e_shoff != 0;
    if (!shnum_elsewhere && m.ehdr.e_phnum != PN_XNUM)
        return;
    check_table(m, m.ehdr.e_shoff, 1, SHDR_SIZE, "section header table");
    const Elf32_Shdr first = read_section_header(m, 0);
    if (shnum_elsewhere)
        m.shnum = first.sh_size;
    if (m.ehdr.e_phnum == PN_XNUM)
        m.phnum = first.sh_info;
}

uint32_t symbol_count(const Elf32_Shdr& symtab)
{
    return symtab.sh_size / SYM_SIZE;
}

// Every symbol table must lie in the file and clear of the section header
// table; the last one is the table the start-up symbols are looked up in.
void check_symbol_table(const ELF_DESC& m, uint32_t index, const Elf32_Shdr& s)
{
    const uint32_t count = symbol_count(s);
    if (count && !inside(s.sh_offset, count, SYM_SIZE, m.size))
        fatal("%s is corrupt -- symbol table in section %u lies outside the file.\n", m.name, index);
    const uint64_t table_start = m.ehdr.e_shoff;
    const uint64_t table_end = table_start + uint64_t{SHDR_SIZE} * m.shnum;
    const uint64_t start = s.sh_offset;
    if (count && start < table_end && table_start < start + uint64_t{SYM_SIZE} * count)
        fatal("%s is corrupt -- symbol table in section %u overlaps the section header table.\n", m.name, index);
}

// The writer copies these bytes from the file.
void check_contents(const ELF_DESC& m, uint32_t index, const Elf32_Shdr& s)
{
    const bool copied = (s.sh_flags & SHF_ALLOC) && s.sh_size != 0 && s.sh_type != SHT_NOBITS;
    if (copied && !inside(s.sh_offset, s.sh_size, 1, m.size))
        fatal("%s is corrupt -- section %u lies outside the file.\n", m.name, index);
}

// Checks every section header, a chunk of the table at a time, and returns
// the index of the last symbol table (shnum when there is none).
uint32_t check_section_headers(const ELF_DESC& m)
{
    check_table(m, m.ehdr.e_shoff, m.shnum, SHDR_SIZE, "section header table");
    uint32_t symtab = m.shnum;
    std::vector<Elf32_Shdr> chunk;
    for (uint32_t first = 0; first < m.shnum; first += SHDR_CHUNK) {
        chunk.resize(std::min(SHDR_CHUNK, m.shnum - first));
        read_section_headers(m, first, chunk);
        for (uint32_t k = 0; k < chunk.size(); ++k) {
            if (chunk[k].sh_type == SHT_SYMTAB) {
                check_symbol_table(m, first + k, chunk[k]);
                symtab = first + k;
            }
            check_contents(m, first + k, chunk[k]);
        }
    }
    return symtab;
}

// The file offset of the last NUL at or after from, searched backwards from
// the end of the file once, so that every name is judged without a rescan.
void find_last_nul(const ELF_DESC& m, STRING_TABLE& t)
{
    uint8_t chunk[65536];
    uint64_t end = m.size;
    while (end > t.offset) {
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(sizeof chunk, end - t.offset));
        read_module_bytes(m, end - count, count, chunk);
        for (uint32_t k = count; k-- > 0;)
            if (chunk[k] == 0) {
                t.last_nul = end - count + k;
                t.any_nul = true;
                return;
            }
        end -= count;
    }
}

// Names are needed only when there are symbols to compare.
STRING_TABLE read_string_table(const ELF_DESC& m, const Elf32_Shdr& symtab)
{
    const uint32_t link = symtab.sh_link;
    if (link >= m.shnum)
        fatal("%s is corrupt -- symbol table links to section %u, which does not exist.\n", m.name, link);
    const Elf32_Shdr s = read_section_header(m, link);
    if (s.sh_offset > m.size)
        fatal("%s is corrupt -- string table lies outside the file.\n", m.name);
    STRING_TABLE t;
    t.offset = s.sh_offset;
    t.bytes.resize(std::min<uint64_t>(s.sh_size, m.size - t.offset));
    if (!t.bytes.empty())
        read_module_bytes(m, t.offset, static_cast<uint32_t>(t.bytes.size()), reinterpret_cast<uint8_t*>(t.bytes.data()));
    find_last_nul(m, t);
    return t;
}

// The module's symbol table (the last SHT_SYMTAB) and its names, with every
// section header checked on the way; both left empty without symbols.
void read_symbol_table(const ELF_DESC& m, std::vector<Elf32_Sym>& symbols, STRING_TABLE& names)
{
    const uint32_t index = check_section_headers(m);
    const Elf32_Shdr s = index < m.shnum ? read_section_header(m, index) : Elf32_Shdr{};
    if (symbol_count(s) == 0)
        return;
    names = read_string_table(m, s);
    symbols = read_table<Elf32_Sym>(m, s.sh_offset, symbol_count(s), convert_sym);
}

// ---------------------------------------------------------------------------
// Symbol lookup

// The file offset of symbol index's name, which must end inside the file.
uint64_t name_offset(const ELF_DESC& m, const STRING_TABLE& t, uint32_t index, uint32_t st_name)
{
    const uint64_t offset = t.offset + st_name;
    if (offset >= m.size || !t.any_nul || offset > t.last_nul)
        fatal("%s is corrupt -- name of symbol %u is not inside the file.\n", m.name, index);
    return offset;
}

// Every symbol visited must have a name that ends inside the file. At most
// the wanted name and its NUL are compared.
bool symbol_named(const ELF_DESC& m, uint32_t index, const char* wanted, size_t wanted_size)
{
    const STRING_TABLE& t = m.strtab;
    const uint64_t offset = name_offset(m, t, index, m.symtab[index].st_name);
    const uint64_t count = std::min<uint64_t>(wanted_size + 1, m.size - offset);
    if (count < wanted_size + 1)
        return false;
    const uint64_t within = offset - t.offset;
    if (within + count <= t.bytes.size())
        return std::memcmp(t.bytes.data() + within, wanted, count) == 0;
    std::vector<char> name(count);
    read_module_bytes(m, offset, static_cast<uint32_t>(count), reinterpret_cast<uint8_t*>(name.data()));
    return std::memcmp(name.data(), wanted, count) == 0;
}

// The initial value of a 32-bit variable, read big-endian from its section.
int32_t startup_word(const ELF_DESC& m, const Elf32_Sym& sym, const char* sym_name)
{
    if (sym.st_shndx >= m.shnum)
        fatal("%s is corrupt -- symbol %s is in section %u, which does not exist.\n", m.name, sym_name,
              sym.st_shndx);
    const Elf32_Shdr s = read_section_header(m, sym.st_shndx);
    // A zero-filled variable's bytes at sh_offset belong to something else.
    if (s.sh_type == SHT_NOBITS)
        return 0;
    const uint32_t offset = sym.st_value - s.sh_addr + s.sh_offset;
    if (!inside(offset, 1, sizeof(uint32_t), m.size))
        fatal("%s is corrupt -- the word at symbol %s lies outside the file.\n", m.name, sym_name);
    uint8_t word[4];
    read_module_bytes(m, offset, sizeof word, word);
    return static_cast<int32_t>(read_be32(word));
}

// A name may run past the end of its table, as far as the file's last NUL:
// the table's bytes are then read on to there, once for all its names.
void read_to_last_nul(const ELF_DESC& m, STRING_TABLE& t)
{
    const uint64_t have = t.offset + t.bytes.size();
    if (!t.any_nul || t.last_nul < have)
        return;
    const size_t old_size = t.bytes.size();
    t.bytes.resize(t.last_nul + 1 - t.offset);
    read_module_bytes(m, have, static_cast<uint32_t>(t.bytes.size() - old_size),
                      reinterpret_cast<uint8_t*>(t.bytes.data() + old_size));
}

// The NUL that ends the name at within in the table's bytes, or null.
const char* name_end(const STRING_TABLE& t, uint64_t within)
{
    if (within >= t.bytes.size())
        return nullptr;
    return static_cast<const char*>(std::memchr(t.bytes.data() + within, 0, t.bytes.size() - within));
}

// The whole name of symbol index. The NUL at last_nul ends it at the
// latest, unless the file changed since it was found.
std::string symbol_name(const ELF_DESC& m, STRING_TABLE& t, uint32_t index, uint32_t st_name)
{
    const uint64_t within = name_offset(m, t, index, st_name) - t.offset;
    const char* end = name_end(t, within);
    if (!end) {
        read_to_last_nul(m, t);
        end = name_end(t, within);
    }
    if (!end)
        changed(m);
    const char* start = t.bytes.data() + within;
    return std::string(start, static_cast<size_t>(end - start));
}

// ARM mapping symbols ($a, $d and $t, alone or with a "." suffix) mark where
// code or data begins; they name nothing.
bool mapping_symbol(std::string_view name)
{
    return name.size() >= 2 && name[0] == '$' && (name[1] == 'a' || name[1] == 'd' || name[1] == 't') &&
           (name.size() == 2 || name[2] == '.');
}

bool names_code_or_data(const Elf32_Sym& sym)
{
    const uint8_t type = st_type(sym.st_info);
    return sym.st_name != 0 && (type == STT_FUNC || type == STT_OBJECT);
}

// Bit 0 of a function's st_value marks Thumb code, and is no part of its
// address.
MODULE_SYMBOL module_symbol(std::string name, const Elf32_Sym& sym)
{
    const uint32_t address = st_type(sym.st_info) == STT_FUNC ? sym.st_value & ~uint32_t{1} : sym.st_value;
    return {std::move(name), address, sym.st_size, sym.st_info, sym.st_shndx};
}

// The records kept only while parsing are released: a run of many modules
// holds no symbol or section table.
void release_parse_records(ELF_DESC& m)
{
    std::vector<Elf32_Sym>().swap(m.symtab);
    m.strtab = STRING_TABLE{};
}

} // namespace

// ---------------------------------------------------------------------------
// In-place conversion of records between big-endian and host order.

void convert_ehdr(Elf32_Ehdr& h)
{
    h.e_type = be16(h.e_type);
    h.e_machine = be16(h.e_machine);
    h.e_version = be32(h.e_version);
    h.e_entry = be32(h.e_entry);
    h.e_phoff = be32(h.e_phoff);
    h.e_shoff = be32(h.e_shoff);
    h.e_flags = be32(h.e_flags);
    h.e_ehsize = be16(h.e_ehsize);
    h.e_phentsize = be16(h.e_phentsize);
    h.e_phnum = be16(h.e_phnum);
    h.e_shentsize = be16(h.e_shentsize);
    h.e_shnum = be16(h.e_shnum);
    h.e_shstrndx = be16(h.e_shstrndx);
}

void convert_phdr(Elf32_Phdr& p)
{
    p.p_type = be32(p.p_type);
    p.p_offset = be32(p.p_offset);
    p.p_vaddr = be32(p.p_vaddr);
    p.p_paddr = be32(p.p_paddr);
    p.p_filesz = be32(p.p_filesz);
    p.p_memsz = be32(p.p_memsz);
    p.p_flags = be32(p.p_flags);
    p.p_align = be32(p.p_align);
}

void convert_shdr(Elf32_Shdr& s)
{
    s.sh_name = be32(s.sh_name);
    s.sh_type = be32(s.sh_type);
    s.sh_flags = be32(s.sh_flags);
    s.sh_addr = be32(s.sh_addr);
    s.sh_offset = be32(s.sh_offset);
    s.sh_size = be32(s.sh_size);
    s.sh_link = be32(s.sh_link);
    s.sh_info = be32(s.sh_info);
    s.sh_addralign = be32(s.sh_addralign);
    s.sh_entsize = be32(s.sh_entsize);
}

void convert_sym(Elf32_Sym& s)
{
    s.st_name = be32(s.st_name);
    s.st_value = be32(s.st_value);
    s.st_size = be32(s.st_size);
    s.st_shndx = be16(s.st_shndx);
}

uint32_t raw_image_address(int32_t kind)
{
    for (const SLOT& s : slots)
        if (s.kind != ELF_KIND && s.kind == kind)
            return s.raw_address;
    return slots[slot_of('P')].raw_address; // any other kind is read as -P's
}

void read_module_bytes(const ELF_DESC& m, uint64_t offset, uint32_t count, uint8_t* out)
{
    if (count == 0)
        return;
    if (!inside(offset, count, 1, m.size))
        changed(m);
    if (m.source.held) {
        if (offset + count > m.source.bytes.size())
            changed(m);
        std::memcpy(out, m.source.bytes.data() + offset, count);
        return;
    }
    const int fd = kept_fd(m);
    pread_all(m, fd >= 0 ? fd : reopen(m), offset, count, out);
}

void read_section_headers(const ELF_DESC& m, uint32_t first, std::vector<Elf32_Shdr>& out)
{
    if (m.fake == ELF_KIND) {
        read_records(m, m.ehdr.e_shoff + uint64_t{SHDR_SIZE} * first, out, convert_shdr);
        return;
    }
    // A raw image: the one header that describes the whole file.
    Elf32_Shdr s{};
    s.sh_type = SHT_PROGBITS;
    s.sh_flags = SHF_ALLOC | SHF_EXECINSTR;
    s.sh_addr = raw_image_address(m.fake);
    s.sh_size = m.size;
    s.sh_addralign = 1;
    out.assign(out.size(), s);
}

std::vector<MODULE_SYMBOL> read_symbols(const ELF_DESC& m)
{
    if (m.fake != ELF_KIND)
        return {};
    // Checked again as when the module was read: the file is read again.
    std::vector<Elf32_Sym> table;
    STRING_TABLE names;
    read_symbol_table(m, table, names);
    std::vector<MODULE_SYMBOL> symbols;
    for (uint32_t i = 0; i < table.size(); ++i) {
        if (!names_code_or_data(table[i]))
            continue;
        std::string name = symbol_name(m, names, i, table[i].st_name);
        if (!mapping_symbol(name))
            symbols.push_back(module_symbol(std::move(name), table[i]));
    }
    return symbols;
}

void protect_inputs(std::vector<ELF_DESC>& modules, const char* outfile)
{
    struct stat out;
    const bool exists = ::stat(outfile, &out) == 0;
    confirm_inputs(modules);
    for (ELF_DESC& m : modules)
        if (exists && !m.source.held && same_file(m, out))
            hold_whole(m);
}

void confirm_inputs(const std::vector<ELF_DESC>& modules)
{
    for (const ELF_DESC& m : modules)
        check_unchanged(m);
}

void close_module_files()
{
    close_reopened();
    for (const int fd : kept_files)
        if (fd >= 0)
            ::close(fd);
    std::vector<int>().swap(kept_files); // nothing left behind for a leak checker
}

void release_modules(std::vector<ELF_DESC>& modules)
{
    close_module_files();
    modules.clear();
}

// ---------------------------------------------------------------------------
// ELF_DESC

ELF_DESC::ELF_DESC(const char* name, int32_t pid, uint32_t prot, int32_t fake)
    : name(name), size(0), prot(prot), pid(pid), fake(fake), entry(0), ehdr{}, phnum(0), shnum(0), priority(0),
      stack_size(0), stack(0), slot(-1)
{
}

void ELF_DESC::read_elf()
{
    const int fd = open_with_room(name, O_RDONLY | O_BINARY);
    if (fd < 0)
        open_failure(name);
    OPENING opening{*this, fd};
    open_source(*this, fd);
    if (fake == ELF_KIND)
        parse_headers();
    else
        fake_headers(fake);
    opening.parsed = true;
}

void ELF_DESC::parse_headers()
{
    read_header(*this);
    check_kind(*this);
    entry = ehdr.e_entry;
    if (ehdr.e_ehsize != EHDR_SIZE)
        fatal("%s has inconsisten Elf header size.\n  e_ehsize is %u, expected %u.\n", name, ehdr.e_ehsize, EHDR_SIZE);
    resolve_counts(*this);
    check_table(*this, ehdr.e_phoff, phnum, PHDR_SIZE, "program header table");
    phdr = read_table<Elf32_Phdr>(*this, ehdr.e_phoff, phnum, convert_phdr);
    read_symbol_table(*this, symtab, strtab);
    if (!symtab.empty()) {
        lookup_symbol("_initPriority", nullptr, &priority);
        lookup_symbol("_initStackSize", nullptr, &stack_size);
        lookup_symbol("_initStack", &stack, nullptr);
    }
    release_parse_records(*this);
}

void ELF_DESC::fake_headers(int32_t kind)
{
    (void)kind; // the one section header is made from the kind whenever it is read
    entry = NO_ENTRY;
    ehdr = arm_executable_header(); // e_flags 0: a raw image adds no flags
    shnum = 1;
}

void ELF_DESC::lookup_symbol(const char* sym_name, uint32_t* address, int32_t* word) const
{
    const size_t wanted_size = std::strlen(sym_name);
    // No early exit: when several symbols carry the name, the last one counts.
    for (uint32_t i = 0; i < symtab.size(); ++i) {
        if (!symbol_named(*this, i, sym_name, wanted_size))
            continue;
        if (address)
            *address = symtab[i].st_value;
        if (word)
            *word = startup_word(*this, symtab[i], sym_name);
    }
}

// ---------------------------------------------------------------------------
// Output writer

namespace {

// Where the image goes, and the one buffer every byte passes through.
struct OUTPUT {
    BYTE_SINK sink;
    std::vector<uint8_t> buffer;
    size_t used = 0;
};

void flush(OUTPUT& out)
{
    out.sink.put(out.sink.context, out.buffer.data(), out.used);
    out.used = 0;
}

// The output file of write_elf.
struct OUTPUT_FILE {
    int fd;
    const char* path;
};

// A partial write continues where it stopped; a failed one is reported with
// its own error.
void write_to_file(void* context, const uint8_t* next, size_t left)
{
    const auto* file = static_cast<const OUTPUT_FILE*>(context);
    if (!write_all(file->fd, reinterpret_cast<const char*>(next), left))
        fatal("Error writing to %s -- %s.\n", file->path, std::strerror(errno));
}


void put(OUTPUT& out, const void* data, size_t count)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (count > 0) {
        if (out.used == out.buffer.size())
            flush(out);
        const size_t n = std::min(count, out.buffer.size() - out.used);
        std::memcpy(out.buffer.data() + out.used, bytes, n);
        out.used += n;
        bytes += n;
        count -= n;
    }
}

void put_be32(OUTPUT& out, uint32_t v)
{
    const uint32_t big = be32(v);
    put(out, &big, sizeof big);
}

// Copies count bytes of m from offset through the buffer. (Measured here,
// pread and write through one buffer beat a copy_file_range per run.)
void copy_from(OUTPUT& out, const ELF_DESC& m, uint64_t offset, uint64_t count)
{
    while (count > 0) {
        if (out.used == out.buffer.size())
            flush(out);
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, out.buffer.size() - out.used));
        read_module_bytes(m, offset, n, out.buffer.data() + out.used);
        out.used += n;
        offset += n;
        count -= n;
    }
}

void put_note(OUTPUT& out, const NOTE_DESC* note, int32_t note_size)
{
    put_be32(out, note->n_namesz);
    put_be32(out, note->n_descsz);
    put_be32(out, note->n_type);
    const uint32_t pairs = (static_cast<uint32_t>(note_size) - sizeof(NOTE_DESC)) / sizeof(Elf32_auxv_t);
    const auto* aux = reinterpret_cast<const uint8_t*>(note + 1);
    for (uint32_t i = 0; i < 2 * pairs; ++i) {
        uint32_t word;
        std::memcpy(&word, aux + 4 * i, sizeof word);
        put_be32(out, word);
    }
}

bool written(const SHDR_HANDLE& h)
{
    return !h.nobits && static_cast<int32_t>(h.sh_size) > 0;
}

uint32_t padding(const SHDR_HANDLE& h)
{
    return (4 - h.sh_size % 4) % 4;
}

// Up to three fill bytes that copy the section's own opening bytes; a fill
// byte that would come from beyond the module's file is 0.
void put_padding(OUTPUT& out, const SHDR_HANDLE& h)
{
    uint8_t fill[4] = {0, 0, 0, 0};
    const uint32_t pad = padding(h);
    const auto available = static_cast<uint32_t>(std::min<uint64_t>(pad, h.desc->size - h.sh_offset));
    read_module_bytes(*h.desc, h.sh_offset, available, fill);
    put(out, fill, pad);
}

// Sections that lie back to back in one file, with no fill between them,
// are copied as one run.
void put_sections(OUTPUT& out, const std::vector<SHDR_HANDLE>& sections)
{
    for (size_t i = 0; i < sections.size();) {
        const SHDR_HANDLE& first = sections[i++];
        if (!written(first))
            continue;
        const SHDR_HANDLE* last = &first;
        uint64_t end = uint64_t{first.sh_offset} + first.sh_size;
        while (i < sections.size() && padding(*last) == 0 && written(sections[i]) &&
               sections[i].desc == first.desc && sections[i].sh_offset == end) {
            last = &sections[i++];
            end += last->sh_size;
        }
        copy_from(out, *first.desc, first.sh_offset, end - first.sh_offset);
        if (padding(*last) != 0)
            put_padding(out, *last);
    }
}

} // namespace

void stream_image(const Elf32_Ehdr& ehdr, const std::vector<Elf32_Phdr>& phdrs, const NOTE_DESC* note,
                  int32_t note_size, const std::vector<SHDR_HANDLE>& sections, BYTE_SINK sink)
{
    OUTPUT out{sink, std::vector<uint8_t>(COPY_BUFFER_SIZE)};

    // Records are converted as copies; the caller's stay in host order.
    Elf32_Ehdr header = ehdr;
    convert_ehdr(header);
    put(out, &header, sizeof header);
    for (Elf32_Phdr p : phdrs) {
        convert_phdr(p);
        put(out, &p, sizeof p);
    }
    if (note_size > 0 && note)
        put_note(out, note, note_size);
    put_sections(out, sections);
    flush(out);
}

void record_partial_output(const char* path, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    char* resolved = ::realpath(path, nullptr);
    set_removable(process.partial_output,
                  {resolved ? resolved : path, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
    std::free(resolved);
}

int32_t write_elf(const char* path, const Elf32_Ehdr& ehdr, const std::vector<Elf32_Phdr>& phdrs,
                  const NOTE_DESC* note, int32_t note_size, const std::vector<SHDR_HANDLE>& sections)
{
    const int fd = open_with_room(path, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0755);
    if (fd < 0)
        fatal("Error opening output file %s -- %s.\n", path, std::strerror(errno));
    record_partial_output(path, fd);
    OUTPUT_FILE file{fd, path};
    stream_image(ehdr, phdrs, note, note_size, sections, BYTE_SINK{write_to_file, &file});
    return ::close(fd);
}

// ---------------------------------------------------------------------------
// Files written besides the image

namespace {

// Enough for any chain a system resolves; the open then reports ELOOP.
constexpr int MAX_LINK_HOPS = 40;

// The directory that a relative link's text is read against.
std::string directory_of(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_name(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name a symbolic link finally leads to, which need not exist yet: a
// dangling link is written through too, as -o is.
std::string link_target(const char* path)
{
    std::string target = path;
    struct stat st;
    for (int hop = 0; hop < MAX_LINK_HOPS && ::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode); ++hop) {
        std::string text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
        const ssize_t length = ::readlink(target.c_str(), text.data(), text.size());
        if (length < 0 || static_cast<size_t>(length) >= text.size())
            break;
        text.resize(static_cast<size_t>(length));
        target = text[0] == '/' ? text : directory_of(target) + "/" + text;
    }
    return target;
}

// What a name stands for: the file it leads to, or, when there is none yet,
// the directory it would be made in and the name there.
struct FILE_IDENTITY {
    bool exists = false;
    uint64_t dev = 0;
    uint64_t ino = 0;
    std::string name; // for a file yet to be made
};

FILE_IDENTITY identity_of(const char* path)
{
    FILE_IDENTITY id;
    struct stat st;
    const std::string target = link_target(path);
    id.exists = ::stat(target.c_str(), &st) == 0;
    if (!id.exists) {
        if (::stat(directory_of(target).c_str(), &st) != 0)
            return id;
        id.name = base_name(target);
    }
    id.dev = static_cast<uint64_t>(st.st_dev);
    id.ino = static_cast<uint64_t>(st.st_ino);
    return id;
}

bool same_identity(const FILE_IDENTITY& a, const FILE_IDENTITY& b)
{
    return a.exists == b.exists && a.dev == b.dev && a.ino == b.ino && a.name == b.name && (a.exists || a.ino != 0);
}

// The mode the file gets: that of the file it replaces, else what a new
// file gets under the umask (mkstemp makes it for its owner alone).
mode_t written_mode(const struct stat* replaced)
{
    if (replaced)
        return replaced->st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// A new file beside target, recorded for fatal() and the signals to remove.
bool create_temporary(WRITTEN_FILE& file, const struct stat* replaced)
{
    std::string temporary = file.target + ".XXXXXX";
    file.fd = ::mkstemp(temporary.data());
    if (file.fd < 0)
        return false;
    struct stat st;
    if (::fchmod(file.fd, written_mode(replaced)) != 0 || ::fstat(file.fd, &st) != 0) {
        const int error = errno;
        ::close(file.fd);
        ::unlink(temporary.c_str());
        file.fd = -1;
        errno = error;
        return false;
    }
    file.temporary = temporary;
    set_removable(process.temporary_file,
                  {temporary, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
    return true;
}

} // namespace

std::string written_file_conflict(const char* path, const std::vector<ELF_DESC>& modules,
                                  std::initializer_list<NAMED_FILE> others)
{
    const FILE_IDENTITY written = identity_of(path);
    if (written.exists)
        for (const ELF_DESC& m : modules)
            if (m.source.dev == written.dev && m.source.ino == written.ino)
                return format("it is the input file %s", m.name);
    for (const NAMED_FILE& other : others)
        if (other.name && same_identity(written, identity_of(other.name)))
            return format("it is the %s %s", other.role, other.name);
    return "";
}

bool open_written_file(const char* path, WRITTEN_FILE& file)
{
    file = WRITTEN_FILE{link_target(path), "", -1};
    struct stat st;
    const bool exists = ::stat(file.target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    // A device or a FIFO is not the run's to replace.
    if (exists && !S_ISREG(st.st_mode)) {
        file.fd = open_with_room(file.target.c_str(), O_WRONLY | O_BINARY);
        return file.fd >= 0;
    }
    return create_temporary(file, exists ? &st : nullptr);
}

bool write_all(int fd, const char* data, size_t count)
{
    while (count > 0) {
        const ssize_t done = ::write(fd, data, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0) {
            errno = done < 0 ? errno : EIO;
            return false;
        }
        data += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

bool commit_written_file(WRITTEN_FILE& file)
{
    const bool closed = ::close(file.fd) == 0;
    file.fd = -1;
    if (closed && (file.temporary.empty() || std::rename(file.temporary.c_str(), file.target.c_str()) == 0)) {
        set_removable(process.temporary_file);
        return true;
    }
    const int error = errno;
    remove_recorded_file(process.temporary_file);
    errno = error;
    return false;
}
