// SPDX-License-Identifier: MIT
// merge_shdr over a million sections held in memory: 16 modules of 62,500
// small sections each, in runs of 32 sections of one kind, so that 31,264
// segments are built. Variants change what the phases see:
//   - program headers: 4 per module, or one per section (the physical
//     address of each segment is then looked up in 62,500 headers);
//   - table order: sections in address order, or shuffled inside each
//     module's table, which leaves the sort real work.
#include "elf-merge.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>

namespace {

constexpr uint32_t MODULES = 16;
constexpr uint32_t PER_MODULE = 62'500;
constexpr uint32_t RUN = 32;
constexpr uint32_t SIZES[] = {16, 32, 24, 64, 48, 128, 40, 96};

struct MODULE_TABLES {
    std::vector<Elf32_Shdr> shdrs;
    std::vector<Elf32_Phdr> phdrs;
};

struct FIXTURE {
    std::vector<ELF_DESC> modules;
    size_t sections = 0;
};

Elf32_Shdr section_at(uint32_t addr, uint32_t size, uint32_t k)
{
    static const uint32_t kinds[] = {SHF_ALLOC | SHF_EXECINSTR, SHF_ALLOC, SHF_ALLOC | SHF_WRITE};
    return Elf32_Shdr{0, SHT_PROGBITS, kinds[(k / RUN) % 3], addr, 0, size, 0, 0, 4, 0};
}

MODULE_TABLES module_tables(uint32_t base, bool phdr_per_section, bool shuffled, uint32_t seed)
{
    MODULE_TABLES t;
    t.shdrs.reserve(PER_MODULE);
    uint32_t addr = base;
    for (uint32_t k = 0; k < PER_MODULE; ++k) {
        const uint32_t size = SIZES[k % std::size(SIZES)];
        t.shdrs.push_back(section_at(addr, size, k));
        if (phdr_per_section)
            t.phdrs.push_back(Elf32_Phdr{PT_LOAD, 0, addr, addr + 0x20000000, size, size, PF_R, 4});
        addr += size;
    }
    if (!phdr_per_section) {
        const uint32_t quarter = (addr - base) / 4;
        for (uint32_t q = 0; q < 4; ++q)
            t.phdrs.push_back(Elf32_Phdr{PT_LOAD, 0, base + q * quarter, base + q * quarter + 0x20000000,
                                         quarter, q == 3 ? addr - base - 3 * quarter : quarter, PF_R, 4});
    }
    if (shuffled)
        std::shuffle(t.shdrs.begin(), t.shdrs.end(), std::mt19937(seed));
    return t;
}

// A module held in memory, as a pipe's would be: the section header table,
// big-endian, right after a 52-byte header. Collection reads it from there.
ELF_DESC held_module(uint32_t pid, const MODULE_TABLES& t)
{
    ELF_DESC m("module", static_cast<int32_t>(pid), 0x00F00000, ELF_KIND);
    m.source.held = true;
    m.source.bytes.resize(EHDR_SIZE + t.shdrs.size() * SHDR_SIZE);
    for (size_t k = 0; k < t.shdrs.size(); ++k) {
        Elf32_Shdr big = t.shdrs[k];
        convert_shdr(big);
        std::memcpy(m.source.bytes.data() + EHDR_SIZE + k * SHDR_SIZE, &big, SHDR_SIZE);
    }
    m.size = static_cast<uint32_t>(m.source.bytes.size());
    m.ehdr.e_shoff = EHDR_SIZE;
    m.shnum = static_cast<uint32_t>(t.shdrs.size());
    m.phdr = t.phdrs;
    m.phnum = static_cast<uint32_t>(t.phdrs.size());
    return m;
}

FIXTURE make_fixture(bool phdr_per_section, bool shuffled)
{
    FIXTURE f;
    f.modules.reserve(MODULES);
    for (uint32_t i = 0; i < MODULES; ++i) {
        f.modules.push_back(held_module(i + 1, module_tables(0x10000000 + i * 0x01000000, phdr_per_section, shuffled, i)));
        f.sections += f.modules.back().shnum;
    }
    return f;
}

// Collection, sort, overlap check and segment building, as the tool runs them.
void BM_MergeShdr(benchmark::State& state)
{
    const bool phdr_per_section = state.range(0) != 0;
    const bool shuffled = state.range(1) != 0;
    const FIXTURE f = make_fixture(phdr_per_section, shuffled);
    size_t segments = 0;
    // The module tables are read again on every iteration, as in a run.
    // The lists keep their storage from one iteration to the next: first
    // touches of fresh pages are costly on some hosts and would swamp the
    // work measured here (the end-to-end runs include them).
    std::vector<Elf32_Phdr> phdrs;
    std::vector<SHDR_HANDLE> sections;
    for (auto _ : state) {
        phdrs.clear();
        sections.clear();
        merge_shdr(phdrs, sections, f.modules);
        segments = phdrs.size();
        benchmark::DoNotOptimize(phdrs.data());
    }
    // Runs of RUN sections, the last one of each module short; modules are
    // apart, so no run crosses from one to the next.
    if (segments != MODULES * ((PER_MODULE + RUN - 1) / RUN))
        state.SkipWithError("unexpected segment count");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.sections));
    state.counters["segments"] = static_cast<double>(segments);
}
BENCHMARK(BM_MergeShdr)
    ->ArgNames({"phdr_per_section", "shuffled"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond);

// The sort alone, on handles in collection order, to tell its share.
void BM_SortHandles(benchmark::State& state)
{
    const FIXTURE f = make_fixture(false, state.range(0) != 0);
    std::vector<SHDR_HANDLE> collected;
    collected.reserve(f.sections);
    for (uint32_t module = 0; module < f.modules.size(); ++module) {
        const ELF_DESC& m = f.modules[module];
        std::vector<Elf32_Shdr> headers(m.shnum);
        read_section_headers(m, 0, headers);
        for (uint32_t i = 0; i < m.shnum; ++i) {
            const Elf32_Shdr& s = headers[i];
            collected.push_back({&m, module, s.sh_addr, s.sh_offset, s.sh_size, s.sh_addralign, i,
                                 s.sh_flags & (SHF_WRITE | SHF_ALLOC | SHF_EXECINSTR), false});
        }
    }
    std::vector<SHDR_HANDLE> sections;
    for (auto _ : state) {
        state.PauseTiming();
        sections = collected;
        state.ResumeTiming();
        std::sort(sections.begin(), sections.end(), SHDR_COMP());
        benchmark::DoNotOptimize(sections.data());
    }
    if (!std::is_sorted(sections.begin(), sections.end(), SHDR_COMP()))
        state.SkipWithError("not sorted");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * f.sections));
}
BENCHMARK(BM_SortHandles)->ArgName("shuffled")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
