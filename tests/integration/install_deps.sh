#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# scripts/install-deps with only some tools on PATH, and no apt-get, so it
# can only report: what it lists as missing and its exit status.
# usage: install_deps.sh SOURCE_DIR WORK_DIR
set -uo pipefail
src=$1 work=$2
failures=0

tools="c++ cmake make readelf"
missing_tests="python3 (Debian: python3)
llvm-readelf (Debian: llvm)
llvm-symbolizer (Debian: llvm)
eu-readelf (Debian: elfutils)
srec_cat (Debian: srecord)
rsvg-convert (Debian: librsvg2-bin)
groff (Debian: groff-base)
valgrind (Debian: valgrind)
dpkg-shlibdeps (Debian: dpkg-dev)
file (Debian: file)
lintian (Debian: lintian)
clang (Debian: clang)
arm-none-eabi-ld (Debian: binutils-arm-none-eabi)
qemu-system-arm (Debian: qemu-system-arm)
gdb-multiarch (Debian: gdb-multiarch)
ninja (Debian: ninja-build)
libFuzzer (Debian: libclang-rt-dev)"

# Each row: the argument, the commands on PATH, the exit status, the missing
# list expected (one entry a line, as the script indents them).
check() {
    local argument=$1 commands=$2 want_status=$3 want_missing=$4 bin=$work/bin got status
    rm -rf "$bin" && mkdir -p "$bin"
    for c in id $commands; do ln -s "$(command -v "$c")" "$bin/$c"; done
    got=$(env PATH="$bin" /bin/bash "$src/scripts/install-deps" $argument 2>&1)
    status=$?
    if [ -n "$want_missing" ]; then
        want_missing="install-deps: missing:
$(sed 's/^/  /' <<<"$want_missing")"
    fi
    if [ "$status" != "$want_status" ] || [ "$got" != "$want_missing" ]; then
        echo "FAIL: install-deps $argument with $commands: status $status (expected $want_status), said:"
        echo "$got"
        failures=$((failures + 1))
    fi
}

check "" "$tools" 0 ""
check "" "c++" 1 "cmake (Debian: cmake)
make (Debian: make)
readelf (Debian: binutils)"
# Without a compiler no header can be found either.
check "" "cmake make readelf" 1 "c++ (Debian: g++)
nlohmann/json.hpp (Debian: nlohmann-json3-dev)
openssl/evp.h (Debian: libssl-dev)
elfutils/libdw.h (Debian: libdw-dev)"
check --test "$tools" 1 "$missing_tests"
exit $((failures > 0))
