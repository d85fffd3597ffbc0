#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Merges the example firmware in bin/ into one image.
#   merge.sh [kernel|plain|rm] [OUTPUT]     (default: kernel fw.elf)
# The tool is $ELF_MERGE if set, else the one the README's Quick start builds
# (build/elf-merge at the top of the source tree), else elf-merge from PATH.
# Where elf-merge-map is built beside it, OUTPUT.gdb is written too: the GDB
# command file that loads every module's symbols; and OUTPUT.debug.elf, the
# image with every module's sections and symbols, for objdump, nm and GDB.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
mode=${1:-kernel}
out=${2:-fw.elf}
case $mode in
    kernel | plain | rm) ;;
    *) echo "usage: $0 [kernel|plain|rm] [OUTPUT]" >&2; exit 2 ;;
esac

built=$here/../../build/elf-merge
if [ -n "${ELF_MERGE:-}" ]; then
    tool=$ELF_MERGE
elif [ -x "$built" ]; then
    tool=$built
elif command -v elf-merge >/dev/null; then
    tool=elf-merge
else
    echo "merge.sh: no elf-merge found: build it with" >&2
    echo "  cmake -S . -B build && cmake --build build --target elf-merge" >&2
    echo "at the top of the source tree, or set ELF_MERGE to the tool" >&2
    exit 127
fi
b=$here/bin

# Every further module and both raw images; the Shared Data range
# [0xF00000, 0xF08000) lies clear of all of them.
modules=(-e "$b/quenlor.elf" -f "$b/vo.elf" -d "$b/zu.elf" -c "$b/gul.elf"
         -S "$b/rak.elf" -F "$b/tej.elf" -p "$b/ka1.bin" -P "$b/ka2.bin")

case $mode in
    kernel) options=(-k "$b/kernel.elf" "${modules[@]}" -s 00F00000 -z 8000) ;;
    plain)  options=("${modules[@]}") ;;
    rm)     options=(-r "${modules[@]}" -s 00F00000 -z 8000) ;;
esac
"$tool" "${options[@]}" -o "$out"

# Installed, the map lies in the same bin/; in the build tree, in map/.
dir=$(dirname "$(command -v "$tool")")
for map in "$dir/elf-merge-map" "$dir/map/elf-merge-map"; do
    if [ -x "$map" ]; then
        "$map" --gdb "$out.gdb" "$out" -- "${options[@]}"
        exec "$map" --debug-elf "$out.debug.elf" "$out" -- "${options[@]}"
    fi
done
# The script installs the map's libraries where they are missing, and the
# configure step finds them again.
echo "merge.sh: no elf-merge-map beside $tool, so no $out.gdb or $out.debug.elf; build it with" >&2
echo "  scripts/install-deps && cmake -S . -B build && cmake --build build --target elf-merge-map" >&2
