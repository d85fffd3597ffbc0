// Module input (ELF executables and raw images) and the output writer.
//
// Module files are untrusted: every table, name and word is checked against
// the bytes read before it is touched, and a module that reaches outside its
// file is refused while its option is handled.
#include "elf-merge.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

// Owns an open file descriptor and closes it on every way out of its scope.
struct SCOPED_FD {
    int fd;

    explicit SCOPED_FD(int fd) : fd(fd) {}
    SCOPED_FD(const SCOPED_FD&) = delete;
    SCOPED_FD& operator=(const SCOPED_FD&) = delete;
    ~SCOPED_FD()
    {
        if (fd >= 0)
            ::close(fd);
    }

    // Closes now and gives the result, which the writer reports.
    int close()
    {
        int result = ::close(fd);
        fd = -1;
        return result;
    }
};

uint32_t read_be32(const uint8_t* p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return be32(v);
}

// ---------------------------------------------------------------------------
// Reading

[[noreturn]] void read_failure(const char* name, const char* why)
{
    fatal("Error reading file %s -- %s\n", name, why);
}

// One allocation and one read of the whole file; any shortfall is final.
void read_contents(ELF_DESC& m, int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        read_failure(m.name, std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        read_failure(m.name, std::strerror(EISDIR));
    // Sizes and offsets in this system are 32-bit; refuse before allocating.
    if (st.st_size < 0 || st.st_size > INT32_MAX)
        read_failure(m.name, std::strerror(EFBIG));

    const size_t count = static_cast<size_t>(st.st_size);
    m.buf = static_cast<uint8_t*>(std::malloc(count ? count : 1));
    if (!m.buf)
        read_failure(m.name, std::strerror(ENOMEM));
    const ssize_t got = ::read(fd, m.buf, count);
    if (got < 0)
        read_failure(m.name, std::strerror(errno));
    if (static_cast<size_t>(got) != count)
        read_failure(m.name, "short read");
    m.size = static_cast<int32_t>(count);
}

uint32_t file_size(const ELF_DESC& m)
{
    return static_cast<uint32_t>(m.size);
}

// Address of a table of count entries at offset, or null for an empty table,
// which reads nothing and so is never out of bounds.
template <typename T>
T* table_at(const ELF_DESC& m, uint32_t offset, uint32_t count, const char* what)
{
    if (count == 0)
        return nullptr;
    if (!inside(offset, count, sizeof(T), file_size(m)))
        fatal("%s is corrupt -- %s lies outside the file.\n", m.name, what);
    return reinterpret_cast<T*>(m.buf + offset);
}

// ---------------------------------------------------------------------------
// Validation and conversion

void check_identification(const ELF_DESC& m)
{
    static const uint8_t wanted[8] = {ELFMAG0, 'E', 'L', 'F', ELFCLASS32, ELFDATA2MSB, EV_CURRENT, ELFOSABI_ARM};
    if (file_size(m) < EHDR_SIZE || std::memcmp(m.buf, wanted, sizeof wanted) != 0)
        fatal("%s is not a supported Elf file.\n", m.name);
}

} // namespace

// In-place conversion between the file's big-endian order and the host's.

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

namespace {

void check_kind(const ELF_DESC& m)
{
    const Elf32_Ehdr& h = *m.ehdr;
    if (h.e_type != ET_EXEC || h.e_machine != EM_ARM || h.e_version != EV_CURRENT)
        fatal("%s is not an ARM executable.\n", m.name);
}

void convert_program_headers(ELF_DESC& m)
{
    m.phnum = m.ehdr->e_phnum;
    m.phdr = table_at<Elf32_Phdr>(m, m.ehdr->e_phoff, m.phnum, "program header table");
    for (uint32_t i = 0; i < m.phnum; ++i)
        convert_phdr(m.phdr[i]);
}

uint32_t symbol_count(const Elf32_Shdr& symtab)
{
    return symtab.sh_size / SYM_SIZE;
}

// Converts every symbol of a symbol table section; the last one wins as the
// table that the start-up symbols are looked up in.
void convert_symbol_table(ELF_DESC& m, uint32_t index)
{
    Elf32_Shdr& s = m.shdr[index];
    const uint32_t count = symbol_count(s);
    if (count && !inside(s.sh_offset, count, SYM_SIZE, file_size(m)))
        fatal("%s is corrupt -- symbol table in section %u lies outside the file.\n", m.name, index);
    // Converting symbols in place over section headers would swap headers
    // that were already converted and checked.
    const uint64_t table_start = m.ehdr->e_shoff;
    const uint64_t table_end = table_start + uint64_t{SHDR_SIZE} * m.shnum;
    const uint64_t start = s.sh_offset;
    if (count && start < table_end && table_start < start + uint64_t{SYM_SIZE} * count)
        fatal("%s is corrupt -- symbol table in section %u overlaps the section header table.\n", m.name, index);
    m.symtab_shdr = &s;
    m.symtab = count ? reinterpret_cast<Elf32_Sym*>(m.buf + s.sh_offset) : nullptr;
    for (uint32_t i = 0; i < count; ++i)
        convert_sym(m.symtab[i]);
}

// The writer copies these bytes straight from the buffer.
void check_contents(const ELF_DESC& m, uint32_t index)
{
    const Elf32_Shdr& s = m.shdr[index];
    const bool copied = (s.sh_flags & SHF_ALLOC) && s.sh_size != 0 && s.sh_type != SHT_NOBITS;
    if (copied && !inside(s.sh_offset, s.sh_size, 1, file_size(m)))
        fatal("%s is corrupt -- section %u lies outside the file.\n", m.name, index);
}

void convert_section_headers(ELF_DESC& m)
{
    m.shnum = m.ehdr->e_shnum;
    m.shdr = table_at<Elf32_Shdr>(m, m.ehdr->e_shoff, m.shnum, "section header table");
    for (uint32_t i = 0; i < m.shnum; ++i) {
        convert_shdr(m.shdr[i]);
        if (m.shdr[i].sh_type == SHT_SYMTAB)
            convert_symbol_table(m, i);
        check_contents(m, i);
    }
}

// Names are needed only when there are symbols to compare.
void locate_strtab(ELF_DESC& m)
{
    if (!m.symtab_shdr || symbol_count(*m.symtab_shdr) == 0)
        return;
    const uint32_t link = m.symtab_shdr->sh_link;
    if (link >= m.shnum)
        fatal("%s is corrupt -- symbol table links to section %u, which does not exist.\n", m.name, link);
    const uint32_t offset = m.shdr[link].sh_offset;
    if (offset > file_size(m))
        fatal("%s is corrupt -- string table lies outside the file.\n", m.name);
    m.strtab = reinterpret_cast<const char*>(m.buf + offset);
}

// ---------------------------------------------------------------------------
// Symbol lookup

// Every symbol visited is compared, so each name must end inside the file.
bool symbol_named(const ELF_DESC& m, uint32_t index, const char* wanted)
{
    const uint64_t offset = static_cast<uint64_t>(m.strtab - reinterpret_cast<const char*>(m.buf)) +
                            m.symtab[index].st_name;
    if (offset >= file_size(m) || !std::memchr(m.buf + offset, 0, file_size(m) - offset))
        fatal("%s is corrupt -- name of symbol %u is not inside the file.\n", m.name, index);
    return std::strcmp(reinterpret_cast<const char*>(m.buf + offset), wanted) == 0;
}

// The initial value of a 32-bit variable, read big-endian from its section.
int32_t startup_word(const ELF_DESC& m, const Elf32_Sym& sym, const char* sym_name)
{
    if (sym.st_shndx >= m.shnum)
        fatal("%s is corrupt -- symbol %s is in section %u, which does not exist.\n", m.name, sym_name,
              sym.st_shndx);
    const Elf32_Shdr& s = m.shdr[sym.st_shndx];
    // A zero-filled variable's bytes at sh_offset belong to something else.
    if (s.sh_type == SHT_NOBITS)
        return 0;
    const uint32_t offset = sym.st_value - s.sh_addr + s.sh_offset;
    if (!inside(offset, 1, sizeof(uint32_t), file_size(m)))
        fatal("%s is corrupt -- the word at symbol %s lies outside the file.\n", m.name, sym_name);
    return static_cast<int32_t>(read_be32(m.buf + offset));
}

} // namespace

// ---------------------------------------------------------------------------
// ELF_DESC

ELF_DESC::ELF_DESC(const char* name, int32_t pid, uint32_t prot, int32_t fake)
    : buf(nullptr), size(0), name(name), prot(prot), pid(pid), fake(fake), entry(0), ehdr(nullptr),
      phdr(nullptr), phnum(0), shdr(nullptr), shnum(0), symtab(nullptr), symtab_shdr(nullptr),
      strtab(nullptr), priority(0), stack_size(0), stack(0)
{
}

void ELF_DESC::read_elf()
{
    SCOPED_FD file(::open(name, O_RDONLY | O_BINARY));
    if (file.fd < 0)
        fatal("Error opening file %s -- %s\n", name, std::strerror(errno));
    read_contents(*this, file.fd);
    if (fake == -1)
        parse_headers();
    else
        fake_headers(fake);
}

void ELF_DESC::parse_headers()
{
    check_identification(*this);
    ehdr = reinterpret_cast<Elf32_Ehdr*>(buf);
    convert_ehdr(*ehdr);
    check_kind(*this);
    entry = ehdr->e_entry;
    if (ehdr->e_ehsize != EHDR_SIZE)
        fatal("%s has inconsisten Elf header size.\n", name);
    convert_program_headers(*this);
    convert_section_headers(*this);
    locate_strtab(*this);
    if (!strtab)
        return; // no symbols: the start-up values stay 0
    lookup_symbol("_initPriority", nullptr, &priority);
    lookup_symbol("_initStackSize", nullptr, &stack_size);
    lookup_symbol("_initStack", &stack, nullptr);
}

void ELF_DESC::fake_headers(int32_t kind)
{
    entry = 0xFFFFFFFF;
    ehdr = new Elf32_Ehdr{};
    shdr = new Elf32_Shdr{};

    const uint8_t ident[9] = {ELFMAG0, 'E', 'L', 'F', ELFCLASS32, ELFDATA2MSB, EV_CURRENT, ELFOSABI_ARM, 1};
    std::memcpy(ehdr->e_ident, ident, sizeof ident);
    ehdr->e_type = ET_EXEC;
    ehdr->e_machine = EM_ARM;
    ehdr->e_version = EV_CURRENT;
    ehdr->e_phoff = EHDR_SIZE;
    ehdr->e_ehsize = EHDR_SIZE;
    ehdr->e_phentsize = PHDR_SIZE;

    shnum = 1;
    shdr->sh_type = SHT_PROGBITS;
    shdr->sh_flags = SHF_ALLOC | SHF_EXECINSTR;
    shdr->sh_addr = kind == 1 ? 0x3400 : 0x12FFFE0;
    shdr->sh_offset = 0;
    shdr->sh_size = static_cast<uint32_t>(size);
    shdr->sh_addralign = 1;
}

void ELF_DESC::lookup_symbol(const char* sym_name, uint32_t* address, int32_t* word) const
{
    const uint32_t count = symbol_count(*symtab_shdr);
    // No early exit: when several symbols carry the name, the last one counts.
    for (uint32_t i = 0; i < count; ++i) {
        if (!symbol_named(*this, i, sym_name))
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

void write_all(int fd, const char* path, const void* data, size_t count)
{
    if (::write(fd, data, count) != static_cast<ssize_t>(count))
        fatal("Error writing to %s -- %s.\n", path, std::strerror(errno));
}

void note_to_big_endian(NOTE_DESC* note, int32_t note_size)
{
    const uint32_t pairs = (static_cast<uint32_t>(note_size) - sizeof(NOTE_DESC)) / sizeof(Elf32_auxv_t);
    note->n_namesz = be32(note->n_namesz);
    note->n_descsz = be32(note->n_descsz);
    note->n_type = be32(note->n_type);
    Elf32_auxv_t* aux = note->aux();
    for (uint32_t i = 0; i < pairs; ++i) {
        aux[i].a_type = be32(aux[i].a_type);
        aux[i].a_val = be32(aux[i].a_val);
    }
}

// Section contents and their padding, queued for one writev: the contents
// stay in the module buffers, and only the fill bytes are held here. A call
// per section costs more than the copy on images of many small sections.
struct GATHER {
    static constexpr size_t max_entries = IOV_MAX < 1024 ? IOV_MAX : 1024;
    // Well under SSIZE_MAX even where ssize_t has 32 bits.
    static constexpr uint64_t max_bytes = 1u << 30;

    std::vector<iovec> iov;
    std::vector<std::array<uint8_t, 4>> fills;
    uint64_t bytes = 0;

    GATHER()
    {
        // Never reallocated: queued entries point into fills.
        iov.reserve(max_entries);
        fills.reserve(max_entries);
    }
};

// Writes every queued byte; a partial write continues where it stopped.
void flush(int fd, const char* path, GATHER& g)
{
    iovec* next = g.iov.data();
    size_t left = g.iov.size();
    while (left > 0) {
        const ssize_t done = ::writev(fd, next, static_cast<int>(left));
        if (done <= 0)
            fatal("Error writing to %s -- %s.\n", path, std::strerror(errno));
        size_t count = static_cast<size_t>(done);
        for (; left > 0 && count >= next->iov_len; ++next, --left)
            count -= next->iov_len;
        if (left > 0) {
            next->iov_base = static_cast<uint8_t*>(next->iov_base) + count;
            next->iov_len -= count;
        }
    }
    g.iov.clear();
    g.fills.clear();
    g.bytes = 0;
}

// Flushes first when count more bytes would not fit in the batch.
void make_room(int fd, const char* path, GATHER& g, size_t count)
{
    if (g.iov.size() == g.iov.capacity() || (g.bytes > 0 && g.bytes + count > GATHER::max_bytes))
        flush(fd, path, g);
}

void append(GATHER& g, const void* data, size_t count)
{
    g.iov.push_back(iovec{const_cast<void*>(data), count});
    g.bytes += count;
}

// A section's bytes, then up to three fill bytes that copy its own opening
// bytes; a fill byte that would come from beyond the module's buffer is 0.
void write_section(int fd, const char* path, GATHER& g, const SHDR_HANDLE& h)
{
    const Elf32_Shdr& s = *h.shdr;
    if (s.sh_type == SHT_NOBITS || static_cast<int32_t>(s.sh_size) <= 0)
        return;
    const uint8_t* data = h.desc->buf + s.sh_offset;
    make_room(fd, path, g, s.sh_size);
    append(g, data, s.sh_size);

    const uint32_t pad = (4 - s.sh_size % 4) % 4;
    if (pad == 0)
        return;
    // Room first: a flush empties fills.
    make_room(fd, path, g, pad);
    std::array<uint8_t, 4>& fill = g.fills.emplace_back();
    fill.fill(0);
    for (uint32_t k = 0; k < pad; ++k)
        if (static_cast<uint64_t>(s.sh_offset) + k < static_cast<uint32_t>(h.desc->size))
            fill[k] = data[k];
    append(g, fill.data(), pad);
}

} // namespace

int32_t write_elf(const char* path, Elf32_Ehdr& ehdr, std::vector<Elf32_Phdr>& phdrs, NOTE_DESC* note,
                  int32_t note_size, const std::vector<SHDR_HANDLE>& sections)
{
    SCOPED_FD file(::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_BINARY, 0755));
    if (file.fd < 0)
        fatal("Error opening output file %s -- %s.\n", path, std::strerror(errno));

    // Each conversion swaps byte order, so the reader's converters serve here too.
    convert_ehdr(ehdr);
    write_all(file.fd, path, &ehdr, sizeof ehdr);

    for (Elf32_Phdr& p : phdrs)
        convert_phdr(p);
    if (!phdrs.empty())
        write_all(file.fd, path, phdrs.data(), phdrs.size() * sizeof(Elf32_Phdr));

    if (note_size > 0 && note) {
        note_to_big_endian(note, note_size);
        write_all(file.fd, path, note, static_cast<size_t>(note_size));
    }

    GATHER gather;
    for (const SHDR_HANDLE& h : sections)
        write_section(file.fd, path, gather, h);
    flush(file.fd, path, gather);
    return file.close();
}
