// SPDX-License-Identifier: MIT
// A module rewritten in place while a run goes on, at the two points where a
// FIFO makes the run wait: after the module is parsed (the next module is a
// FIFO not yet written) and while the image is written (the output is a FIFO
// not yet read). The rewrite keeps the size and sets the mtime back, as cp -p,
// rsync -t and tar x do.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <future>
#include <sys/stat.h>
#include <unistd.h>

using namespace tb;

namespace {

constexpr uint32_t MODULE_BYTES = 4u << 20;

Bytes big_module(uint8_t first)
{
    Module m;
    m.entry = 0x10000;
    m.sections = {{".text", PROGBITS, ALLOC | EXEC, 0x10000, 4, ramp(MODULE_BYTES, first), 0}};
    return build(m).bytes;
}

bool later(const timespec& a, const timespec& b)
{
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// The change-time clock ticks coarsely: wait until it has passed path's
// change time, so that the rewrite is sure to show in it.
void wait_for_next_tick(const TempDir& dir, const std::string& path)
{
    struct stat module, probe;
    ASSERT_EQ(stat(path.c_str(), &module), 0);
    do {
        ASSERT_EQ(stat(dir.write("tick", Bytes{1}).c_str(), &probe), 0);
    } while (!later(probe.st_ctim, module.st_ctim));
}

// Same size, same inode, and the mtime set back.
void rewrite_in_place(const std::string& path, const Bytes& bytes)
{
    struct stat before;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Runs the tool while the test works the FIFO. Should the tool end without
// opening it, the FIFO is opened here, so that the test's open returns.
std::future<RunResult> start_tool(const std::vector<std::string>& args, const std::string& fifo)
{
    signal(SIGPIPE, SIG_IGN);
    return std::async(std::launch::async, [args, fifo] {
        const RunResult r = run_tool(args);
        close(open(fifo.c_str(), O_RDWR | O_CLOEXEC));
        return r;
    });
}

std::string changed_message(const std::string& path)
{
    return "Error reading file " + path + " -- the file changed while it was being merged\n";
}

TEST(RewrittenInPlace, BetweenParseAndWriteTheOutputIsLeftAsItWas)
{
    TempDir dir;
    const std::string big = dir.write("big.elf", big_module(1));
    const std::string out = dir.write("out.elf", Bytes{'o', 'l', 'd'});
    const std::string gate = dir.path("gate");
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    wait_for_next_tick(dir, big);
    std::future<RunResult> tool = start_tool({"-e", big, "-p", gate, "-o", out}, gate);
    // Opens once the tool reads the FIFO, which is after big.elf was parsed.
    const int fd = open(gate.c_str(), O_WRONLY | O_CLOEXEC);
    rewrite_in_place(big, big_module(2));
    EXPECT_EQ(write(fd, "RAW", 3), 3);
    close(fd);
    const RunResult r = tool.get();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, changed_message(big));
    EXPECT_EQ(read_file(out), (Bytes{'o', 'l', 'd'}));
}

TEST(RewrittenInPlace, DuringTheWriteTheRunFailsAndAFifoOutputStays)
{
    TempDir dir;
    const std::string big = dir.write("big.elf", big_module(1));
    const std::string out = dir.path("out.fifo");
    ASSERT_EQ(mkfifo(out.c_str(), 0600), 0);
    wait_for_next_tick(dir, big);
    std::future<RunResult> tool = start_tool({"-e", big, "-o", out}, out);
    const int fd = open(out.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> chunk(1 << 20);
    size_t total = 0;
    ssize_t got;
    while (total < chunk.size() && (got = read(fd, chunk.data(), chunk.size() - total)) > 0)
        total += static_cast<size_t>(got);
    EXPECT_EQ(total, chunk.size());
    rewrite_in_place(big, big_module(2));
    while (read(fd, chunk.data(), chunk.size()) > 0)
        ;
    close(fd);
    const RunResult r = tool.get();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, changed_message(big));
    struct stat st;
    EXPECT_TRUE(stat(out.c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
}

} // namespace
