// SPDX-License-Identifier: MIT
// Shared by the map tests: three typical modules (kernel at 0x1000, -e at
// 0x2000, -f at 0x3000), merged by the real elf-merge, and ways to run the
// map and read its JSON.
#pragma once

#include "harness.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace maptest {

using tb::Bytes;

// A tool's output, a line each, without the newlines.
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline tb::RunResult run_map(const std::vector<std::string>& args)
{
    return tb::run_program(ELF_MERGE_MAP_PATH, args);
}

// Runs the map through sh, which sets up what the map is to face (a limit,
// a redirection): shell gets the map as $0 and args as "$@".
inline tb::RunResult run_map_in_shell(const std::string& shell, const std::vector<std::string>& args)
{
    std::vector<std::string> all{"-c", shell, ELF_MERGE_MAP_PATH};
    all.insert(all.end(), args.begin(), args.end());
    return tb::run_program("sh", all);
}

struct Firmware {
    tb::TempDir dir;
    std::string k, e, f, image;

    Firmware()
    {
        k = dir.write("k.elf", tb::typical(0x1000, 0, 0x800));
        e = dir.write("e.elf", tb::typical(0x2000, 5, 0x400));
        f = dir.write("f.elf", tb::typical(0x3000, 7, 0x200));
        image = dir.path("out.elf");
    }

    // The module options of a run in the given mode ("kernel", "rm", "plain").
    std::vector<std::string> options(const std::string& mode) const
    {
        std::vector<std::string> o;
        if (mode == "kernel")
            o = {"-k", k, "-s", "100000", "-z", "2000"};
        if (mode == "rm")
            o = {"-r", "-k", k, "-s", "100000", "-z", "2000"};
        for (const std::string& more : {std::string("-e"), e, std::string("-f"), f})
            o.push_back(more);
        return o;
    }

    // Merges in mode and returns the image's bytes.
    Bytes merge(const std::string& mode) const
    {
        std::vector<std::string> args = options(mode);
        args.push_back("-o");
        args.push_back(image);
        const tb::RunResult r = tb::run_tool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return tb::read_file(image);
    }

    // Runs the map on the image with the given flags and module options.
    tb::RunResult map(std::vector<std::string> flags, const std::string& mode = "") const
    {
        flags.push_back(image);
        if (!mode.empty()) {
            flags.push_back("--");
            for (const std::string& o : options(mode))
                flags.push_back(o);
        }
        return run_map(flags);
    }
};

// The example firmware merged in kernel mode by its merge.sh, and the module
// options that merge.sh gives elf-merge, so that the map can name them.
struct Example {
    tb::TempDir dir;
    std::string image = dir.path("fw.elf");

    Example()
    {
        const std::string merge = std::string(EXAMPLE_DIR) + "/merge.sh";
        const tb::RunResult r =
            tb::run_program("env", {std::string("ELF_MERGE=") + ELF_MERGE_PATH, merge, "kernel", image});
        EXPECT_EQ(r.status, 0) << r.err;
    }

    static std::string module(const std::string& name) { return std::string(EXAMPLE_DIR) + "/bin/" + name; }

    // quenlor may be replaced by a variant of it.
    static std::vector<std::string> module_options(const std::string& quenlor = module("quenlor.elf"))
    {
        return {"-k", module("kernel.elf"), "-e", quenlor, "-f", module("vo.elf"), "-d", module("zu.elf"),
                "-c", module("gul.elf"), "-S", module("rak.elf"), "-F", module("tej.elf"), "-p", module("ka1.bin"),
                "-P", module("ka2.bin"), "-s", "00F00000", "-z", "8000"};
    }

    // Runs the map with flags on the image, followed by the module options.
    tb::RunResult map(std::vector<std::string> flags) const
    {
        flags.push_back(image);
        flags.push_back("--");
        for (const std::string& o : module_options())
            flags.push_back(o);
        return run_map(flags);
    }
};

// Runs a Python program with args and returns what it prints; it must
// succeed.
inline std::string python(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<std::string> all{"-c", program};
    all.insert(all.end(), args.begin(), args.end());
    const tb::RunResult r = tb::run_program("python3", all);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

// One module merged alone in slot -e: the module's path and the image's.
struct Alone {
    std::string module, image;
};

inline Alone merge_alone(const tb::TempDir& dir, const tb::Module& m)
{
    Alone a{dir.write("m.elf", m), dir.path("out.elf")};
    const tb::RunResult r = tb::run_tool({"-e", a.module, "-o", a.image});
    EXPECT_EQ(r.status, 0) << r.err;
    return a;
}

// Evaluates a Python expression over the JSON document (as d) and returns
// what print() writes; the document must parse.
inline std::string json_query(const tb::TempDir& dir, const std::string& json, const std::string& expr)
{
    const std::string path = dir.write("report.json", Bytes(json.begin(), json.end()));
    return python("import json,sys; d=json.load(open(sys.argv[1])); print(" + expr + ")", {path});
}

} // namespace maptest
