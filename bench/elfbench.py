#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End-to-end timings of elf-merge against cat of the same inputs, and of
each elf-merge-map mode against elf-merge on the same modules.

Generates synthetic firmware sets (big-endian ELF32 ARM executables), then
times, alternating, the tool and `cat` writing the same input files into one
output file: cat is the floor that reading and writing the bytes costs. For
the map sets, elf-merge writing the image is the yardstick of each mode.
Standard library only.
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time

SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR = 0x1, 0x2, 0x4
SHT_PROGBITS, SHT_SYMTAB, SHT_STRTAB, SHT_NOBITS = 1, 2, 3, 8
TEXT = (SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR)
RODATA = (SHT_PROGBITS, SHF_ALLOC)
DATA = (SHT_PROGBITS, SHF_ALLOC | SHF_WRITE)
BSS = (SHT_NOBITS, SHF_ALLOC | SHF_WRITE)

# Option letters of the ordinary ELF slots (1..19); -k is the kernel.
LETTERS = "efduvEcanWLKNSbCxyF"
MIB = 1 << 20

# Section contents are slices of one random block: the bytes only need to be
# something other than zeros, and generating them must stay cheap.
FILL = os.urandom(MIB)


def contents(size, salt):
    start = (salt * 4096) % (len(FILL) - 1)
    if start + size <= len(FILL):
        return FILL[start:start + size]
    reps = (start + size) // len(FILL) + 1
    return (FILL * reps)[start:start + size]


def align(value, to):
    return (value + to - 1) // to * to


class Section:
    __slots__ = ("addr", "size", "type", "flags", "align")

    def __init__(self, addr, size, kind, align_to):
        self.addr, self.size = addr, size
        self.type, self.flags = kind
        self.align = align_to


def layout(base, shapes):
    """Places (size, kind, align) shapes end to end from base, each at its
    alignment; returns the sections."""
    out, addr = [], base
    for size, kind, align_to in shapes:
        addr = align(addr, align_to)
        out.append(Section(addr, size, kind, align_to))
        addr += size
    return out


def few_phdrs(sections, count, paddr_shift):
    """count PT_LOAD entries splitting the module's address range, sorted."""
    lo = sections[0].addr
    hi = sections[-1].addr + sections[-1].size
    step = align((hi - lo + count - 1) // count, 4)
    out = []
    for k in range(count):
        start = lo + k * step
        size = min(step, hi - start)
        if size > 0:
            shift = paddr_shift if k % 2 else 0
            out.append((start, start + shift, size, size))
    return out


def phdr_per_section(sections, paddr_shift):
    return [(s.addr, s.addr + paddr_shift, 0 if s.type == SHT_NOBITS else s.size, s.size)
            for s in sections]


def section_name(k, kind):
    """A name for section k: mostly plain, but every 997th one holds bytes
    that each report must escape (quote, backslash, XML specials, a tab,
    UTF-8 and a byte that is not UTF-8)."""
    stem = {TEXT: b".text", RODATA: b".rodata", DATA: b".data", BSS: b".bss"}[kind]
    if k % 997 == 996:
        return stem + b'.\xc3\xa9"q\\<&>\t\xff%d' % k
    return stem + b".f%d" % k


def name_table(sections):
    """The section-name table of write_module(named=True): each section's
    name, then those of the three tables that follow the sections; returns
    the table and each name's offset (sections first)."""
    table, offsets = bytearray(b"\0"), []
    names = [section_name(k, (s.type, s.flags)) for k, s in enumerate(sections)]
    for name in names + [b".symtab", b".strtab", b".shstrtab"]:
        offsets.append(len(table))
        table.extend(name + b"\0")
    return bytes(table), offsets


def write_module(path, sections, phdrs, salt, entry=None, named=False, changed=()):
    """Writes one module: header, program headers, section bytes, a symbol
    table with the three start-up symbols, its string table, and the section
    header table at the end. named: a section-name table too (before the
    section headers); changed: indexes of sections whose bytes differ from
    those the same salt otherwise gives."""
    blob = bytearray(52 + 32 * len(phdrs))
    offsets = []
    for i, s in enumerate(sections):
        if s.type == SHT_NOBITS:
            offsets.append(0)
            continue
        blob.extend(b"\0" * (align(len(blob), 4) - len(blob)))
        offsets.append(len(blob))
        blob.extend(contents(s.size, salt + i + (7919 if i in changed else 0)))

    # _initPriority and _initStackSize name words at the start of the first
    # section with file bytes, written there so that the values are known.
    first = next(i for i, s in enumerate(sections) if s.type != SHT_NOBITS)
    if sections[first].size >= 8:
        blob[offsets[first]:offsets[first] + 8] = struct.pack(">II", 100 + salt % 50, 0x1000)
    names = b"\0_initPriority\0_initStackSize\0_initStack\0main\0reset_handler\0"
    syms = [(0, 0, 0, 0, 0),
            (1, sections[first].addr, 4, 0x11, first + 1),
            (15, sections[first].addr + 4, 4, 0x11, first + 1),
            (30, sections[-1].addr + sections[-1].size, 0, 0x10, 0xFFF1),
            (41, sections[0].addr, 4, 0x12, 1),
            (46, sections[0].addr, 4, 0x12, 1)]
    blob.extend(b"\0" * (align(len(blob), 4) - len(blob)))
    symtab_off = len(blob)
    for name, value, size, info, shndx in syms:
        blob.extend(struct.pack(">IIIBBH", name, value, size, info, 0, shndx))
    strtab_off = len(blob)
    blob.extend(names)
    blob.extend(b"\0" * (align(len(blob), 4) - len(blob)))
    shnames, name_at = name_table(sections) if named else (b"", [0] * (len(sections) + 3))
    shstrtab_off = len(blob)
    blob.extend(shnames)
    blob.extend(b"\0" * (align(len(blob), 4) - len(blob)))

    shoff = len(blob)
    n = len(sections)
    shdr = struct.Struct(">IIIIIIIIII")
    parts = [shdr.pack(0, 0, 0, 0, 0, 0, 0, 0, 0, 0)]
    for s, off, name in zip(sections, offsets, name_at):
        parts.append(shdr.pack(name, s.type, s.flags, s.addr, off, s.size, 0, 0, s.align, 0))
    parts.append(shdr.pack(name_at[n], SHT_SYMTAB, 0, 0, symtab_off, 16 * len(syms), n + 2, 1, 4, 16))
    parts.append(shdr.pack(name_at[n + 1], SHT_STRTAB, 0, 0, strtab_off, len(names), 0, 0, 1, 0))
    if named:
        parts.append(shdr.pack(name_at[n + 2], SHT_STRTAB, 0, 0, shstrtab_off, len(shnames), 0, 0, 1, 0))
    blob.extend(b"".join(parts))

    ident = bytes([0x7F, 0x45, 0x4C, 0x46, 1, 2, 1, 97]) + b"\0" * 8
    entry = sections[0].addr if entry is None else entry
    shnum = n + 4 if named else n + 3
    blob[0:52] = struct.pack(">16sHHIIIIIHHHHHH", ident, 2, 40, 1, entry, 52 if phdrs else 0, shoff,
                             0x05000000, 52, 32, len(phdrs), 40, shnum, n + 3 if named else 0)
    ph = struct.Struct(">IIIIIIII")
    table = b"".join(ph.pack(1, 0, v, p, fs, ms, 5, 4) for v, p, fs, ms in phdrs)
    blob[52:52 + len(table)] = table
    with open(path, "wb") as f:
        f.write(blob)
    return len(blob)


# ---------------------------------------------------------------------------
# Scenarios. Each returns (argument list without -o, input paths, notes).

def typical_shapes(total):
    """About 15 sections: code, read-only data, data and zero-filled data,
    in the proportions of a small firmware module."""
    unit = total // 64
    text = [(align(unit * w, 4), TEXT, 4) for w in (14, 9, 7, 6, 5, 3)]
    rodata = [(align(unit * w, 4), RODATA, 4) for w in (6, 4, 3)] + [(unit * 2 + 2, RODATA, 4)]
    data = [(align(unit * w, 8), DATA, 8) for w in (3, 1, 1)]
    bss = [(unit * 4, BSS, 8), (unit * 2, BSS, 8)]
    return text + rodata + data + bss


def scenario_typical(d):
    """Kernel mode: -k and the 19 other ELF slots, 8 MiB of modules."""
    args, paths = ["-s", "F0000000", "-z", "10000"], []
    for i in range(20):
        secs = layout(0x01000000 + i * 0x00100000, typical_shapes(8 * MIB // 20))
        phdrs = few_phdrs(secs, 2, 0x20000000)
        p = os.path.join(d, f"typ{i:02}.elf")
        write_module(p, secs, phdrs, i)
        args += ["-k" if i == 0 else "-" + LETTERS[i - 1], p]
        paths.append(p)
    return args, paths


def scenario_large(d):
    """Plain mode: 64 modules of 8 MiB, typical section shape. Half of each
    module is stored 2 GiB above where it runs, clear of every module."""
    args, paths = [], []
    for i in range(64):
        secs = layout(0x10000000 + i * 0x01000000, typical_shapes(8 * MIB))
        p = os.path.join(d, f"big{i:02}.elf")
        write_module(p, secs, few_phdrs(secs, 2, 0x80000000), i)
        args += ["-" + LETTERS[i % len(LETTERS)], p]
        paths.append(p)
    return args, paths


SMALL = (16, 32, 24, 64, 48, 128, 40, 96)


def small_shapes(count, run):
    """count small sections, sizes multiples of 4, in runs of `run` sections
    of one kind: each run coalesces into one output segment. Every 64th
    section is a larger one (1 KiB)."""
    kinds = (TEXT, RODATA, DATA)
    out = []
    for k in range(count):
        size = 1024 if k % 64 == 63 else SMALL[k % len(SMALL)]
        out.append((size, kinds[(k // run) % len(kinds)], 4))
    return out


def scenario_many(d):
    """Plain mode: 64 modules of 4,000 mostly small sections, in runs of 500
    that coalesce: 8 segments per module."""
    args, paths = [], []
    for i in range(64):
        secs = layout(0x10000000 + i * 0x00100000, small_shapes(4000, 500))
        p = os.path.join(d, f"many{i:02}.elf")
        write_module(p, secs, few_phdrs(secs, 4, 0x20000000), i)
        args += ["-" + LETTERS[i % len(LETTERS)], p]
        paths.append(p)
    return args, paths


GROWTH_MODULES = 16
GROWTH_RUN = 32


def scenario_growth(d, total, per_section):
    """16 modules with total/16 small sections each, in runs of 32 sections
    that coalesce: total/32 output segments, under the 65,535 limit even at
    1M sections. Either 4 program headers per module, or one per section."""
    args, paths = [], []
    per_module = total // GROWTH_MODULES
    for i in range(GROWTH_MODULES):
        secs = layout(0x10000000 + i * 0x01000000, small_shapes(per_module, GROWTH_RUN))
        phdrs = phdr_per_section(secs, 0x20000000) if per_section else few_phdrs(secs, 4, 0x20000000)
        p = os.path.join(d, f"grow{i:02}.elf")
        write_module(p, secs, phdrs, i)
        args += ["-" + LETTERS[i % len(LETTERS)], p]
        paths.append(p)
    return args, paths


def lookup_module(path, symbols, crafted):
    """An 8 MiB module whose symbol table holds `symbols` symbols. Crafted:
    every name starts a run of 'A' that ends only at the end of the file, so
    a reader that looks for each name's end reads megabytes per symbol.
    Otherwise: short names, and the same size."""
    blob = bytearray(b"\0" * 52)
    text_off = len(blob)
    blob.extend(contents(16, 1))
    symtab_off = len(blob)
    strtab_off = symtab_off + 16 * symbols
    for k in range(symbols):
        name = 1 if crafted else 1 + 8 * k
        blob.extend(struct.pack(">IIIBBH", 0 if k == 0 else name, 0x10000, 4, 0x11, 0, 1))
    names_size = 8 * MIB - len(blob)
    if crafted:
        names = b"\0" + b"A" * (names_size - 2) + b"\0"
    else:
        names = b"\0" + b"".join(b"s%06d\0" % k for k in range(symbols))
        names += b"\0" * (names_size - len(names))
    blob.extend(names)
    shoff = len(blob)
    shdr = struct.Struct(">IIIIIIIIII")
    blob.extend(shdr.pack(0, 0, 0, 0, 0, 0, 0, 0, 0, 0))
    blob.extend(shdr.pack(0, SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, 0x10000, text_off, 16, 0, 0, 4, 0))
    blob.extend(shdr.pack(0, SHT_SYMTAB, 0, 0, symtab_off, 16 * symbols, 3, 1, 4, 16))
    blob.extend(shdr.pack(0, SHT_STRTAB, 0, 0, strtab_off, len(names), 0, 0, 1, 0))
    ident = bytes([0x7F, 0x45, 0x4C, 0x46, 1, 2, 1, 97]) + b"\0" * 8
    blob[0:52] = struct.pack(">16sHHIIIIIHHHHHH", ident, 2, 40, 1, 0x10000, 0, shoff, 0, 52, 32, 0, 40, 4, 0)
    with open(path, "wb") as f:
        f.write(blob)


def time_lookup(tool, work, rounds):
    """Median times of merging the crafted and the ordinary lookup module,
    alternating."""
    d = os.path.join(work, "lookup")
    os.makedirs(d, exist_ok=True)
    runs = {}
    for crafted in (True, False):
        p = os.path.join(d, "crafted.elf" if crafted else "plain.elf")
        lookup_module(p, 65536, crafted)
        runs[crafted] = [tool, "-e", p, "-o", os.path.join(work, "out-lookup.elf")]
    out = os.path.join(work, "out-lookup.elf")
    times = {True: [], False: []}
    for _ in range(rounds + 1):
        for crafted in (True, False):
            times[crafted].append(run_once(runs[crafted], out, False)[0])
    shutil.rmtree(d)
    return statistics.median(times[True][1:]), statistics.median(times[False][1:])


def scenario_shuffled(d):
    """Only for --compare: program headers out of address order and
    overlapping, so that the first match in table order decides."""
    args, paths = [], []
    for i in range(4):
        secs = layout(0x10000000 + i * 0x01000000, small_shapes(2000, 7))
        ph = phdr_per_section(secs, 0x20000000 + i)
        ph = ph[1::2] + ph[0::2]
        ph.insert(len(ph) // 3, (secs[10].addr, 0x70000000 + i * 0x01000000, 4096, 4096))
        p = os.path.join(d, f"shuf{i:02}.elf")
        write_module(p, secs, ph, i)
        args += ["-" + LETTERS[i], p]
        paths.append(p)
    return args, paths


# ---------------------------------------------------------------------------
# elf-merge-map sets: kernel-mode images of modules with section names, each
# with a second image whose modules differ in a few sections' bytes, for
# --diff. Half of each module's program headers store their bytes 2 GiB above
# where they run, clear of every module and of the Shared Data segment.

MAP_SHIFT = 0x80000000
MAP_SETTINGS = ["-s", "F0000000", "-z", "10000"]
MAP_CHANGED = (10, 500, 1500)  # sections of module 1 that differ in the second image


def run_phdrs(sections, per_phdr, shift):
    """One program header for every per_phdr sections, each ending where a
    section ends, so that no run of sections that coalesce is split."""
    out = []
    for k, first in enumerate(range(0, len(sections), per_phdr)):
        last = sections[min(first + per_phdr, len(sections)) - 1]
        start = sections[first].addr
        size = last.addr + last.size - start
        out.append((start, start + (shift if k % 2 else 0), size, size))
    return out


def spaced(sections, gap):
    """The sections moved apart so that gap bytes follow each one."""
    for k, s in enumerate(sections):
        s.addr += k * gap
    return sections


def map_set(d, modules, per_module, run, gap):
    """modules modules (-k first) of per_module named sections in runs of
    `run` sections of one kind, gap bytes after each section, 4 program
    headers each. Returns (args, paths, args of the second image)."""
    args, new_args, paths = list(MAP_SETTINGS), list(MAP_SETTINGS), []
    per_phdr = -(-per_module // 4 // run) * run
    for i in range(modules):
        secs = spaced(layout(0x10000000 + i * 0x01000000, small_shapes(per_module, run)), gap)
        phdrs = run_phdrs(secs, per_phdr, MAP_SHIFT)
        p = os.path.join(d, f"map{i:02}.elf")
        write_module(p, secs, phdrs, i, named=True)
        letter = "-k" if i == 0 else "-" + LETTERS[(i - 1) % len(LETTERS)]
        args += [letter, p]
        paths.append(p)
        if i == 1:
            p = os.path.join(d, f"map{i:02}-new.elf")
            write_module(p, secs, phdrs, i, named=True, changed=MAP_CHANGED)
        new_args += [letter, p]
    return args, paths, new_args


def scenario_map_coalesced(d):
    """131,072 sections in 64 modules, coalesced in runs of 64: 2,048
    segments."""
    return map_set(d, 64, 2048, 64, 0)


def scenario_map_separate(d):
    """60,000 sections in 16 modules, each its own segment: kinds alternate
    and 16 bytes lie between neighbours."""
    return map_set(d, 16, 3750, 1, 16)


def scenario_map_growth(d):
    """map-coalesced with 8 times the sections per segment: 1,048,576
    sections in runs of 512, again 2,048 segments."""
    return map_set(d, 64, 16384, 512, 0)


# ---------------------------------------------------------------------------
# Timing

SPAWN = None  # the launcher built by bench/run (spawn.cpp)


def run_once(argv, out_path, stdout_to_out, statuses=(0,)):
    """Runs argv through the launcher; returns (seconds, peak resident KiB).
    A failure (an exit status not in statuses) ends the benchmark."""
    if os.path.exists(out_path):
        os.unlink(out_path)
    cmd = [SPAWN, out_path if stdout_to_out else "-"] + argv
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if proc.returncode not in statuses:
        sys.exit(f"{argv[0]} failed ({proc.returncode}): {proc.stderr.decode(errors='replace')}")
    seconds, rss = proc.stdout.split()
    return float(seconds), int(rss)


def time_pair(tool, args, paths, work, rounds):
    out_a = os.path.join(work, "out-tool.elf")
    out_b = os.path.join(work, "out-cat.bin")
    tool_argv = [tool] + args + ["-o", out_a]
    cat_argv = ["cat"] + paths
    # One untimed run of each warms the page cache for both.
    run_once(tool_argv, out_a, False)
    run_once(cat_argv, out_b, True)
    a, b, rss = [], [], 0
    for _ in range(rounds):
        t, r = run_once(tool_argv, out_a, False)
        a.append(t)
        rss = max(rss, r)
        t, _ = run_once(cat_argv, out_b, True)
        b.append(t)
    return statistics.median(a), statistics.median(b), rss


def compare_with(tool, other, args, work):
    """Runs both binaries on the same set and compares the outputs byte for
    byte."""
    out_a = os.path.join(work, "cmp-a.elf")
    out_b = os.path.join(work, "cmp-b.elf")
    run_once([tool] + args + ["-o", out_a], out_a, False)
    run_once([other] + args + ["-o", out_b], out_b, False)
    with open(out_a, "rb") as fa, open(out_b, "rb") as fb:
        same = fa.read() == fb.read()
    size = os.path.getsize(out_a)
    os.unlink(out_a)
    os.unlink(out_b)
    return same, size


# The map's modes, each with the module options of the image it maps.
MAP_MODES = ("text", "--json", "--check", "--svg", "--diff")


def map_command(map_tool, mode, work, old, new, new_args):
    """(argv, output file, whether standard output goes to it, exit
    statuses that are success) of one map mode. --diff compares the image
    of the set with the image of its changed modules, which it maps."""
    if mode == "--svg":
        svg = os.path.join(work, "out-map.svg")
        return [map_tool, "--svg", svg, new, "--"] + new_args, svg, False, (0,)
    out = os.path.join(work, "out-map.txt")
    if mode == "--diff":
        return [map_tool, "--diff", old, new, "--"] + new_args, out, True, (1,)
    options = [] if mode == "text" else [mode]
    return [map_tool] + options + [new, "--"] + new_args, out, True, (0,)


def time_map_set(tool, map_tool, args, new_args, work, rounds):
    """For each map mode: median times of elf-merge writing the image and of
    the mode, alternating, and the peak resident set of each."""
    old = os.path.join(work, "map-old.elf")
    new = os.path.join(work, "map-new.elf")
    run_once([tool] + args + ["-o", old], old, False)
    run_once([tool] + new_args + ["-o", new], new, False)
    merged = os.path.join(work, "out-tool.elf")
    merge_argv = [tool] + new_args + ["-o", merged]
    results = {}
    for mode in MAP_MODES:
        argv, out, to_out, statuses = map_command(map_tool, mode, work, old, new, new_args)
        run_once(merge_argv, merged, False)
        run_once(argv, out, to_out, statuses)
        a, b, rss_a, rss_b = [], [], 0, 0
        for _ in range(rounds):
            t, r = run_once(merge_argv, merged, False)
            a.append(t)
            rss_a = max(rss_a, r)
            t, r = run_once(argv, out, to_out, statuses)
            b.append(t)
            rss_b = max(rss_b, r)
        os.unlink(out)
        results[mode] = (statistics.median(a), statistics.median(b), rss_a * 1024, rss_b * 1024)
    for p in (old, new, merged):
        os.unlink(p)
    return results


def map_targets(name, results, failures):
    """Each mode within 10 x elf-merge (--json 25 x), and within 64 MiB plus
    3 x elf-merge's peak resident set."""
    for mode, (merge_t, map_t, merge_rss, map_rss) in results.items():
        limit = 25 if mode == "--json" else 10
        if map_t > limit * merge_t:
            failures.append(f"{name} {mode}: {map_t / merge_t:.1f} x elf-merge, more than {limit} x")
        if map_rss > 64 * MIB + 3 * merge_rss:
            failures.append(f"{name} {mode}: peak RSS {fmt_mib(map_rss)} MiB, more than 64 MiB + 3 x "
                            f"{fmt_mib(merge_rss)} MiB")


def input_bytes(paths):
    return sum(os.path.getsize(p) for p in paths)


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def fmt_mib(n):
    return f"{n / MIB:.1f}"


# ---------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--tool", required=True, help="elf-merge binary to time")
    ap.add_argument("--spawn", required=True, help="the launcher built from spawn.cpp")
    ap.add_argument("--work", default=None, help="directory for inputs and outputs (default: a new one in /tmp)")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--only", default="typical,large,many,growth,lookup,map-coalesced,map-separate,map-growth",
                    help="comma-separated scenarios to run")
    ap.add_argument("--map", default=None, help="elf-merge-map binary for the map scenarios")
    ap.add_argument("--compare", default=None,
                    help="another elf-merge binary: compare outputs byte for byte instead of timing")
    opts = ap.parse_args()
    global SPAWN
    SPAWN = opts.spawn
    if opts.rounds < 5 and not opts.compare:
        ap.error(f"--rounds {opts.rounds} is too few: each timing is the median of at least 5 runs")
    unknown = set(opts.only.split(",")) - {"typical", "large", "many", "growth", "lookup", "shuffled",
                                           "map-coalesced", "map-separate", "map-growth"}
    if unknown:
        ap.error(f"unknown scenario in --only: {', '.join(sorted(unknown))}")

    work = opts.work or tempfile.mkdtemp(prefix="elf-merge-bench-", dir="/tmp")
    os.makedirs(work, exist_ok=True)
    only = set(opts.only.split(","))
    rows, growth, failures = [], {}, []

    def scenario(name, make, *extra):
        d = os.path.join(work, name)
        os.makedirs(d, exist_ok=True)
        t0 = time.perf_counter()
        args, paths = make(d, *extra)
        gen = time.perf_counter() - t0
        size = input_bytes(paths)
        if opts.compare:
            same, out_size = compare_with(opts.tool, opts.compare, args, work)
            print(f"{name:28} {len(paths):3} modules {fmt_mib(size):>7} MiB -> {fmt_mib(out_size)} MiB: "
                  f"{'identical' if same else 'DIFFERENT'}", flush=True)
            if not same:
                failures.append(name)
            shutil.rmtree(d)
            return None
        tool_t, cat_t, rss = time_pair(opts.tool, args, paths, work, opts.rounds)
        shutil.rmtree(d)
        for f in ("out-tool.elf", "out-cat.bin"):
            p = os.path.join(work, f)
            if os.path.exists(p):
                os.unlink(p)
        rss_bytes = rss * 1024
        row = (name, len(paths), size, tool_t, cat_t, rss_bytes)
        rows.append(row)
        print(f"{name:28} {len(paths):3} modules {fmt_mib(size):>7} MiB  elf-merge {tool_t * 1000:8.1f} ms  "
              f"cat {cat_t * 1000:7.1f} ms  ratio {tool_t / cat_t:5.2f}  peak RSS {fmt_mib(rss_bytes)} MiB "
              f"[generated in {gen:.1f} s]", flush=True)
        return row

    if "typical" in only:
        r = scenario("typical", scenario_typical)
        if r:
            if r[3] > 1.25 * r[4]:
                failures.append("typical: more than 1.25 x cat")
            if r[5] > 8 * MIB:
                failures.append("typical: peak memory above 8 MiB")
    if "large" in only:
        need = 3 * 512 * MIB + 256 * MIB
        if free_bytes(work) < need:
            sys.exit(f"large: needs {fmt_mib(need)} MiB free in {work}")
        r = scenario("large", scenario_large)
        if r:
            if r[3] > 0.8 * r[4]:
                failures.append("large: more than 0.8 x cat")
            if r[5] > 10 * MIB:
                failures.append("large: peak memory above 10 MiB")
    if "many" in only:
        scenario("many-sections", scenario_many)
    if "growth" in only:
        for per_section in (False, True):
            label = "1 phdr/section" if per_section else "4 phdrs/module"
            for total in (10_000, 100_000, 1_000_000):
                r = scenario(f"growth {total // 1000}k, {label}", scenario_growth, total, per_section)
                if r:
                    growth[(per_section, total)] = r[3]
                if r and total == 1_000_000 and not per_section:
                    if r[3] > 1.5 * r[4]:
                        failures.append("1M sections: more than 1.5 x cat")
                    if r[5] > 40 * MIB:
                        failures.append("1M sections: peak memory above 40 MiB")
            if growth:
                ratio = growth[(per_section, 1_000_000)] / growth[(per_section, 100_000)]
                print(f"growth 100k -> 1M, {label}: x{ratio:.1f}", flush=True)
                if ratio > 11:
                    failures.append(f"growth ({label}): x{ratio:.1f} from 100k to 1M sections")
    if "lookup" in only and not opts.compare:
        crafted, plain = time_lookup(opts.tool, work, opts.rounds)
        print(f"{'symbol lookup, 8 MiB module':28} crafted names {crafted * 1000:8.1f} ms  ordinary names "
              f"{plain * 1000:7.1f} ms  ratio {crafted / plain:5.2f}", flush=True)
        if crafted > 2 * plain:
            failures.append("symbol lookup: crafted names more than 2 x ordinary ones")
    map_times = {}

    def map_scenario(name, make):
        d = os.path.join(work, name)
        os.makedirs(d, exist_ok=True)
        args, paths, new_args = make(d)
        results = time_map_set(opts.tool, opts.map, args, new_args, work, opts.rounds)
        shutil.rmtree(d)
        for mode, (merge_t, map_t, merge_rss, map_rss) in results.items():
            print(f"{name:14} {mode:8} elf-merge {merge_t * 1000:7.1f} ms  map {map_t * 1000:8.1f} ms  "
                  f"ratio {map_t / merge_t:5.1f}  peak RSS {fmt_mib(merge_rss)} / {fmt_mib(map_rss)} MiB", flush=True)
        map_targets(name, results, failures)
        map_times[name] = results

    if not opts.compare:
        for name, make in (("map-coalesced", scenario_map_coalesced), ("map-separate", scenario_map_separate),
                           ("map-growth", scenario_map_growth)):
            if name in only:
                if not opts.map:
                    ap.error(f"{name} needs --map")
                map_scenario(name, make)
    if "map-coalesced" in map_times and "map-growth" in map_times:
        for mode in MAP_MODES:
            ratio = map_times["map-growth"][mode][1] / map_times["map-coalesced"][mode][1]
            print(f"map growth, 8 x the sections per segment, {mode}: x{ratio:.1f}", flush=True)
            if ratio > 11:
                failures.append(f"map growth {mode}: x{ratio:.1f} for 8 x the sections")

    if opts.compare and "shuffled" in only:
        scenario("shuffled program headers", scenario_shuffled)

    if not opts.work:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("targets missed:\n  " + "\n  ".join(failures))
        return 1
    print("all targets met" if not opts.compare else "all outputs identical")
    return 0


if __name__ == "__main__":
    sys.exit(main())
