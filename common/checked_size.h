// Byte counts of pages and buffers, checked against the address space: on a
// 32-bit host the product of a page's sizes can exceed it, and a count that
// wrapped would allocate a short buffer that the page then overruns.
#pragma once

#include <cstddef>
#include <cstdint>

// a * b * c, or SIZE_MAX when that does not fit a size_t: no allocation of
// SIZE_MAX bytes succeeds, so the caller meets an ordinary lack of memory.
inline size_t checked_bytes(size_t a, size_t b, size_t c = 1) {
    size_t ab = 0, abc = 0;
    if (__builtin_mul_overflow(a, b, &ab) || __builtin_mul_overflow(ab, c, &abc)) return SIZE_MAX;
    return abc;
}
