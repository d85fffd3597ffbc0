#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build tree into a prefix and builds tests/consumer against it:
# its image must equal a direct merge byte for byte, be checked against its
# regions and exported as elf-merge-map exports it by hand, all three be
# made again when any module changes, and only then, and a region too small
# must fail the build before the export. Then tests/consumer/module marks a
# module that clang and GNU ld link; that part is skipped without them,
# unless ELF_MERGE_REQUIRE_CROSS=1 (CI) makes that a failure.
# usage: consumer.sh SOURCE_DIR BUILD_DIR WORK_DIR GENERATOR
set -euo pipefail
src=$1 build=$2 work=$3 generator=$4
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
project=$work/project
cp -r "$src/tests/consumer" "$project"
bin=$project/fw\ bin
cp -r "$src/examples/firmware/bin" "$bin"
"$build/elf-merge" -r -k "$bin/kernel.elf" -e "$bin/quenlor.elf" -f "$bin/vo.elf" -d "$bin/zu.elf" \
    -c "$bin/gul.elf" -S "$bin/rak.elf" -F "$bin/tej.elf" -p "$bin/ka1.bin" -P "$bin/ka2.bin" \
    -s 00F00000 -z 8000 -o "$work/direct.elf"
"$work/prefix/bin/elf-merge-map" -O binary --gap-fill 0xFF --load-region LOW=8800:60000 \
    "$work/direct.elf" "$work/direct-low.bin"
"$work/prefix/bin/elf-merge-map" -O binary "$work/direct.elf" "$work/direct.bin"
"$work/prefix/bin/elf-merge-map" -O ihex "$work/direct.elf" "$work/direct.hex"

# A firmware build is configured for its 32-bit target, and must still
# accept the host tool's package.
configure() {
    cmake -S "$project" -B "$work/build" -G "$generator" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_SIZEOF_VOID_P=4 -DFW_SHA256="$(sha256sum <"$work/direct.elf" | cut -d' ' -f1)" "$@" >/dev/null
}
build() {
    cmake --build "$work/build" >"$work/log" 2>&1 || { cat "$work/log"; fail "build failed"; }
    cat "$work/log"
}
made_again() {
    grep -q 'Merging fw.elf' "$work/log" || fail "the image was not made $1"
    grep -q 'fw.elf: all checks hold' "$work/log" || fail "the image was not checked $1"
    grep -q 'Exporting fw-low.bin' "$work/log" || fail "the image was not exported $1"
}

configure
build
made_again "at first"
cmp "$work/direct.elf" "$work/build/fw.elf"
cmp "$work/direct-low.bin" "$work/build/fw-low.bin"
# Exports of one file name in two directories, and one with a space in its
# name, each under its own target.
cmp "$work/direct.bin" "$work/build/a/x.bin"
cmp "$work/direct.bin" "$work/build/b/x.bin"
cmp "$work/direct.hex" "$work/build/flash copy.hex"
for export in fw-export-x.bin fw-export-x.bin-2 fw-export-flash_copy.hex; do
    cmake --build "$work/build" --target "$export" >"$work/log" 2>&1 || { cat "$work/log"; fail "no target $export"; }
done

build
! grep -q 'Merging' "$work/log" || fail "the image was made again with nothing changed"

# One module for each way of naming it: a target's file, an abbreviated long
# option, a bundle, a value attached to its letter.
for module in kernel.elf quenlor.elf vo.elf zu.elf; do
    touch "$bin/$module"
    build
    made_again "after $module changed"
done
cmp "$work/direct.elf" "$work/build/fw.elf"

configure -DZU_SIZE=557
if cmake --build "$work/build" >"$work/log" 2>&1; then
    cat "$work/log"
    fail "a region too small passed the build"
fi
cat "$work/log"
grep -q 'fw.elf: run region zu \[0x00030000, 0x00030557) is over budget' "$work/log" ||
    fail "the check did not name the region"
! grep -q 'Exporting' "$work/log" || fail "the image was exported though its check failed"
configure -DZU_SIZE=558
build

ctest --test-dir "$work/build" --output-on-failure

# The module sub-project: built, marked and merged; its little-endian twin
# fails the build with one line.
for tool in clang arm-none-eabi-ld; do
    command -v "$tool" >/dev/null && continue
    [ "${ELF_MERGE_REQUIRE_CROSS:-}" = 1 ] && fail "$tool not found"
    echo "SKIP: elf_merge_module: $tool not found"
    exit 0
done
cmake -S "$project/module" -B "$work/module" -G "$generator" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/module" >"$work/log" 2>&1 || { cat "$work/log"; fail "the module build failed"; }
grep -q 'app-fw.elf: all checks hold' "$work/log" || { cat "$work/log"; fail "the marked module was not merged"; }
if cmake --build "$work/module" --target little >"$work/log" 2>&1; then
    fail "a little-endian module was marked"
fi
grep -q "^elf_merge_module: .*/little is not a big-endian ELF32 file$" "$work/log" ||
    { cat "$work/log"; fail "the little-endian module was not named"; }
[ ! -e "$work/module/little" ] || fail "the little-endian module was left behind"
