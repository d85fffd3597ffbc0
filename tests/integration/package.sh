#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the Debian package and the tarball of the build tree, checks what
# they hold, and runs lintian on the package, which must report no error and
# find the tools hardened.
# Exit 77 (skipped) where the Debian packaging tools are missing, unless
# ELF_MERGE_REQUIRE_PACKAGING=1 (CI) makes that a failure.
# usage: package.sh BUILD_DIR WORK_DIR VERSION HARDENED (1 for an optimized build)
set -euo pipefail
build=$1 work=$2 version=$3 hardened=$4
fail() { echo "FAIL: $*"; exit 1; }
for tool in dpkg-deb dpkg-shlibdeps file lintian; do
    command -v "$tool" >/dev/null && continue
    [ "${ELF_MERGE_REQUIRE_PACKAGING:-}" = 1 ] && fail "$tool not found"
    echo "SKIP: $tool not found"
    exit 77
done
rm -rf "$work"
mkdir -p "$work"

for generator in DEB TGZ; do
    cpack --config "$build/CPackConfig.cmake" -B "$work" -G "$generator" >"$work/log" 2>&1 ||
        { cat "$work/log"; fail "cpack -G $generator"; }
done
deb=$work/elf-merge_${version}_$(dpkg --print-architecture).deb
tgz=$work/elf-merge-$version-Linux.tar.gz

# Prints the paths of $2 that the listing $1 lacks.
missing() { comm -13 <(sort <<<"$1") <(tr ' ' '\n' <<<"$2" | sort); }
payload="bin/elf-merge bin/elf-merge-map
share/bash-completion/completions/elf-merge share/bash-completion/completions/elf-merge-map
share/cmake/ElfMerge/ElfMergeConfig.cmake share/cmake/ElfMerge/ElfMergeConfigVersion.cmake
share/cmake/ElfMerge/ElfMergeTargets.cmake share/doc/elf-merge/copyright"

lacks=$(missing "$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./usr/||')" \
    "$payload share/man/man1/elf-merge.1.gz share/man/man1/elf-merge-map.1.gz share/doc/elf-merge/changelog.gz")
[ -z "$lacks" ] || fail "the .deb lacks:" $lacks
lacks=$(missing "$(tar tzf "$tgz" | sed "s|^elf-merge-$version-Linux/||")" \
    "$payload share/man/man1/elf-merge.1 share/man/man1/elf-merge-map.1")
[ -z "$lacks" ] || fail "the tarball lacks:" $lacks

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Section)" = devel ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
# dpkg-shlibdeps gives versioned dependencies on the C and C++ runtimes and
# on OpenSSL's libcrypto, which elf-merge-map's digests need.
[[ $(field Depends) == *"libc6 (>="*"libssl3"*"libstdc++6 (>="* ]] || fail "Depends is '$(field Depends)'"

# The stripped tools still run, and the manual pages are whole gzip files.
dpkg-deb -x "$deb" "$work/root"
[ "$("$work/root/usr/bin/elf-merge-map" --version)" = "elf-merge-map $version" ] || fail "elf-merge-map --version"
gzip -t "$work/root/usr/share/man/man1/"*.1.gz

# An optimized build has Debian's hardening flags: no hardening tag.
lintian --fail-on error --display-info "$deb" | tee "$work/lintian"
if [ "$hardened" = 1 ] && grep -E 'hardening-no-(bindnow|fortify-functions)' "$work/lintian"; then
    fail "lintian finds the tools unhardened"
fi
