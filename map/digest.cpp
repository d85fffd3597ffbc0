// SPDX-License-Identifier: MIT
// SHA-256 digests through OpenSSL's libcrypto, so that a published digest of
// an image can be compared with what a loader will be given.
#include "map.h"

#include <openssl/evp.h>

std::string sha256_hex(const uint8_t* data, size_t size)
{
    static const uint8_t nothing = 0;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // The digest itself cannot fail; only its context can fail to be allocated.
    if (EVP_Digest(size ? data : &nothing, size, digest, &length, EVP_sha256(), nullptr) != 1)
        fatal("Out of memory.\n");
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i)
        hex += {digits[digest[i] >> 4], digits[digest[i] & 0xF]};
    return hex;
}

std::string segment_sha256(const MAP_IMAGE& image, size_t index)
{
    const Elf32_Phdr& p = image.phdrs[index];
    if (p.p_filesz == 0 || !inside(p.p_offset, p.p_filesz, 1, image.size))
        return "";
    return sha256_hex(image.bytes + p.p_offset, p.p_filesz);
}
