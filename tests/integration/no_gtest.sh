#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures the source tree as a machine with only a compiler sees it: one
# status line says the tests are off, and both tools build and work.
# usage: no_gtest.sh SOURCE_DIR WORK_DIR GENERATOR
set -euo pipefail
src=$1 work=$2 generator=$3
rm -rf "$work"

log=$(cmake -S "$src" -B "$work" -G "$generator" -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON 2>&1) || { echo "$log"; exit 1; }
echo "$log"
about_tests=$(grep -c 'GoogleTest\|GTest' <<<"$log" || true)
if [ "$about_tests" != 1 ] || ! grep -qx -- '-- GoogleTest not found: tests are off, building the tools only' <<<"$log"; then
    echo "FAIL: expected exactly one line saying the tests are off"
    exit 1
fi
if grep -q 'CMake Warning\|CMake Error' <<<"$log"; then
    echo "FAIL: configuring without GoogleTest warned"
    exit 1
fi

cmake --build "$work" -j2
ELF_MERGE=$work/elf-merge "$src/examples/firmware/merge.sh" kernel "$work/fw.elf"
"$work/map/elf-merge-map" --check "$work/fw.elf"
