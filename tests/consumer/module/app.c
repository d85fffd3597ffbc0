// SPDX-License-Identifier: MIT
// The smallest module: an entry point that stays where it is.
void _start(void)
{
    for (;;) {
    }
}
