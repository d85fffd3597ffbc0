#!/usr/bin/env bash
# Merges the example firmware in bin/ into one image.
#   merge.sh [kernel|plain|rm] [OUTPUT]     (default: kernel fw.elf)
# The tool is taken from $ELF_MERGE, else from PATH.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=${ELF_MERGE:-elf-merge}
mode=${1:-kernel}
out=${2:-fw.elf}
b=$here/bin

# Every further module and both raw images; the Shared Data range
# [0xF00000, 0xF08000) lies clear of all of them.
modules=(-e "$b/quenlor.elf" -f "$b/vo.elf" -d "$b/zu.elf" -c "$b/gul.elf"
         -S "$b/rak.elf" -F "$b/tej.elf" -p "$b/ka1.bin" -P "$b/ka2.bin")

case $mode in
    kernel) exec "$tool" -k "$b/kernel.elf" "${modules[@]}" -s 00F00000 -z 8000 -o "$out" ;;
    plain)  exec "$tool" "${modules[@]}" -o "$out" ;;
    rm)     exec "$tool" -r "${modules[@]}" -s 00F00000 -z 8000 -o "$out" ;;
    *) echo "usage: $0 [kernel|plain|rm] [OUTPUT]" >&2; exit 2 ;;
esac
