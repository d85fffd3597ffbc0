#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build tree into a prefix and builds tests/consumer against it:
# its image must equal the example's direct merge byte for byte, be checked,
# and be made again when a module changes, and only then.
# usage: consumer.sh SOURCE_DIR BUILD_DIR WORK_DIR GENERATOR
set -euo pipefail
src=$1 build=$2 work=$3 generator=$4
rm -rf "$work"
mkdir -p "$work"
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$work/prefix" >/dev/null
project=$work/project
cp -r "$src/tests/consumer" "$project"
cp -r "$src/examples/firmware/bin" "$project/bin"
ELF_MERGE=$build/elf-merge "$src/examples/firmware/merge.sh" kernel "$work/direct.elf"

# A firmware build is configured for its 32-bit target, and must still
# accept the host tool's package.
cmake -S "$project" -B "$work/build" -G "$generator" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_SIZEOF_VOID_P=4
build() {
    cmake --build "$work/build" >"$work/log" 2>&1 || { cat "$work/log"; fail "build failed"; }
    cat "$work/log"
}

build
grep -q 'Merging fw.elf' "$work/log" || fail "the image was not made"
grep -q 'fw.elf: all checks hold' "$work/log" || fail "the image was not checked"
cmp "$work/direct.elf" "$work/build/fw.elf"

build
! grep -q 'Merging' "$work/log" || fail "the image was made again with nothing changed"

for module in kernel.elf vo.elf; do
    touch "$project/bin/$module"
    build
    grep -q 'Merging fw.elf' "$work/log" || fail "the image was not made again after $module changed"
done
cmp "$work/direct.elf" "$work/build/fw.elf"

ctest --test-dir "$work/build" --output-on-failure
