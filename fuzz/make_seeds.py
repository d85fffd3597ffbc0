#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes starting corpora for the fuzz targets.

Seeds are small well-formed inputs: big-endian ELF32 ARM executables with a
few sections and the three start-up symbols, and raw images, wrapped in each
target's input header. Usage: make_seeds.py OUTPUT_DIR [EXTRA_ELF ...]
"""
import os
import struct
import sys

SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR = 1, 2, 4
SHT_PROGBITS, SHT_SYMTAB, SHT_STRTAB, SHT_NOBITS = 1, 2, 3, 8


def strtab(names):
    data, offsets = b"\0", {}
    for n in names:
        offsets[n] = len(data)
        data += n.encode() + b"\0"
    return data, offsets


def elf_module(base, text_size=16, with_symbols=True, entry_offset=0):
    """An executable whose .text sits at base, .data after it and .bss last."""
    text = bytes((i * 7) & 0xFF for i in range(text_size))
    data = struct.pack(">III", 5, 0x800, base + 0x1000)  # priority, stack size, stack
    text_addr, data_addr = base, base + ((text_size + 3) & ~3)
    bss_addr = data_addr + len(data)
    sec_names = [".text", ".data", ".bss", ".symtab", ".strtab", ".shstrtab"]
    shstr, shoff_names = strtab(sec_names)
    syms = ["_initPriority", "_initStackSize", "_initStack", "main"]
    symstr, sym_names = strtab(syms)
    symtab = bytes(16)  # the null symbol
    values = [data_addr, data_addr + 4, data_addr + 8, text_addr]
    shndx = [2, 2, 2, 1]
    if with_symbols:
        for n, v, x in zip(syms, values, shndx):
            symtab += struct.pack(">IIIBBH", sym_names[n], v, 4, 0x11, 0, x)

    phnum = 2
    off = 52 + 32 * phnum
    layout = {}
    for name, blob in (("text", text), ("data", data), ("symtab", symtab), ("strtab", symstr),
                       ("shstrtab", shstr)):
        layout[name] = (off, blob)
        off += len(blob)
        off = (off + 3) & ~3
    shoff = off
    shdrs = [bytes(40)]
    def sh(name, typ, flags, addr, key, size=None, link=0, info=0, align=1, entsize=0):
        o, blob = layout[key] if key else (layout["shstrtab"][0], b"")
        shdrs.append(struct.pack(">10I", shoff_names[name], typ, flags, addr, o,
                                 len(blob) if size is None else size, link, info, align, entsize))
    sh(".text", SHT_PROGBITS, SHF_ALLOC | SHF_EXECINSTR, text_addr, "text", align=4)
    sh(".data", SHT_PROGBITS, SHF_ALLOC | SHF_WRITE, data_addr, "data", align=4)
    sh(".bss", SHT_NOBITS, SHF_ALLOC | SHF_WRITE, bss_addr, None, size=0x40, align=4)
    sh(".symtab", SHT_SYMTAB, 0, 0, "symtab", link=5, info=1, align=4, entsize=16)
    sh(".strtab", SHT_STRTAB, 0, 0, "strtab")
    sh(".shstrtab", SHT_STRTAB, 0, 0, "shstrtab")

    ident = bytes([0x7F]) + b"ELF" + bytes([1, 2, 1, 97, 1]) + bytes(7)
    ehdr = ident + struct.pack(">HHIIIIIHHHHHH", 2, 40, 1, base + entry_offset, 52, shoff, 0x5000000,
                               52, 32, phnum, 40, len(shdrs), 6)
    phdrs = struct.pack(">8I", 1, layout["text"][0], text_addr, text_addr, len(text) + len(data),
                        len(text) + len(data), 5, 4)
    phdrs += struct.pack(">8I", 1, 0, bss_addr, bss_addr + 0x100000, 0, 0x40, 6, 4)
    image = bytearray(ehdr + phdrs)
    for o, blob in layout.values():
        image += bytes(o - len(image)) + blob
    image += bytes(shoff - len(image)) + b"".join(shdrs)
    return bytes(image)


def put(image, offset, fmt, *values):
    struct.pack_into(fmt, image, offset, *values)


def crafted_modules(good):
    """Modules that once fooled a reader converting tables in place: extra
    symbol tables over the ELF header and over .text, a section over the ELF
    header, and ELF extended numbering (e_shnum 0, e_phnum PN_XNUM)."""
    shoff = struct.unpack_from(">I", good, 32)[0]
    shnum = struct.unpack_from(">H", good, 48)[0]
    text_off = struct.unpack_from(">I", good, shoff + 40 + 16)[0]
    over = bytearray(good)
    # The string tables after .symtab become symbol tables; the last one in
    # index order is the one searched.
    put(over, shoff + 40 * 5 + 4, ">I", 2)       # .strtab: a symbol table...
    put(over, shoff + 40 * 5 + 16, ">I", 0)      # ...laid over the ELF header
    put(over, shoff + 40 * 5 + 20, ">I", 48)
    put(over, shoff + 40 * 1 + 16, ">I", 0)      # .text holds the ELF header
    put(over, shoff + 40 * 1 + 20, ">I", 52)
    over_text = bytearray(good)
    put(over_text, shoff + 40 * 6 + 4, ">I", 2)  # .shstrtab over .text
    put(over_text, shoff + 40 * 6 + 16, ">I", text_off)
    put(over_text, shoff + 40 * 6 + 20, ">I", 16)
    extended = bytearray(good)
    put(extended, 44, ">H", 0xFFFF)                # e_phnum: PN_XNUM
    put(extended, 48, ">H", 0)                     # e_shnum: in section header 0
    put(extended, shoff + 20, ">I", shnum)         # sh_size of header 0
    put(extended, shoff + 28, ">I", 2)             # sh_info of header 0
    return [bytes(over), bytes(over_text), bytes(extended)]


def raw_image(size):
    return bytes((i * 13 + 1) & 0xFF for i in range(size))


def run_input(mode_bits, letters, files, sd_page=0x3C0, sd_size=0x2000):
    """The fuzz_run header (see fuzz_run.cpp) followed by the module files."""
    count = len(files)
    sizes = [len(f) for f in files[:-1]] + [0] * (3 - (count - 1))
    header = bytes([mode_bits | ((count - 1) << 4)]) + bytes(letters + [0] * (4 - count))
    header += struct.pack(">I", sd_page)[1:] + struct.pack(">I", sd_size)
    header += struct.pack(">3H", *sizes)
    return header + b"".join(files)


LETTERS = "kefduvEcanWLKNSbCxyFpP"
PLAIN = LETTERS[1:]


def write(directory, name, blob):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(blob)


def main():
    out = sys.argv[1]
    extras = [open(p, "rb").read() for p in sys.argv[2:]]
    a, b, c = elf_module(0x10000), elf_module(0x20000, 30), elf_module(0x30000, 8, entry_offset=4)
    bare = elf_module(0x40000, with_symbols=False)
    ka = raw_image(24)

    mod = os.path.join(out, "fuzz_module")
    for i, m in enumerate([a, b, bare] + extras):
        write(mod, f"elf-{i}", b"\0" + m)
    for i, m in enumerate(crafted_modules(a)):
        write(mod, f"crafted-{i}", b"\0" + m)
    write(mod, "raw1", b"\1" + raw_image(10))
    write(mod, "raw2", b"\2" + raw_image(32))

    run = os.path.join(out, "fuzz_run")
    pl = lambda ch: PLAIN.index(ch)
    anyl = lambda ch: LETTERS.index(ch)
    write(run, "plain-1", run_input(0, [pl("e")], [a]))
    write(run, "plain-3", run_input(0, [pl("e"), pl("f"), pl("p")], [a, b, ka]))
    write(run, "kernel-2", run_input(1, [0, anyl("d")], [a, b]))
    write(run, "kernel-4-z", run_input(1 | 4, [0, anyl("e"), anyl("x"), anyl("P")], [a, b, c, ka]))
    write(run, "rm-2", run_input(2, [anyl("e"), anyl("u")], [a, c]))
    write(run, "rm-3-s-z", run_input(2 | 4 | 8, [anyl("v"), anyl("v"), anyl("k")], [a, b, c]))
    for i, m in enumerate(crafted_modules(a)):
        write(run, f"crafted-{i}", run_input(0, [pl("e"), pl("f")], [m, b]))
    for i, m in enumerate(extras):
        write(run, f"kernel-extra-{i}", run_input(1, [0], [m]))
        write(run, f"plain-extra-{i}", run_input(0, [pl("e")], [m]))


if __name__ == "__main__":
    main()
