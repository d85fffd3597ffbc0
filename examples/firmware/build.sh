#!/usr/bin/env bash
# Builds the example firmware modules into bin/.
#   build.sh           rebuild bin/
#   build.sh --check   rebuild into a temporary directory and compare with bin/
# Exits 77 when the cross tools are missing, so a test can count it as skipped.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd)
CLANG=${CLANG:-clang}
LD=${LD:-arm-none-eabi-ld}
MODULES="kernel quenlor vo zu gul rak tej"

for tool in "$CLANG" "$LD"; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "build.sh: $tool not found (install clang and binutils-arm-none-eabi)" >&2
        exit 77
    fi
done

# No -g and sources named relative to src/, so nothing depends on the build path.
CFLAGS="--target=armeb-none-eabi -mcpu=arm926ej-s -ffreestanding -nostdlib -O2
        -fno-builtin -fno-unwind-tables -fno-asynchronous-unwind-tables
        -Wall -Wextra -Werror"

# Raw image: a four-byte tag followed by a byte pattern, $2 bytes in all.
write_image() {
    local out=$1 length=$2 tag=$3 i
    {
        printf '%s' "$tag"
        for ((i = 4; i < length; i++)); do
            printf "\\$(printf '%03o' $(((i * 37 + 11) & 255)))"
        done
    } >"$out"
}

# ld writes ELFOSABI_NONE; the merge tool only takes modules marked ELFOSABI_ARM (97).
set_osabi_arm() {
    printf '\141' | dd of="$1" bs=1 seek=7 conv=notrunc status=none
}

build_into() {
    local out=$1 obj=$work/obj m extra
    mkdir -p "$obj"
    (
        cd "$here/src"
        "$CLANG" $CFLAGS -c start.S -o "$obj/start.o"
        for m in $MODULES; do
            extra=
            [ "$m" = quenlor ] && extra=-mthumb
            "$CLANG" $CFLAGS $extra -c "$m.c" -o "$obj/$m.o"
            "$LD" -EB -n -T "$m.ld" \
                "$obj/start.o" "$obj/$m.o" -o "$out/$m.elf"
            set_osabi_arm "$out/$m.elf"
        done
    )
    write_image "$out/ka1.bin" 257 KA1:     # odd length, loads at 0x3400
    write_image "$out/ka2.bin" 32 KA2:      # loads at 0x12FFFE0
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

if [ "${1:-}" = --check ]; then
    tmp=$work/check
    mkdir -p "$tmp"
    build_into "$tmp"
    status=0
    for f in $MODULES ka1 ka2; do
        case $f in ka*) f=$f.bin ;; *) f=$f.elf ;; esac
        if ! cmp -s "$tmp/$f" "$here/bin/$f"; then
            echo "build.sh: bin/$f differs from a fresh build" >&2
            status=1
        fi
    done
    exit $status
fi

mkdir -p "$here/bin"
build_into "$here/bin"
