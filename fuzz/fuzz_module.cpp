// SPDX-License-Identifier: MIT
// One module through the reader: the first input byte picks ELF or one of the
// two raw image kinds, the rest is the module file. A module that the reader
// accepts (its start-up symbols looked up on the way) then goes through
// section collection and has its symbols read.
#include "elf-merge.h"
#include "fuzz_support.h"

#include <cstdlib>
#include <vector>

namespace {

constexpr int32_t kinds[3] = {-1, 1, 2};

// Exercises the later phases on an accepted module; fatal may end any of them.
void use_module(const ELF_DESC& m)
{
    const std::vector<ELF_DESC> modules{m};
    Elf32_Ehdr ehdr;
    merge_ehdr(modules, ehdr);
    std::vector<Elf32_Phdr> phdrs;
    std::vector<SHDR_HANDLE> sections;
    merge_shdr(phdrs, sections, modules);
    // Every FUNC and OBJECT symbol with its whole name, as the map reads
    // them; then every symbol, with SHN_XINDEX resolved, as --debug-elf does.
    read_symbols(m);
    read_symbols(m, SYMBOL_CHOICE::all);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    static const std::string path = scratch_path("module");
    write_scratch(path, data + 1, size - 1);

    ELF_DESC m(path.c_str(), 1, 0x00100000, kinds[data[0] % 3]);
    try {
        m.read_elf();
        use_module(m);
    } catch (const FUZZ_FATAL&) {
        // A refused module: the expected outcome for most inputs.
    }
    // The module's file, open unless the read failed before it was kept.
    close_module_files();
    return 0;
}
