#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Times elf-merge-map --symbolize on a log of LINES lines (default 1000000),
# each holding one instruction address, spread over every ELF module of the
# example, beside llvm-symbolizer --obj=MODULE fed the same addresses, one
# process per module. The two run alternately, ROUNDS times (default 3); the
# figures are medians and the target is a ratio of at most 1.
#   bench/symbolize.sh [BUILD_DIR] [LINES] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
lines=${2:-1000000}
rounds=${3:-3}
fw=$root/examples/firmware
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

b=$fw/bin
options=(-k "$b/kernel.elf" -e "$b/quenlor.elf" -f "$b/vo.elf" -d "$b/zu.elf" -c "$b/gul.elf"
         -S "$b/rak.elf" -F "$b/tej.elf" -p "$b/ka1.bin" -P "$b/ka2.bin" -s 00F00000 -z 8000)
"$build/elf-merge" "${options[@]}" -o "$work/fw.elf"

# Each module's .text, every 4 bytes, taken in turn from every module.
python3 - "$work" "$lines" "$b" <<'PY'
import subprocess, sys
work, lines, b = sys.argv[1], int(sys.argv[2]), sys.argv[3]
modules = ["kernel", "quenlor", "vo", "zu", "gul", "rak", "tej"]
texts = {}
for m in modules:
    for row in subprocess.run(["readelf", "-SW", f"{b}/{m}.elf"], capture_output=True, text=True).stdout.splitlines():
        if "] .text " in row:
            f = row.split("]")[1].split()
            start, size = int(f[2], 16), int(f[4], 16)
            texts[m] = [start + i for i in range(0, size, 4)]
per = {m: open(f"{work}/{m}.addresses", "w") for m in modules}
with open(f"{work}/log", "w") as log:
    for i in range(lines):
        m = modules[i % len(modules)]
        a = texts[m][(i // len(modules)) % len(texts[m])]
        log.write(f"[{i:7d}] fault pc=0x{a:08x}\n")
        per[m].write(f"0x{a:x}\n")
PY

filter() {
    "$build/map/elf-merge-map" --symbolize "$work/fw.elf" -- "${options[@]}" <"$work/log" >"$work/filter.out"
}
reference() {
    local m
    for m in kernel quenlor vo zu gul rak tej; do
        llvm-symbolizer --obj="$b/$m.elf" <"$work/$m.addresses" >"$work/$m.out"
    done
}
seconds() {
    local start end
    start=$(date +%s.%N)
    "$@"
    end=$(date +%s.%N)
    echo "$end - $start" | bc
}
median() {
    sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

a=() r=()
for ((i = 0; i < rounds; i++)); do
    a+=("$(seconds filter)")
    r+=("$(seconds reference)")
done
fa=$(printf '%s\n' "${a[@]}" | median)
fr=$(printf '%s\n' "${r[@]}" | median)
ratio=$(echo "scale=3; $fa / $fr" | bc)
echo "log of $lines lines, one address each, $rounds rounds, medians:"
echo "  elf-merge-map --symbolize          ${fa} s"
echo "  llvm-symbolizer --obj, per module  ${fr} s"
echo "  ratio (filter / llvm-symbolizer)   ${ratio}"
[ "$(echo "$ratio <= 1" | bc)" = 1 ]
