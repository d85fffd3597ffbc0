// SPDX-License-Identifier: MIT
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tb {

namespace {

// Reads both pipes until the child closes them, without blocking on one
// while the other fills.
void drain(int out_fd, int err_fd, RunResult& r)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open_fds = 2;
    char chunk[4096];
    while (open_fds > 0 && poll(fds, 2, -1) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            }
        }
    }
}

} // namespace

RunResult run_program(const std::string& program, const std::vector<std::string>& args)
{
    int out_pipe[2], err_pipe[2];
    RunResult r;
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0)
        return r;
    const pid_t child = fork();
    if (child == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(out_pipe[0]);
        close(err_pipe[0]);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(program.c_str(), argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    drain(out_pipe[0], err_pipe[0], r);
    int wstatus = 0;
    waitpid(child, &wstatus, 0);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return r;
}

RunResult run_tool(const std::vector<std::string>& args)
{
    return run_program(ELF_MERGE_PATH, args);
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "elf-merge-test.XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot create a scratch directory";
    dir_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string TempDir::write(const std::string& name, const Bytes& bytes) const
{
    const std::string p = path(name);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
}

Bytes read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path)
{
    return std::filesystem::exists(path);
}

std::map<std::string, std::string> directory_snapshot(const std::string& dir)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> entries;
    fs::path root = fs::path(dir).lexically_normal();
    if (root.filename().empty())
        root = root.parent_path(); // "d/" names d: its entries are relative to d
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        const std::string name = e.path().lexically_relative(root).string();
        const fs::file_status st = e.symlink_status();
        if (fs::is_symlink(st)) {
            entries[name] = "link " + fs::read_symlink(e.path()).string();
        } else if (fs::is_regular_file(st)) {
            const Bytes bytes = read_file(e.path().string());
            entries[name] = "file " + std::string(bytes.begin(), bytes.end());
        } else if (fs::is_character_file(st) || fs::is_block_file(st)) {
            struct stat node;
            entries[name] = ::lstat(e.path().c_str(), &node) == 0 ? "device " + std::to_string(node.st_rdev) : "device";
        } else {
            entries[name] = "kind " + std::to_string(static_cast<int>(st.type()));
        }
    }
    return entries;
}

std::vector<InPlaceTarget> in_place_targets(const TempDir& dir)
{
    std::vector<InPlaceTarget> targets;
    if (::geteuid() == 0 && ::mknod(dir.path("null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0)
        targets.push_back({"null", "device " + std::to_string(makedev(1, 3)), ""});
    if (::mkfifo(dir.path("fifo").c_str(), 0644) == 0)
        targets.push_back({"fifo", "kind " + std::to_string(static_cast<int>(std::filesystem::file_type::fifo)), "got"});
    if (::symlink("real", dir.path("link").c_str()) == 0)
        targets.push_back({"link", "link real", "real"});
    EXPECT_GE(targets.size(), 2u) << "cannot make a FIFO or a link in " << dir.path("");
    return targets;
}

RunResult run_writing_to(const TempDir& dir, const InPlaceTarget& target, const std::string& program,
                         const std::vector<std::string>& args)
{
    // The reader opens the FIFO before the tool can.
    const std::string reader = target.name == "fifo" ? "cat fifo > got & " : "";
    std::vector<std::string> all{"-c", "cd \"$0\" || exit; " + reader + "\"$@\"; s=$?; wait; exit $s", dir.path(""),
                                 program};
    all.insert(all.end(), args.begin(), args.end());
    return run_program("sh", all);
}

Image read_image(const std::string& path)
{
    Image im;
    im.bytes = read_file(path);
    const Bytes& b = im.bytes;
    if (b.size() < 52) {
        ADD_FAILURE() << path << " is shorter than an ELF header";
        return im;
    }
    im.entry = get32(b, E_ENTRY);
    im.phoff = get32(b, E_PHOFF);
    im.flags = get32(b, E_FLAGS);
    im.phnum = get16(b, E_PHNUM);
    if (uint64_t{im.phoff} + 32ull * im.phnum > b.size()) {
        ADD_FAILURE() << path << ": program header table lies outside the file";
        return im;
    }
    for (uint32_t i = 0; i < im.phnum; ++i) {
        const uint32_t at = im.phoff + 32 * i;
        im.phdrs.push_back({get32(b, at), get32(b, at + 4), get32(b, at + 8), get32(b, at + 12),
                            get32(b, at + 16), get32(b, at + 20), get32(b, at + 24), get32(b, at + 28)});
    }
    return im;
}

namespace {

// Lines of a reader's output that report a problem.
std::string complaints_in(const std::string& text)
{
    std::string found;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower.find("warning") != std::string::npos || lower.find("error") != std::string::npos)
            found += line + "\n";
        start = end + 1;
    }
    return found;
}

} // namespace

std::string reader_complaints(const std::string& path)
{
    std::string found;
    const RunResult gnu = run_program("readelf", {"-lhnW", path});
    if (gnu.status != 0)
        found += "readelf exited with " + std::to_string(gnu.status) + "\n";
    found += complaints_in(gnu.err) + complaints_in(gnu.out);
    const RunResult llvm = run_program("llvm-readelf", {"-lhn", path});
    if (llvm.status != 0)
        found += "llvm-readelf exited with " + std::to_string(llvm.status) + "\n";
    found += complaints_in(llvm.err) + complaints_in(llvm.out);
    return found;
}

LoadedImage::LoadedImage(const Image& image)
{
    for (const Phdr& p : image.phdrs) {
        if (p.type != 1)
            continue;
        if (p.filesz > p.memsz || uint64_t{p.offset} + p.filesz > image.bytes.size()) {
            error = "a PT_LOAD entry's file bytes lie outside the file";
            return;
        }
        Region r{p.vaddr, Bytes(p.memsz, 0)};
        std::copy_n(image.bytes.begin() + p.offset, p.filesz, r.bytes.begin());
        for (const Region& other : regions_)
            if (r.start < other.start + other.bytes.size() && other.start < r.start + r.bytes.size())
                error = "two PT_LOAD entries overlap";
        regions_.push_back(std::move(r));
    }
}

const LoadedImage::Region* LoadedImage::find(uint64_t addr) const
{
    for (const Region& r : regions_)
        if (r.start <= addr && addr < r.start + r.bytes.size())
            return &r;
    return nullptr;
}

bool LoadedImage::holds(uint32_t addr, const Bytes& bytes) const
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        const Region* r = find(uint64_t{addr} + i);
        if (r == nullptr || r->bytes[addr + i - r->start] != bytes[i])
            return false;
    }
    return true;
}

bool LoadedImage::zeroed(uint32_t addr, uint32_t size) const
{
    return holds(addr, Bytes(size, 0));
}

std::string check_sections_loaded(const LoadedImage& loaded, const Module& m)
{
    if (!loaded.error.empty())
        return loaded.error;
    for (const Section& s : m.sections) {
        if (!(s.flags & ALLOC))
            continue;
        const bool ok = s.type == NOBITS ? loaded.zeroed(s.addr, s.size) : loaded.holds(s.addr, s.data);
        if (!ok)
            return "section " + s.name + " is not loaded at its address";
    }
    return "";
}

namespace {

const std::string usage_body =
    " -k, --kernel filename  - QO executable file.\n"
    " -s, --sd_addr <addr>   - Shared Data Segment address.\n"
    " -z, --sd_size <size>   - Shared Data Segment size in bytes.\n"
    " -f, --vo filename      - Vorrel executable file.\n"
    " -e, --quenlor filename - Quenlorex executable file.\n"
    " -d, --zu filename      - ZU executable file.\n"
    " -u, --ra0 filename     - RA0 executable file.\n"
    " -v, --ra1 filename     - RA1 executable file.\n"
    " -E, --mivo filename    - MIVO executable file.\n"
    " -c, --gul filename     - GUL executable file.\n"
    " -n, --pim filename     - PIM executable file.\n"
    " -K, --qy filename      - QY executable file.\n"
    " -W, --wy filename      - WY executable file.\n"
    " -L, --uq filename      - UQ executable file.\n"
    " -C, --fyx filename     - FYX executable file.\n"
    " -N, --dov filename     - DOV executable file.\n"
    " -S, --rak filename     - RAK executable file.\n"
    " -a, --tolvin filename  - TOLVIN executable file.\n"
    " -b, --norvala filename - Norvala executable file.\n"
    " -x, --hux filename     - HUX executable file.\n"
    " -y, --lem filename     - LEM executable file.\n"
    " -F, --tej filename     - TEJ executable file.\n"
    " -p, --ka1 filename     - KA1 for Norvala.\n"
    " -P, --ka2 filename     - KA2 for Norvala.\n"
    " -r, --rm               - output is a resource manager.\n"
    " -o, --outfile filename - output file.\n"
    " -h, --help             - print this message.\n";

} // namespace

std::string usage_text()
{
    return std::string("usage: ") + ELF_MERGE_PATH + "\n" + usage_body;
}

Fields fields(const Phdr& p)
{
    return {p.type, p.offset, p.vaddr, p.paddr, p.filesz, p.memsz, p.flags, p.align};
}

std::vector<Fields> all_fields(const Image& im)
{
    std::vector<Fields> out;
    for (const Phdr& p : im.phdrs)
        out.push_back(fields(p));
    return out;
}

Bytes slice(const Bytes& b, size_t from, size_t to)
{
    if (to > b.size() || from > to)
        return {};
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(to));
}

Image merge_ok(const TempDir& dir, std::vector<std::string> args, const std::vector<Module>& modules)
{
    const std::string out = dir.path("out.elf");
    args.insert(args.end(), {"-o", out});
    const RunResult r = run_tool(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(reader_complaints(out), "");
    const Image im = read_image(out);
    const LoadedImage loaded(im);
    for (const Module& m : modules)
        EXPECT_EQ(check_sections_loaded(loaded, m), "");
    return im;
}

void expect_refused(const TempDir& dir, std::vector<std::string> args, const std::string& message)
{
    const Bytes before = {'k', 'e', 'e', 'p', 0, 0xFF, '\n'};
    const std::string out = dir.write("kept.elf", before);
    args.insert(args.end(), {"-o", out});
    const RunResult r = run_tool(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    EXPECT_EQ(read_file(out), before);
}

} // namespace tb
