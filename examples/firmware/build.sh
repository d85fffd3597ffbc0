#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the example firmware modules into bin/.
#   build.sh           rebuild bin/
#   build.sh --check   rebuild into a temporary directory and compare with bin/
# Exits 77 when the cross tools are missing, so a test can count it as skipped.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
CLANG=${CLANG:-clang}
LD=${LD:-arm-none-eabi-ld}
NM=${NM:-arm-none-eabi-nm}
OBJCOPY=${OBJCOPY:-arm-none-eabi-objcopy}
# The kernel comes last: it is built with the entry points and stacks of the others.
FURTHER="quenlor vo zu gul rak tej"
MODULES="$FURTHER kernel"

for tool in "$CLANG" "$LD" "$NM" "$OBJCOPY"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "build.sh: $tool not found (install clang and binutils-arm-none-eabi)" >&2
        exit 77
    fi
done

# Debug information for the map's source lines. Sources are named relative to
# src/, the prefix map covers any path the compiler still writes, and the
# compilation directory is "." (the assembler's line table keeps it
# otherwise), so nothing depends on the build path. Debug sections are not
# loaded, so the merged images are the same with and without them.
CFLAGS="--target=armeb-none-eabi -mcpu=arm926ej-s -ffreestanding -nostdlib -O2
        -fno-builtin -fno-unwind-tables -fno-asynchronous-unwind-tables
        -g -fdebug-prefix-map=$here/src=. -fdebug-compilation-dir=.
        -Wall -Wextra -Werror"

# Raw image: a four-byte tag followed by a byte pattern, $2 bytes in all.
# The kernel checks the loaded images against the same pattern.
write_image() {
    local out=$1 length=$2 tag=$3 i
    {
        printf '%s' "$tag"
        for ((i = 4; i < length; i++)); do
            printf "\\$(printf '%03o' $(((i * 37 + 11) & 255)))"
        done
    } >"$out"
}

# ld writes ELFOSABI_NONE; the merge tool only takes modules marked ELFOSABI_ARM (97).
set_osabi_arm() {
    printf '\141' | dd of="$1" bs=1 seek=7 conv=notrunc status=none
}

# The sum startup.c computes over a section: h = h * 31 + byte, from 1.
section_sum() {
    local elf=$1 section=$2 h=1 b
    "$OBJCOPY" -O binary --only-section="$section" "$elf" "$work/section.bin"
    for b in $(od -An -v -tu1 "$work/section.bin"); do
        h=$(((h * 31 + b) & 0xFFFFFFFF))
    done
    printf '0x%08x' "$h"
}

sums_of() {
    echo "--defsym=fw_rodata_sum=$(section_sum "$1" .rodata)" "--defsym=fw_data_sum=$(section_sum "$1" .data)"
}

# Links module $1 twice: the second time with the sums of its .rodata and
# .data, which land in literal pools in .text and so leave both unchanged.
link_module() {
    local m=$1 out=$2 sums
    shift 2
    "$LD" -EB -n -T "$m.ld" --defsym=fw_rodata_sum=0 --defsym=fw_data_sum=0 "$@" -o "$out"
    sums=$(sums_of "$out")
    "$LD" -EB -n -T "$m.ld" $sums "$@" -o "$out"
    if [ "$(sums_of "$out")" != "$sums" ]; then
        echo "build.sh: storing the sums changed $m's .rodata or .data" >&2
        exit 1
    fi
    # The assembler's units alone have address ranges there, and GDB, told
    # "set endian little" for QEMU, reads that table in the wrong byte order;
    # without it, readers find each unit by its own ranges.
    "$OBJCOPY" --remove-section=.debug_aranges "$out"
    set_osabi_arm "$out"
}

symbol() {
    "$NM" "$2" | awk -v name="$1" '$3 == name { print "0x" $1 }'
}

# The kernel's view of the further modules: fw_<module>_entry and _stack,
# and fw_<module>_fault, the module's fw_fault or 0 where it has none.
write_module_symbols() {
    local out=$1 m fault
    for m in $FURTHER; do
        echo "fw_${m}_entry = $(symbol _start "$out/$m.elf");"
        echo "fw_${m}_stack = $(symbol _initStack "$out/$m.elf");"
        fault=$(symbol fw_fault "$out/$m.elf")
        echo "fw_${m}_fault = ${fault:-0};"
    done
}

build_into() {
    local out=$1 obj=$work/obj m extra objects
    mkdir -p "$obj"
    (
        cd "$here/src"
        "$CLANG" $CFLAGS -c start.S -o "$obj/start.o"
        "$CLANG" $CFLAGS -c startup.c -o "$obj/startup.o"
        "$CLANG" $CFLAGS -c vectors.S -o "$obj/vectors.o"
        for m in $MODULES; do
            extra=
            [ "$m" = quenlor ] && extra=-mthumb
            "$CLANG" $CFLAGS $extra -c "$m.c" -o "$obj/$m.o"
            objects=("$obj/start.o" "$obj/startup.o" "$obj/$m.o")
            if [ "$m" = kernel ]; then
                write_module_symbols "$out" >"$obj/modules.ld"
                objects+=("$obj/vectors.o" "$obj/modules.ld")
            fi
            link_module "$m" "$out/$m.elf" "${objects[@]}"
        done
    )
    write_image "$out/ka1.bin" 260 KA1:     # loads at 0x3400
    write_image "$out/ka2.bin" 32 KA2:      # loads at 0x12FFFE0
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = --check ]; then
    tmp=$work/check
    mkdir -p "$tmp"
    build_into "$tmp"
    status=0
    for f in $MODULES ka1 ka2; do
        case $f in ka*) f=$f.bin ;; *) f=$f.elf ;; esac
        if ! cmp -s "$tmp/$f" "$here/bin/$f"; then
            echo "build.sh: bin/$f differs from a fresh build" >&2
            status=1
        fi
    done
    exit $status
fi

mkdir -p "$here/bin"
build_into "$here/bin"
