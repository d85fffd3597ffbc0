#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures the source tree as a machine without the map's libraries sees
# it, GoogleTest present: one status line names exactly what is missing, and
# elf-merge builds and merges the example alone.
# usage: no_map.sh SOURCE_DIR WORK_DIR GENERATOR
set -euo pipefail
src=$1 work=$2 generator=$3
failures=0

# Each row: the packages hidden from find_package, the status line expected.
rows=(
    "nlohmann_json|elf-merge-map needs nlohmann_json::nlohmann_json (Debian: nlohmann-json3-dev): building elf-merge alone"
    "OpenSSL|elf-merge-map needs OpenSSL::Crypto (Debian: libssl-dev): building elf-merge alone"
    "nlohmann_json OpenSSL|elf-merge-map needs nlohmann_json::nlohmann_json, OpenSSL::Crypto (Debian: nlohmann-json3-dev libssl-dev): building elf-merge alone"
)
for row in "${rows[@]}"; do
    hidden=${row%%|*} want=${row#*|}
    disable=()
    for package in $hidden; do disable+=("-DCMAKE_DISABLE_FIND_PACKAGE_$package=ON"); done
    rm -rf "$work"
    if ! log=$(cmake -S "$src" -B "$work" -G "$generator" -DCMAKE_BUILD_TYPE=Debug "${disable[@]}" 2>&1); then
        echo "FAIL: configuring without $hidden failed:"; echo "$log"; failures=$((failures + 1)); continue
    fi
    got=$(grep 'elf-merge-map needs' <<<"$log" || true)
    if [ "$got" != "-- $want" ] || grep -q 'CMake Warning\|CMake Error' <<<"$log"; then
        echo "FAIL: without $hidden, configure said:"; echo "$log"; failures=$((failures + 1))
    fi
done

# The last configuration builds the tool, which merges the example; with no
# map beside it merge.sh writes no GDB command file and still succeeds.
cmake --build "$work" -j2 --target elf-merge
ELF_MERGE=$work/elf-merge "$src/examples/firmware/merge.sh" kernel "$work/fw.elf"
[ -s "$work/fw.elf" ] && [ ! -e "$work/fw.elf.gdb" ] && [ ! -e "$work/fw.elf.debug.elf" ] || { echo "FAIL: merge.sh without the map"; failures=$((failures + 1)); }
# Installed, the CMake package merges images but refuses the functions that
# run the map, naming them.
cmake --install "$work" --prefix "$work/prefix" >/dev/null
for call in "elf_merge_check(fw)" "elf_merge_export(fw FORMAT binary OUTPUT fw.bin)"; do
    function=${call%%(*} consumer=$work/consumer-${call%%(*}
    mkdir -p "$consumer"
    printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(consumer NONE)' 'find_package(ElfMerge REQUIRED)' \
        'elf_merge_add_image(fw OUTPUT fw.elf OPTIONS -e module.elf)' \
        "$call" >"$consumer/CMakeLists.txt"
    log=$(cmake -S "$consumer" -B "$consumer/build" -G "$generator" -DCMAKE_PREFIX_PATH="$work/prefix" 2>&1) &&
        { echo "FAIL: $function was accepted without the map"; failures=$((failures + 1)); }
    grep -q "$function: this ElfMerge was built without elf-merge-map" <<<"$log" ||
        { echo "FAIL: $function without the map said:"; echo "$log"; failures=$((failures + 1)); }
done
exit $((failures > 0))
