#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots a kernel-mode image of the example firmware under QEMU.
#   boot.sh IMAGE
# Prints the kernel's lines and exits with its status: 0 when every check
# passed, else the number of failed checks. Exits 77 when qemu-system-arm is
# missing and 124 when the kernel has not ended after $BOOT_TIMEOUT seconds.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 IMAGE" >&2
    exit 2
fi
QEMU=${QEMU:-qemu-system-arm}
if ! command -v "$QEMU" >/dev/null 2>&1; then
    echo "boot.sh: $QEMU not found (install qemu-system-arm)" >&2
    exit 77
fi

# The kernel ends the run through semihosting; QEMU's exit status is the one
# it gives. Audio goes to a silent backend that the board's sound device is
# bound to, so that QEMU prints nothing of its own; stdin is not the monitor's.
exec timeout "${BOOT_TIMEOUT:-20}" "$QEMU" -M versatilepb -cpu arm926 -nographic -semihosting \
    -audiodev none,id=silent -global pl041.audiodev=silent -kernel "$1" </dev/null
