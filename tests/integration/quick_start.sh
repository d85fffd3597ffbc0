#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's Quick start is what CI proves: the first command installs
# nothing, the second installs what the tests need through the deps script,
# both configure build/ with the same generator, and .ci/run runs the second
# word for word and stops when it fails (set -e alone would not, as a build
# failure comes before the last command of the && list).
# usage: quick_start.sh SOURCE_DIR
set -uo pipefail
src=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

mapfile -t commands < <("$src/scripts/quick-start" "$src/README.md")
[ ${#commands[@]} -eq 2 ] || { fail "the Quick start holds ${#commands[@]} commands, not 2"; exit 1; }
first=${commands[0]} second=${commands[1]}

case $first in *install-deps*) fail "the first command installs packages: $first" ;; esac
case $second in "scripts/install-deps --test && "*) ;; *) fail "the second command does not start with scripts/install-deps --test: $second" ;; esac
# CMake keeps the generator a build directory was first configured with.
generator_of() { grep -o -- '-B build\( -G [^ ]*\)\?' <<<"$1"; }
[ "$(generator_of "$first")" = "$(generator_of "$second")" ] ||
    fail "the commands configure build/ differently: '$(generator_of "$first")' and '$(generator_of "$second")'"
grep -qxF -- "$second || exit 1" "$src/.ci/run" || fail ".ci/run does not run the README's second command, stopping when it fails: $second || exit 1"
exit $((failures > 0))
