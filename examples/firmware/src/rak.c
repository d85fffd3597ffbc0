/* RAK (slot 14, -S): a 16-byte aligned lookup table in .rodata.
   SPDX-License-Identifier: MIT */
#include "module.h"

int32_t _initPriority = 50;
int32_t _initStackSize = 384;
FW_STACK(384);

static const uint8_t rak_crc_table[16] __attribute__((aligned(16))) = {
    0x00, 0x1d, 0x3a, 0x27, 0x74, 0x69, 0x4e, 0x53,
    0xe8, 0xf5, 0xd2, 0xcf, 0x9c, 0x81, 0xa6, 0xbb,
};
static const char rak_id[] = "rak"; /* 4 bytes */

uint8_t rak_last = 0x52;
volatile uint8_t rak_crc;
volatile uint32_t rak_pos;

int main(void)
{
    for (;;) {
        uint8_t b = (uint8_t)rak_id[rak_pos % 3] ^ rak_last;
        rak_crc = (uint8_t)((rak_crc << 4) ^ rak_crc_table[(rak_crc >> 4) ^ (b >> 4)]);
        rak_last = b;
        ++rak_pos;
    }
}
