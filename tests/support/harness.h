// SPDX-License-Identifier: MIT
// Runs the built tool as a user would, and reads what it wrote with checks
// that do not share code with the tool.
#pragma once

#include "elf_builder.h"

#include <map>
#include <string>
#include <vector>

namespace tb {

struct RunResult {
    int status = -1;
    std::string out; // standard output
    std::string err; // standard error
};

// Runs program with args; status is the exit status (-1 if it did not exit).
RunResult run_program(const std::string& program, const std::vector<std::string>& args);
// Runs the elf-merge under test.
RunResult run_tool(const std::vector<std::string>& args);

// A scratch directory, removed with its contents at the end of the test.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // Writes bytes to name in this directory and returns its path.
    std::string write(const std::string& name, const Bytes& bytes) const;
    std::string write(const std::string& name, const Module& m) const { return write(name, build(m).bytes); }

private:
    std::string dir_;
};

Bytes read_file(const std::string& path);
bool file_exists(const std::string& path);
// Every entry of a directory tree with what it is: a regular file's bytes,
// a link's text, a device's number, or the kind of anything else; so that
// two snapshots are equal only when nothing in it changed.
std::map<std::string, std::string> directory_snapshot(const std::string& dir);

// A file a tool is told to write, to show that a device node or a FIFO is
// written in place and a link through: its name, its entry in the snapshot
// afterwards, and where the bytes written are then read ("" for the node).
struct InPlaceTarget {
    std::string name, entry, read_back;
};
// Makes them in dir: a null device node (as root only), a FIFO, whose
// reader copies it to "got", and a link to "real", which does not exist yet.
std::vector<InPlaceTarget> in_place_targets(const TempDir& dir);
// Runs program with args in dir, a reader copying the FIFO meanwhile.
RunResult run_writing_to(const TempDir& dir, const InPlaceTarget& target, const std::string& program,
                         const std::vector<std::string>& args);

// One program header of an output file, read big-endian from its bytes.
struct Phdr {
    uint32_t type, offset, vaddr, paddr, filesz, memsz, flags, align;
};

struct Image {
    Bytes bytes;
    uint32_t entry = 0, flags = 0, phoff = 0;
    uint16_t phnum = 0;
    std::vector<Phdr> phdrs;
};

// Parses an output file's header and program header table. Fails the
// current test (and returns what it could read) when they lie outside it.
Image read_image(const std::string& path);

// Warnings or errors that readelf -lhnW and llvm-readelf -lhn print for path;
// empty when both read it cleanly.
std::string reader_complaints(const std::string& path);

// Memory as a loader sees it after mapping every PT_LOAD entry: p_filesz
// bytes from p_offset at p_vaddr, then zeros up to p_memsz.
class LoadedImage {
public:
    explicit LoadedImage(const Image& image);
    // Whether every byte of [addr, addr + bytes.size()) is mapped and equal.
    bool holds(uint32_t addr, const Bytes& bytes) const;
    // Whether [addr, addr + size) is mapped and all zero.
    bool zeroed(uint32_t addr, uint32_t size) const;
    std::string error; // why the image could not be mapped, if it could not

private:
    struct Region {
        uint64_t start;
        Bytes bytes;
    };
    const Region* find(uint64_t addr) const;
    std::vector<Region> regions_;
};

// Checks that every allocatable section of module m lies in the loaded image:
// file bytes at sh_addr, NOBITS ranges zero. Empty on success, else the fault.
std::string check_sections_loaded(const LoadedImage& loaded, const Module& m);

// The usage text the tool prints, as run by the tests.
std::string usage_text();

// A program header as its eight words, so that a whole entry compares at once.
using Fields = std::vector<uint32_t>;
Fields fields(const Phdr& p);
std::vector<Fields> all_fields(const Image& im);
// Bytes [from, to) of b, or none when the range is not inside b.
Bytes slice(const Bytes& b, size_t from, size_t to);

// Runs the tool into dir/out.elf and expects success; every image written
// must read cleanly and load every section of every module at its address.
Image merge_ok(const TempDir& dir, std::vector<std::string> args, const std::vector<Module>& modules);
// Expects the run to fail with exactly message and to leave an existing
// output file as it was.
void expect_refused(const TempDir& dir, std::vector<std::string> args, const std::string& message);

} // namespace tb
