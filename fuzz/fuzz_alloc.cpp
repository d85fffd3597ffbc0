// SPDX-License-Identifier: MIT
// Wrappers installed with the linker's --wrap: each passes the call on, and
// while tracking records or forgets the block in a fixed table (the wrappers
// must not allocate themselves).
#include "fuzz_alloc.h"

#include <cstddef>

extern "C" {
void* __real_malloc(size_t size);
void __real_free(void* p);
void* __real__Znwm(size_t size);
void __real__ZdlPv(void* p);
}

namespace {

enum class FROM { MALLOC, NEW };

struct BLOCK {
    void* p;
    FROM from;
};

constexpr size_t MAX_BLOCKS = 4096;
BLOCK blocks[MAX_BLOCKS];
size_t block_count = 0;
bool tracking = false;

void record(void* p, FROM from)
{
    if (tracking && p && block_count < MAX_BLOCKS)
        blocks[block_count++] = {p, from};
}

void forget(void* p)
{
    if (!tracking || !p)
        return;
    for (size_t i = block_count; i-- > 0;) {
        if (blocks[i].p == p) {
            blocks[i] = blocks[--block_count];
            return;
        }
    }
}

} // namespace

extern "C" {

void* __wrap_malloc(size_t size)
{
    void* p = __real_malloc(size);
    record(p, FROM::MALLOC);
    return p;
}

void __wrap_free(void* p)
{
    forget(p);
    __real_free(p);
}

void* __wrap__Znwm(size_t size)
{
    void* p = __real__Znwm(size);
    record(p, FROM::NEW);
    return p;
}

void __wrap__ZdlPv(void* p)
{
    forget(p);
    __real__ZdlPv(p);
}

// The sized delete goes to the plain one, which the tracker already wraps.
void __wrap__ZdlPvm(void* p, size_t)
{
    __wrap__ZdlPv(p);
}

} // extern "C"

void track_allocations()
{
    block_count = 0;
    tracking = true;
}

void stop_tracking()
{
    tracking = false;
    block_count = 0;
}

void free_tracked()
{
    tracking = false;
    for (size_t i = 0; i < block_count; ++i) {
        if (blocks[i].from == FROM::MALLOC)
            __real_free(blocks[i].p);
        else
            __real__ZdlPv(blocks[i].p);
    }
    block_count = 0;
}
