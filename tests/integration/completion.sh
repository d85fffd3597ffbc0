#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sources the bash completions and completes command lines as bash would,
# through COMP_WORDS and COMP_CWORD.
# usage: completion.sh COMPLETIONS_FILE ELF_MERGE ELF_MERGE_MAP
set -uo pipefail
completions=$1 elf_merge=$2 elf_merge_map=$3
# The completions ask the tools themselves, as found on PATH.
PATH=$(dirname "$elf_merge"):$(dirname "$elf_merge_map"):$PATH
# shellcheck source=/dev/null
source "$completions"
failures=0

# Completes the words given, the last being the one under the cursor; prints
# the candidates sorted, one per line.
complete_line() {
    local function
    function=$(complete -p "$1") || return 1
    function=${function#* -F }
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMPREPLY=()
    "${function%% *}"
    [ ${#COMPREPLY[@]} -eq 0 ] || printf '%s\n' "${COMPREPLY[@]}" | sort
}

expect() {
    local want=$1 got
    shift
    got=$(complete_line "$@" | tr '\n' ' ')
    if [ "$got" != "$want" ]; then
        echo "FAIL: [$*] completed to [$got], expected [$want]"
        failures=$((failures + 1))
    fi
}

# Every option in a tool's usage text is offered after a dash.
expect_usage_options() {
    local tool=$1 usage missing
    usage=$("$2" --help 2>&1 | grep -oE '^ +-[A-Za-z](, --[a-z0-9_-]+)?|^ +--[a-z0-9_-]+' | tr -d ',')
    missing=$(comm -23 <(tr ' ' '\n' <<<"$usage" | grep . | sort -u) <(complete_line "$tool" -))
    if [ -z "$usage" ] || [ -n "$missing" ]; then
        echo "FAIL: $tool - does not offer:" $missing
        failures=$((failures + 1))
    fi
}

cd "$(mktemp -d)" || exit 1
trap 'rm -rf "$PWD"' EXIT
# kern: a linked module without a suffix; k.srec: a flash image.
touch kernel.elf kern ka1.bin k.srec fw.elf

expect_usage_options elf-merge "$elf_merge"
expect_usage_options elf-merge-map "$elf_merge_map"

expect "--kernel " elf-merge --ke
# An ELF slot offers every file but raw and flash images; a raw slot, every file.
expect "kern kernel.elf " elf-merge -o fw.elf -k k
expect "k.srec ka1.bin kern kernel.elf " elf-merge --ka1 k
expect "kern kernel.elf " elf-merge --kernel = k
expect "fw.elf kern kernel.elf " elf-merge --kernel =
expect "" elf-merge -s ""
# A previous word is compared as it is, never as a pattern.
expect "--kernel " elf-merge '*' --ke
expect "" elf-merge -z 8
expect "--check " elf-merge-map --ch
expect "fw.elf " elf-merge-map --json f
expect "binary ihex srec " elf-merge-map -O ""
expect "ihex " elf-merge-map -O i
expect "" elf-merge-map -O ihex --gap-fill ""
# Typed values, never files, though fw.elf would match.
expect "" elf-merge-map --region f
expect "" elf-merge-map --load-region f
expect "" elf-merge-map --sha256 f
expect "" elf-merge-map --where f
expect "fw.elf " elf-merge-map --svg f
expect "fw.elf " elf-merge-map --gdb f
expect "--symbolize --symbols " elf-merge-map --sy
expect "fw.elf " elf-merge-map --debug-elf f
expect "fw.elf " elf-merge-map --diff fw.elf f
# After "--" the words are elf-merge's.
if ! complete_line elf-merge-map fw.elf - | grep -qx -- --; then
    echo "FAIL: elf-merge-map does not offer --"
    failures=$((failures + 1))
fi
expect "--kernel " elf-merge-map --check fw.elf -- -r --ke
expect "k.srec ka1.bin kern kernel.elf " elf-merge-map fw.elf -- -p k
expect "" elf-merge-map fw.elf -- --ch

[ "$failures" -eq 0 ]
