#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets and runs each for a while on a copy of its
# corpus, after replaying every saved regression input.
#
#   fuzz/run.sh [seconds-per-target] [build-dir]
#
# Defaults: 60 seconds, /tmp/elf-merge-fuzz. Exits 77 when clang++ has no
# libFuzzer, non-zero when a target crashes, 0 otherwise.
set -euo pipefail

seconds=${1:-60}
build=${2:-/tmp/elf-merge-fuzz}
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
targets=(fuzz_module fuzz_run fuzz_map)

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found; skipping" >&2
  exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
  'extern "C" int LLVMFuzzerTestOneInput(const uint8_t*, size_t) { return 0; }' > "$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address,undefined "$probe/probe.cpp" -o "$probe/probe" 2>"$probe/err"; then
  echo "fuzz: clang++ cannot build with -fsanitize=fuzzer (no libFuzzer); skipping" >&2
  exit 77
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
  -DELF_MERGE_FUZZ=ON -DELF_MERGE_TESTS=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
cmake --build "$build" --target "${targets[@]}" -j2

failed=0
for t in "${targets[@]}"; do
  exe="$build/fuzz/$t"
  work="$build/run/$t"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts"

  # Saved crash inputs first: each must now pass.
  shopt -s nullglob
  regressions=("$here/regressions/$t"-*)
  shopt -u nullglob
  if [ ${#regressions[@]} -gt 0 ]; then
    if ! "$exe" -artifact_prefix="$work/artifacts/" "${regressions[@]}" >"$work/regressions.log" 2>&1; then
      echo "fuzz: $t fails on a saved regression input; see $work/regressions.log" >&2
      failed=1
      continue
    fi
  fi

  # The committed corpus, or fresh seeds where there is none.
  if [ -d "$here/corpus/$t" ] && [ -n "$(ls -A "$here/corpus/$t")" ]; then
    cp "$here/corpus/$t"/* "$work/corpus/"
  else
    shopt -s nullglob
    examples=("$root"/examples/firmware/bin/*.elf)
    shopt -u nullglob
    python3 "$here/make_seeds.py" "$work/seeds" "${examples[@]}"
    cp "$work/seeds/$t"/* "$work/corpus/"
  fi

  echo "fuzz: running $t for ${seconds}s"
  if "$exe" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" >"$work/fuzz.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$work/fuzz.log" || true
    grep -E ' cov: ' "$work/fuzz.log" | tail -1 || true
  else
    echo "fuzz: $t crashed; log $work/fuzz.log, input in $work/artifacts/" >&2
    grep -E 'ERROR|SUMMARY' "$work/fuzz.log" >&2 || true
    failed=1
  fi
done
exit "$failed"
