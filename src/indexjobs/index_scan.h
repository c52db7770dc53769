// Shared pieces of the index jobs' fast loops: a 16-bit index bound that one
// compare per block decides, and the byte-range tests that prove a loop's
// stores cannot reach anything the exact path would read again.
#pragma once

#include <stdint.h>

#include "meshjobs/records.h"
#include "runtime/byte_ranges.h"
#include "runtime/checks.h"

namespace meshjobs {

// Indices per block of the fast loops: four 8-lane vectors.
inline constexpr int32_t INDEX_BLOCK = 32;

// The values of a 16-bit index that pass CheckIndex on `view`. Empty when
// no 16-bit value can pass, and then there is no fast loop.
struct IndexBound {
    uint16_t low;
    uint16_t high;
    bool empty;
};

// CheckIndex also holds every index to the length, whatever the range says.
template <typename T>
inline int32_t LastPassing(const ArrayView<T>& view) {
    const int32_t lastElement = view.length <= 0 ? -1 : view.length - 1;
    return view.rangeMax < lastElement ? view.rangeMax : lastElement;
}

template <typename T>
inline IndexBound IndexBoundOf(const ArrayView<T>& view) {
    const int32_t low = view.rangeMin < 0 ? 0 : view.rangeMin;
    const int32_t last = LastPassing(view);
    const int32_t high = last > 65535 ? 65535 : last;
    if (low > high) return {0, 0, true};
    return {static_cast<uint16_t>(low), static_cast<uint16_t>(high), false};
}

// Positions [first, answer) pass CheckIndex on `view` as long as first does.
template <typename T>
inline int32_t PassingEnd(const ArrayView<T>& view, int32_t first, int32_t end) {
    const int32_t last = LastPassing(view);
    if (first < view.rangeMin || first < 0 || first > last) return first;
    const int64_t limit = static_cast<int64_t>(last) + 1;
    return limit < end ? static_cast<int32_t>(limit) : end;
}

typedef int16_t I16x8 __attribute__((vector_size(16)));
typedef uint64_t U64x2 __attribute__((vector_size(16)));

// Index values with the top bit flipped, so that signed 16-bit compares and
// maxima, the cheap ones on SSE2, order them as unsigned values.
inline I16x8 LoadBiased(const uint16_t* p) {
    I16x8 v;
    __builtin_memcpy(&v, p, sizeof v);
    return v ^ static_cast<int16_t>(-0x8000);
}

inline I16x8 SplatBiased(uint16_t x) {
    const int16_t b = static_cast<int16_t>(x ^ 0x8000u);
    return I16x8{b, b, b, b, b, b, b, b};
}

inline I16x8 Max(I16x8 a, I16x8 b) {
#if defined(__SSE2__) && !defined(__clang__)  // clang finds pmaxsw in the select itself
    return __builtin_ia32_pmaxsw128(a, b);
#else
    const I16x8 greater = a > b;
    return (a & greater) | (b & ~greater);
#endif
}

inline bool NoneSet(I16x8 lanes) {
    const U64x2 halves = reinterpret_cast<U64x2>(lanes);
    return (halves[0] | halves[1]) == 0;
}

// True when all INDEX_BLOCK values at p lie in [low, high] (both biased);
// only then are they folded into the lane-wise maximum (biased too).
inline bool BlockInBound(const uint16_t* p, I16x8 low, I16x8 high, I16x8& maximum) {
    I16x8 outside{};
    I16x8 folded = maximum;
    for (int k = 0; k < INDEX_BLOCK; k += 8) {
        const I16x8 v = LoadBiased(p + k);
        outside |= (v < low) | (v > high);
        folded = Max(folded, v);
    }
    if (!NoneSet(outside)) return false;
    maximum = folded;
    return true;
}

// Bound test alone, for loops that need no maximum.
inline bool BlockInBound(const uint16_t* p, I16x8 low, I16x8 high) {
    I16x8 outside{};
    for (int k = 0; k < INDEX_BLOCK; k += 8) {
        const I16x8 v = LoadBiased(p + k);
        outside |= (v < low) | (v > high);
    }
    return NoneSet(outside);
}

inline uint32_t HorizontalMax(I16x8 biased) {
    uint32_t result = 0;
    for (int k = 0; k < 8; ++k) {
        const uint32_t v = static_cast<uint16_t>(biased[k]) ^ 0x8000u;
        result = v > result ? v : result;
    }
    return result;
}

}  // namespace meshjobs
