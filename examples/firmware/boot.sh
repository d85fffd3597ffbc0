#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots a kernel-mode image of the example firmware under QEMU.
#   boot.sh IMAGE
#   boot.sh --gdb IMAGE
#   boot.sh --fault MODULE IMAGE
# Prints the kernel's lines and exits with its status: 0 when every check
# passed, else the number of failed checks. Exits 77 when qemu-system-arm is
# missing and 124 when the kernel has not ended after $BOOT_TIMEOUT seconds.
# With --gdb, QEMU starts halted at the entry point, with no timeout, and
# waits for GDB on 127.0.0.1, port $ELF_MERGE_GDB_PORT or a free one; the
# command that attaches GDB with IMAGE.gdb (merge.sh writes it) is printed
# first, on standard error. With --fault, the kernel, told through the
# semihosting command line, calls MODULE's fw_fault after probing it, which
# runs an undefined instruction: its trap line names pc and lr, and the boot
# ends non-zero.
set -euo pipefail

gdb=
append=()
if [ "${1:-}" = --gdb ]; then
    gdb=1
    shift
elif [ "${1:-}" = --fault ] && [ $# -eq 3 ]; then
    if ! [[ $2 =~ ^[a-z0-9]{1,15}$ ]]; then
        echo "boot.sh: --fault $2 is not a module name" >&2
        exit 2
    fi
    append=(-append "fault=$2")
    shift 2
fi
if [ $# -ne 1 ]; then
    echo "usage: $0 [--gdb | --fault MODULE] IMAGE" >&2
    exit 2
fi
image=$1
QEMU=${QEMU:-qemu-system-arm}
if ! command -v "$QEMU" >/dev/null 2>&1; then
    echo "boot.sh: $QEMU not found (install qemu-system-arm)" >&2
    exit 77
fi

# The kernel ends the run through semihosting; QEMU's exit status is the one
# it gives. Audio goes to a silent backend that the board's sound device is
# bound to, so that QEMU prints nothing of its own; stdin is not the monitor's.
qemu=("$QEMU" -M versatilepb -cpu arm926 -nographic -semihosting
      -audiodev none,id=silent -global pl041.audiodev=silent -kernel "$image" "${append[@]}")
if [ -z "$gdb" ]; then
    exec timeout "${BOOT_TIMEOUT:-20}" "${qemu[@]}" </dev/null
fi

# A port that nothing on this machine listens on: connecting to it fails.
free_port() {
    local port
    for ((port = 1234; port < 1334; port++)); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    echo "boot.sh: no free port in 1234-1333; set ELF_MERGE_GDB_PORT" >&2
    exit 2
}

port=${ELF_MERGE_GDB_PORT:-$(free_port)}
if ! [[ $port =~ ^[0-9]+$ ]] || [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
    echo "boot.sh: ELF_MERGE_GDB_PORT=$port is not a port (1 to 65535)" >&2
    exit 2
fi
commands=$(cd "$(dirname "$image")" && pwd)/$(basename "$image").gdb
[ -f "$commands" ] || echo "boot.sh: $commands is missing: merge.sh writes it where elf-merge-map is built" >&2
# Under QEMU's BE32 model, each 32-bit word lies little-endian in memory:
# GDB reads registers, words and instructions right as little-endian.
echo "boot.sh: QEMU is halted at the entry point; attach GDB with" >&2
echo "  gdb-multiarch -ex 'set endian little' -x $(printf %q "$commands") -ex 'target remote 127.0.0.1:$port'" >&2
# The stub listens on 127.0.0.1 alone, never on every interface.
exec "${qemu[@]}" -S -gdb "tcp:127.0.0.1:$port" </dev/null
