// Whether two byte ranges of memory share a byte: the one test behind every
// proof that a fast loop's stores cannot reach what it reads.
#pragma once

#include <stdint.h>

namespace meshjobs {

// Bytes [first, last] of memory.
struct ByteSpan {
    uintptr_t first, last;
};

inline bool Overlap(const ByteSpan& a, const ByteSpan& b) { return a.first <= b.last && b.first <= a.last; }

// The bytes [offset, offset + count) from start; false when empty or wrapping.
inline bool SpanOf(const void* start, int64_t offset, int64_t count, ByteSpan& out) {
    if (count <= 0) return false;
    const uintptr_t first = reinterpret_cast<uintptr_t>(start) + static_cast<uintptr_t>(offset);
    out = {first, first + static_cast<uintptr_t>(count - 1)};
    return out.last >= out.first;
}

// [a, a + aBytes) and [b, b + bBytes) apart.
inline bool Disjoint(const void* a, uint64_t aBytes, const void* b, uint64_t bBytes) {
    const uint64_t x = reinterpret_cast<uintptr_t>(a);
    const uint64_t y = reinterpret_cast<uintptr_t>(b);
    return x + aBytes <= y || y + bBytes <= x;
}

}  // namespace meshjobs
