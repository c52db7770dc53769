// Vertices in vector lanes: the codec's decode, encode and the slots'
// arithmetic on N vertices at once, component k of every vertex in one
// vector, with the same single-precision operations in the same order as the
// per-vertex converters. Four lanes are SSE2 on x86-64 and NEON on AArch64
// through the compiler's vector extensions; eight lanes exist only inside
// functions compiled for AVX2. Everything here is inlined into the loops of
// each instruction-set variant, so that the whole loop is compiled for it.
#pragma once

#include <stdint.h>

#include "conversion/converters.h"
#include "conversion/range_plan.h"
#include "runtime/kernel_set.h"

// The eight-lane helpers are always inlined into AVX2 functions, so no call
// passes their vectors across the ABI the warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace meshjobs::lanes {

// Generic vectors: SSE2 on x86-64, NEON on AArch64, same operations on both;
// eight lanes only inside the AVX2 variant.
template <int N>
struct Vec;
template <>
struct Vec<4> {
    typedef float F __attribute__((vector_size(16)));
    typedef uint32_t U __attribute__((vector_size(16)));
    typedef int32_t I __attribute__((vector_size(16)));
};
template <>
struct Vec<8> {
    typedef float F __attribute__((vector_size(32)));
    typedef uint32_t U __attribute__((vector_size(32)));
    typedef int32_t I __attribute__((vector_size(32)));
};
template <>
struct Vec<16> {
    typedef float F __attribute__((vector_size(64)));
    typedef uint32_t U __attribute__((vector_size(64)));
    typedef int32_t I __attribute__((vector_size(64)));
};
typedef Vec<4>::F F4;
typedef Vec<4>::U U4;
typedef Vec<4>::I I4;
typedef int16_t H8 __attribute__((vector_size(16)));

// Inlined into the entry of each instruction-set variant, so that the whole
// block loop is compiled for that variant.
#define MESHJOBS_INLINE inline __attribute__((always_inline))
// At -O2 the compiler keeps these short loops over vector arrays as loops,
// and the arrays on the stack.
#define MESHJOBS_UNROLL _Pragma("GCC unroll 16")

#if defined(__x86_64__)
typedef char B16 __attribute__((vector_size(16)));
typedef char B32 __attribute__((vector_size(32)));
typedef char B64 __attribute__((vector_size(64)));

// Signed bytes below -127 raised to it: the signed packs' clamp ends at -128.
// In and out through a pointer: a vector argument of a function without the
// caller's target changes the ABI. One compiler makes a compare and a blend
// of the generic form.
#if defined(__clang__)
template <class B>
MESHJOBS_INLINE void AtLeastMinus127(B* bytes) {
    *bytes = __builtin_elementwise_max(*bytes, B{} - 127);
}
#else
__attribute__((target("avx2"))) inline void AtLeastMinus127(B16* bytes) {
    *bytes = __builtin_ia32_pmaxsb128(*bytes, B16{} - 127);
}
__attribute__((target("avx2"))) inline void AtLeastMinus127(B32* bytes) {
    *bytes = __builtin_ia32_pmaxsb256(*bytes, B32{} - 127);
}
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void AtLeastMinus127(B64* bytes) {
    *bytes = __builtin_ia32_pmaxsb512_mask(*bytes, B64{} - 127, *bytes, ~0ull);
}
#endif

// The byte shuffle's order that takes byte k of each word to the word's top
// byte and zeros (an index with its top bit set) below it.
template <int N>
MESHJOBS_INLINE void TopByteOrder(typename Vec<N>::U* order, int k) {
    MESHJOBS_UNROLL
    for (int lane = 0; lane < N; ++lane) (*order)[lane] = 0x808080u | static_cast<uint32_t>(4 * (lane % 4) + k) << 24;
}
__attribute__((target("avx2"))) inline void ByteToTop(Vec<4>::U* out, const Vec<4>::U* words, int k) {
    Vec<4>::U order;
    TopByteOrder<4>(&order, k);
    *out = reinterpret_cast<Vec<4>::U>(
        __builtin_ia32_pshufb128(reinterpret_cast<B16>(*words), reinterpret_cast<B16>(order)));
}
__attribute__((target("avx2"))) inline void ByteToTop(Vec<8>::U* out, const Vec<8>::U* words, int k) {
    Vec<8>::U order;
    TopByteOrder<8>(&order, k);
    *out = reinterpret_cast<Vec<8>::U>(
        __builtin_ia32_pshufb256(reinterpret_cast<B32>(*words), reinterpret_cast<B32>(order)));
}

typedef Vec<8>::F F8;
typedef Vec<8>::U U8;
typedef int16_t H16 __attribute__((vector_size(32)));

// The processor's half conversions, exact against HalfToFloat and, rounding
// in the current mode (immediate 4), against FloatToHalf: each half in the
// low 16 bits of its word.
__attribute__((target("f16c"))) inline F4 HalvesToFloats(U4 halves) {
    const H8 packed = __builtin_shufflevector(reinterpret_cast<H8>(halves), reinterpret_cast<H8>(halves), 0, 2, 4, 6, 0, 2, 4, 6);
    return __builtin_ia32_vcvtph2ps(packed);
}
__attribute__((target("f16c"))) inline U4 FloatPairsToHalves(F4 low, F4 high) {
    const H8 a = __builtin_ia32_vcvtps2ph(low, 4), b = __builtin_ia32_vcvtps2ph(high, 4);
    return reinterpret_cast<U4>(__builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11));
}
// Eight lanes: the low (odd = false) or high halves of the words.
// 256-bit vectors go in and out through pointers: callers are templates
// without the AVX target, across which a by-value AVX vector changes the ABI.
__attribute__((target("avx2,f16c"))) inline void HalvesToFloats8(F8* out, const U8* words, bool odd) {
    const H16 h = reinterpret_cast<H16>(*words);
    const H8 packed = odd ? __builtin_shufflevector(h, h, 1, 3, 5, 7, 9, 11, 13, 15)
                          : __builtin_shufflevector(h, h, 0, 2, 4, 6, 8, 10, 12, 14);
    *out = __builtin_ia32_vcvtph2ps256(packed);
}
// Two components' halves in the low and high 16 bits of each word.
__attribute__((target("avx2,f16c"))) inline void FloatPairsToHalves8(U8* out, const F8* low, const F8* high) {
    const H8 a = __builtin_ia32_vcvtps2ph256(*low, 4), b = __builtin_ia32_vcvtps2ph256(*high, 4);
    *out = reinterpret_cast<U8>(
        __builtin_shufflevector(a, b, 0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15));
}
__attribute__((target("avx2"))) inline void SquareRoots8(F8* out, const F8* value) { *out = __builtin_ia32_sqrtps256(*value); }

// Sixteen lanes, inside the AVX-512 kernels only; every operation rounds in
// the current mode (the rounding operand 4). The two compilers name some of
// the builtins apart.
typedef Vec<16>::F F16;
typedef Vec<16>::U U16;
typedef Vec<16>::I I16;
typedef int16_t H32 __attribute__((vector_size(64)));
typedef int16_t H16x __attribute__((vector_size(32)));
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void HalvesToFloats16(F16* out, const U16* words, bool odd) {
    const H32 h = reinterpret_cast<H32>(*words);
    const H16x packed = odd ? __builtin_shufflevector(h, h, 1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31)
                            : __builtin_shufflevector(h, h, 0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    *out = __builtin_ia32_vcvtph2ps512_mask(packed, F16{}, 0xFFFF, 4);
}
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void FloatPairsToHalves16(U16* out, const F16* low,
                                                                                const F16* high) {
    const H16x a = __builtin_ia32_vcvtps2ph512_mask(*low, 4, H16x{}, 0xFFFF);
    const H16x b = __builtin_ia32_vcvtps2ph512_mask(*high, 4, H16x{}, 0xFFFF);
#if defined(__clang__)
    *out = reinterpret_cast<U16>(__builtin_shufflevector(a, b, 0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23, 8,
                                                         24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31));
#else
    // The same interleave; written as a shuffle, it costs one compiler a
    // move that clears the upper half of each source first.
    typedef int32_t I8x __attribute__((vector_size(32)));
    const H32 wideA = reinterpret_cast<H32>(__builtin_ia32_si512_256si(reinterpret_cast<I8x>(a)));
    const H32 wideB = reinterpret_cast<H32>(__builtin_ia32_si512_256si(reinterpret_cast<I8x>(b)));
    const H32 order{0,  32, 1,  33, 2,  34, 3,  35, 4,  36, 5,  37, 6,  38, 7,  39,
                    8,  40, 9,  41, 10, 42, 11, 43, 12, 44, 13, 45, 14, 46, 15, 47};
    *out = reinterpret_cast<U16>(__builtin_ia32_vpermt2varhi512_mask(order, wideA, wideB, ~0u));
#endif
}
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void SquareRoots16(F16* out, const F16* value) {
#if defined(__clang__)
    *out = __builtin_ia32_sqrtps512(*value, 4);
#else
    *out = __builtin_ia32_sqrtps512_mask(*value, *value, 0xFFFF, 4);
#endif
}
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void CurrentModeIntegers16(I16* out, const F16* value) {
    *out = __builtin_ia32_cvtps2dq512_mask(*value, I16{}, 0xFFFF, 4);
}
// As PackBytes4, on sixteen lanes.
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void PackBytes16(U16* out, const I16* components,
                                                                       bool isSigned) {
    const B64 order{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  // the same in each 128-bit lane
                    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,  //
                    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
#if defined(__clang__)
    const H32 xy = __builtin_ia32_packssdw512(components[0], components[1]);
    const H32 zw = __builtin_ia32_packssdw512(components[2], components[3]);
    B64 bytes = isSigned ? __builtin_ia32_packsswb512(xy, zw) : __builtin_ia32_packuswb512(xy, zw);
    if (isSigned) AtLeastMinus127(&bytes);
    *out = reinterpret_cast<U16>(__builtin_ia32_pshufb512(bytes, order));
#else
    const H32 xy = __builtin_ia32_packssdw512_mask(components[0], components[1], H32{}, ~0u);
    const H32 zw = __builtin_ia32_packssdw512_mask(components[2], components[3], H32{}, ~0u);
    B64 bytes = isSigned ? __builtin_ia32_packsswb512_mask(xy, zw, B64{}, ~0ull)
                         : __builtin_ia32_packuswb512_mask(xy, zw, B64{}, ~0ull);
    if (isSigned) AtLeastMinus127(&bytes);
    *out = reinterpret_cast<U16>(__builtin_ia32_pshufb512_mask(bytes, order, B64{}, ~0ull));
#endif
}
// Byte k of each word at the word's top, zeros below it: one byte shuffle.
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void ByteToTop(U16* out, const U16* words, int k) {
    U16 order;
    TopByteOrder<16>(&order, k);
#if defined(__clang__)
    *out = reinterpret_cast<U16>(
        __builtin_ia32_pshufb512(reinterpret_cast<B64>(*words), reinterpret_cast<B64>(order)));
#else
    *out = reinterpret_cast<U16>(
        __builtin_ia32_pshufb512_mask(reinterpret_cast<B64>(*words), reinterpret_cast<B64>(order), B64{}, ~0ull));
#endif
}
// Whether a lane of a or b is a NaN: one unordered compare.
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline bool AnyNaN16(const F16* a, const F16* b) {
    return __builtin_ia32_cmpps512_mask(*a, *b, 3, 0xFFFF, 4) != 0;
}
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void Min16(F16* out, const F16* value, const F16* limit) {
#if defined(__clang__)
    *out = __builtin_ia32_minps512(*value, *limit, 4);
#else
    *out = __builtin_ia32_minps512_mask(*value, *limit, *value, 0xFFFF, 4);
#endif
}
__attribute__((target(MESHJOBS_AVX512_TARGET))) inline void Max16(F16* out, const F16* value, const F16* limit) {
#if defined(__clang__)
    *out = __builtin_ia32_maxps512(*value, *limit, 4);
#else
    *out = __builtin_ia32_maxps512_mask(*value, *limit, *value, 0xFFFF, 4);
#endif
}
#endif

constexpr int LANES = 4;

template <int N>
struct Lanes {
    typename Vec<N>::F c[4];  // components x, y, z, w, one vertex per lane
};

template <int N>
struct WordLanes {
    typename Vec<N>::U w[4];  // words w0..w3, one vertex per lane
};

// Lane by lane rather than `U{} + value`: in a template compiled without
// AVX-512 the compiler breaks that sum into sixteen masked inserts before
// inlining it into the sixteen-lane kernels.
template <int N>
MESHJOBS_INLINE typename Vec<N>::U SplatU(uint32_t value) {
    typename Vec<N>::U lanes;
    MESHJOBS_UNROLL
    for (int lane = 0; lane < N; ++lane) lanes[lane] = value;
    return lanes;
}
template <int N>
MESHJOBS_INLINE typename Vec<N>::F Splat(float value) {
    return __builtin_bit_cast(typename Vec<N>::F, SplatU<N>(__builtin_bit_cast(uint32_t, value)));
}
template <class U>
MESHJOBS_INLINE auto AsFloat(U bits) {
    typedef float F __attribute__((vector_size(sizeof(U))));
    return __builtin_bit_cast(F, bits);
}
template <class F>
MESHJOBS_INLINE auto AsBits(F value) {
    typedef uint32_t U __attribute__((vector_size(sizeof(F))));
    return __builtin_bit_cast(U, value);
}
// Lane by lane what CanonicalNaN does.
template <class F>
MESHJOBS_INLINE F CanonicalNaNs(F value) {
    return value == value ? value : AsFloat(AsBits(F{}) + CANONICAL_NAN_BITS);
}

// CanonicalNaNs on the first COUNT components. Sixteen lanes test them all
// first: NaNs are rare, and a test covers two components where each one's
// blend would cost about as much.
template <int COUNT, int N>
MESHJOBS_INLINE void CanonicalNaNsOf(Lanes<N>& v) {
#if defined(__x86_64__)
    if constexpr (N == 16) {
        static_assert(COUNT >= 1 && COUNT <= 4);
        const bool any =
            AnyNaN16(&v.c[0], &v.c[COUNT > 1 ? 1 : 0]) || (COUNT > 2 && AnyNaN16(&v.c[2], &v.c[COUNT - 1]));
        if (!any) return;
    }
#endif
    MESHJOBS_UNROLL
    for (int k = 0; k < COUNT; ++k) v.c[k] = CanonicalNaNs(v.c[k]);
}

// Rows of four words to columns and back (its own inverse); with eight lanes
// the same within each 16-byte half, so row r holds vertices r and r + 4.
MESHJOBS_INLINE void Transpose(U4& a, U4& b, U4& c, U4& d) {
    const U4 t0 = __builtin_shufflevector(a, b, 0, 4, 1, 5), t1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const U4 t2 = __builtin_shufflevector(c, d, 0, 4, 1, 5), t3 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    c = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}
#if defined(__x86_64__)
MESHJOBS_INLINE void Transpose(U8& a, U8& b, U8& c, U8& d) {
    const U8 t0 = __builtin_shufflevector(a, b, 0, 8, 1, 9, 4, 12, 5, 13);
    const U8 t1 = __builtin_shufflevector(a, b, 2, 10, 3, 11, 6, 14, 7, 15);
    const U8 t2 = __builtin_shufflevector(c, d, 0, 8, 1, 9, 4, 12, 5, 13);
    const U8 t3 = __builtin_shufflevector(c, d, 2, 10, 3, 11, 6, 14, 7, 15);
    a = __builtin_shufflevector(t0, t2, 0, 1, 8, 9, 4, 5, 12, 13);
    b = __builtin_shufflevector(t0, t2, 2, 3, 10, 11, 6, 7, 14, 15);
    c = __builtin_shufflevector(t1, t3, 0, 1, 8, 9, 4, 5, 12, 13);
    d = __builtin_shufflevector(t1, t3, 2, 3, 10, 11, 6, 7, 14, 15);
}
#endif

#if defined(__x86_64__)
// The processor's own conversion in the current mode (MXCSR, which is where
// the mode lives for single-precision arithmetic on x86-64).
typedef int32_t I8 __attribute__((vector_size(32)));
__attribute__((target("avx2"))) inline void CurrentModeIntegers8(I8* out, const F8* value) {
    *out = __builtin_ia32_cvtps2dq256(*value);
}
#endif

// RoundToInteger lane by lane, for the clamped products the 8-bit encoders
// round (|y| ≤ 255): on x86-64 the conversion instruction, which rounds in the
// current mode like the magic-number addition (and gives INT_MIN where a
// product clamped only from above is out of range), elsewhere that addition.
template <class F>
MESHJOBS_INLINE auto RoundToIntegers(F y) {
    typedef int32_t I __attribute__((vector_size(sizeof(F))));
#if defined(__x86_64__)
    if constexpr (sizeof(F) == 16) {
        return reinterpret_cast<I>(__builtin_ia32_cvtps2dq(y));
    } else if constexpr (sizeof(F) == 32) {
        I result;
        CurrentModeIntegers8(&result, &y);
        return result;
    } else {
        I result;
        CurrentModeIntegers16(&result, &y);
        return result;
    }
#endif
    const auto sign = AsBits(y) & 0x80000000u;
    const F sum = y + AsFloat(sign | 0x4B400000u);
    const I magnitude = reinterpret_cast<I>((AsBits(sum) & 0x7FFFFFFFu) - 0x4B400000u);
    return sign != 0u ? -magnitude : magnitude;
}

#if defined(__x86_64__)
__attribute__((target("avx"))) inline void Min8(F8* out, const F8* value, const F8* limit) {
    *out = __builtin_ia32_minps256(*value, *limit);
}
__attribute__((target("avx"))) inline void Max8(F8* out, const F8* value, const F8* limit) {
    *out = __builtin_ia32_maxps256(*value, *limit);
}
#endif

#if defined(__x86_64__)
// Four integer components packed into one word per vertex, component k in
// byte k, each clamped to its format: 0..255, or -127..127 when signed. The
// packs saturate, which is the clamp but for the signed -128, and the
// shuffle puts each vertex's four bytes together. Encode leaves these
// clamps to them.
__attribute__((target("avx2"))) inline U4 PackBytes4(const I4* components, bool isSigned) {
    typedef int16_t S8 __attribute__((vector_size(16)));
    const S8 xy = __builtin_ia32_packssdw128(components[0], components[1]);
    const S8 zw = __builtin_ia32_packssdw128(components[2], components[3]);
    B16 bytes = isSigned ? __builtin_ia32_packsswb128(xy, zw) : __builtin_ia32_packuswb128(xy, zw);
    if (isSigned) AtLeastMinus127(&bytes);
    const B16 order{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    return reinterpret_cast<U4>(__builtin_ia32_pshufb128(bytes, order));
}
// As PackBytes4, eight lanes: the packs work within 128-bit halves.
__attribute__((target("avx2"))) inline void PackBytes8(U8* out, const I8* components, bool isSigned) {
    typedef int16_t S16 __attribute__((vector_size(32)));
    const S16 xy = __builtin_ia32_packssdw256(components[0], components[1]);
    const S16 zw = __builtin_ia32_packssdw256(components[2], components[3]);
    B32 bytes = isSigned ? __builtin_ia32_packsswb256(xy, zw) : __builtin_ia32_packuswb256(xy, zw);
    if (isSigned) AtLeastMinus127(&bytes);
    const B32 order{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15,
                    0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    *out = reinterpret_cast<U8>(__builtin_ia32_pshufb256(bytes, order));
}
#endif

// value < limit ? value : limit, lane by lane (a NaN gives the limit): on
// x86-64 exactly what the min instruction does with its operands this way
// round.
template <class F>
MESHJOBS_INLINE F AtMost(F value, F limit) {
#if defined(__x86_64__)
    if constexpr (sizeof(F) == 16) {
        return __builtin_ia32_minps(value, limit);
    } else if constexpr (sizeof(F) == 32) {
        F result;
        Min8(&result, &value, &limit);
        return result;
    } else {
        F result;
        Min16(&result, &value, &limit);
        return result;
    }
#endif
    return value < limit ? value : limit;
}
// value > limit ? value : limit, lane by lane.
template <class F>
MESHJOBS_INLINE F AtLeast(F value, F limit) {
#if defined(__x86_64__)
    if constexpr (sizeof(F) == 16) {
        return __builtin_ia32_maxps(value, limit);
    } else if constexpr (sizeof(F) == 32) {
        F result;
        Max8(&result, &value, &limit);
        return result;
    } else {
        F result;
        Max16(&result, &value, &limit);
        return result;
    }
#endif
    return value > limit ? value : limit;
}

// Whether a kernel set on N lanes has the x86 byte instructions: the byte
// shuffle and the saturating packs.
template <int N, KernelSet SET>
constexpr bool HasByteInstructions() {
#if defined(__x86_64__)
    return N == 16 || SET != KernelSet::Portable;
#else
    return false;
#endif
}

template <int N, KernelSet SET>
MESHJOBS_INLINE Lanes<N> Decode(const WordLanes<N>& words, uint32_t formatByte) {
    typedef typename Vec<N>::F F;
    typedef typename Vec<N>::I I;
    Lanes<N> value;
    const uint32_t format = ClampFormat(formatByte, FORMAT_UNORM8);
    // Singles first: the common source, and no conversion at all.
    if (format == FORMAT_FLOAT32) {
        MESHJOBS_UNROLL
        for (int k = 0; k < 4; ++k) value.c[k] = AsFloat(words.w[k]);
        return value;
    }
    switch (format) {
        case FORMAT_UNORM8:
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k)
                value.c[k] = __builtin_convertvector(reinterpret_cast<I>(words.w[0] >> (8 * k) & 0xFFu), F) *
                             Splat<N>(BitsToFloat(UNORM8_SCALE_BITS));
            break;
        case FORMAT_SNORM8:
            // Byte k at the top of its word, zeros below: b · 2^24 converts
            // exactly, and times the scale over 2^24 it is the exact b · scale,
            // rounded once in the same mode. Where the byte shuffle exists it
            // takes one operation for the two shifts.
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) {
                typename Vec<N>::U top = words.w[0] << (24 - 8 * k) & 0xFF000000u;
#if defined(__x86_64__)
                // In place of the shift; the top byte needs the mask alone.
                if constexpr (HasByteInstructions<N, SET>())
                    if (k < 3) ByteToTop(&top, &words.w[0], k);
#endif
                const F p =
                    __builtin_convertvector(reinterpret_cast<I>(top), F) * Splat<N>(BitsToFloat(SNORM8_TOP_SCALE_BITS));
                value.c[k] = AtLeast(p, Splat<N>(-1.0f));
            }
            break;
        case FORMAT_FLOAT16:
#if defined(__x86_64__)
            if constexpr (N == 16) {
                MESHJOBS_UNROLL
                for (int k = 0; k < 4; ++k) HalvesToFloats16(&value.c[k], &words.w[k / 2], k % 2 != 0);
                break;
            } else if constexpr (SET != KernelSet::Portable && N == 8) {
                MESHJOBS_UNROLL
                for (int k = 0; k < 4; ++k) HalvesToFloats8(&value.c[k], &words.w[k / 2], k % 2 != 0);
                break;
            } else if constexpr (SET != KernelSet::Portable) {
                MESHJOBS_UNROLL
                for (int k = 0; k < 4; ++k) value.c[k] = HalvesToFloats(words.w[k / 2] >> (16 * (k % 2)) & 0xFFFFu);
                break;
            }
#endif
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) {
                const typename Vec<N>::U halves = words.w[k / 2] >> (16 * (k % 2));
                value.c[k] = F{};  // every lane is written; said so for the compiler's uninitialised-use check
                MESHJOBS_UNROLL
                for (int lane = 0; lane < N; ++lane) value.c[k][lane] = HalfToFloat(static_cast<uint16_t>(halves[lane]));
            }
            break;
        default:
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) value.c[k] = AsFloat(words.w[k]);
            break;
    }
    return value;
}

// ZERO_W: the fourth component is zero (a normal's), whose byte is zero in
// every rounding mode; the compiler cannot fold the clamp and the product
// for it.
template <int N, KernelSet SET, bool ZERO_W = false>
MESHJOBS_INLINE WordLanes<N> Encode(const Lanes<N>& value, uint32_t format) {
    typedef typename Vec<N>::F F;
    typedef typename Vec<N>::U U;
    WordLanes<N> words{};
    switch (format) {
        case FORMAT_UNORM8:
        case FORMAT_SNORM8: {
            const bool isSigned = format == FORMAT_SNORM8;
            // Each a constant, chosen whole: a vector built from the chosen
            // number takes a move and three inserts.
            const F low = isSigned ? Splat<N>(-1.0f) : Splat<N>(0.0f);
            const F scale = isSigned ? Splat<N>(127.0f) : Splat<N>(255.0f);
            // Where the saturating packs store the bytes they also clamp from
            // below: a value under the format's lowest (-1 or 0; none is a NaN
            // after AtMost) gives an integer at or under the lowest byte, or
            // the conversion's INT_MIN.
            constexpr bool packs = HasByteInstructions<N, SET>();
            typename Vec<N>::I integers[4];
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) {
                const F atMost = AtMost(value.c[k], Splat<N>(1.0f));
                integers[k] = ZERO_W && k == 3 ? typename Vec<N>::I{}
                                               : RoundToIntegers((packs ? atMost : AtLeast(atMost, low)) * scale);
            }
#if defined(__x86_64__)
            if constexpr (packs) {
                if constexpr (N == 4) {
                    words.w[0] = PackBytes4(integers, isSigned);
                } else if constexpr (N == 8) {
                    PackBytes8(&words.w[0], integers, isSigned);
                } else {
                    PackBytes16(&words.w[0], integers, isSigned);
                }
                break;
            }
#endif
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) words.w[0] |= (reinterpret_cast<U>(integers[k]) & 0xFFu) << (8 * k);
            break;
        }
        case FORMAT_FLOAT16:
#if defined(__x86_64__)
            if constexpr (N == 16) {
                FloatPairsToHalves16(&words.w[0], &value.c[0], &value.c[1]);
                FloatPairsToHalves16(&words.w[1], &value.c[2], &value.c[3]);
                break;
            } else if constexpr (SET != KernelSet::Portable && N == 8) {
                FloatPairsToHalves8(&words.w[0], &value.c[0], &value.c[1]);
                FloatPairsToHalves8(&words.w[1], &value.c[2], &value.c[3]);
                break;
            } else if constexpr (SET != KernelSet::Portable) {
                words.w[0] = FloatPairsToHalves(value.c[0], value.c[1]);
                words.w[1] = FloatPairsToHalves(value.c[2], value.c[3]);
                break;
            }
#endif
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) {
                U halves;
                MESHJOBS_UNROLL
                for (int lane = 0; lane < N; ++lane) halves[lane] = FloatToHalf(value.c[k][lane]);
                words.w[k / 2] |= halves << (16 * (k % 2));
            }
            break;
        default:
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) words.w[k] = AsBits(value.c[k]);
            break;
    }
    return words;
}

// 1 / sqrt(x·x + y·y + z·z) on x, y, z: a correctly rounded root and a true
// division, as the converters do.
template <int N>
MESHJOBS_INLINE void Renormalise(Lanes<N>& v) {
    typedef typename Vec<N>::F F;
    const F lengthSquared = (v.c[0] * v.c[0] + v.c[1] * v.c[1]) + v.c[2] * v.c[2];
    F root;
#if defined(__x86_64__)
    if constexpr (N == 16) {
        SquareRoots16(&root, &lengthSquared);
    } else if constexpr (N == 8) {
        SquareRoots8(&root, &lengthSquared);
    } else if constexpr (N == 4) {
        root = __builtin_ia32_sqrtps(lengthSquared);
    } else
#endif
    {
        MESHJOBS_UNROLL
        for (int lane = 0; lane < N; ++lane) root[lane] = __builtin_sqrtf(lengthSquared[lane]);
    }
    const F scale = Splat<N>(1.0f) / root;
    MESHJOBS_UNROLL
    for (int k = 0; k < 3; ++k) v.c[k] = v.c[k] * scale;
}

#if defined(__x86_64__)
// The first `count` words from `from`, zero after them; the bytes past them
// are not read, so the load cannot fault past a stream's end.
__attribute__((target("avx2"))) inline U4 LeadingWords(const uint8_t* from, int64_t count) {
    const I4 mask = I4{0, 1, 2, 3} < static_cast<int32_t>(count < 4 ? count : 4);
    return reinterpret_cast<U4>(__builtin_ia32_maskloadd(reinterpret_cast<const I4*>(from), mask));
}
#endif

// The codec's LoadWordsIn as a vector: whole loads inline, the rest (short
// streams, no data) through LoadWordsIn itself, whose words stay in
// registers, or with AVX2 one masked load.
template <KernelSet SET = KernelSet::Portable>
MESHJOBS_INLINE U4 LoadVectorIn(const uint8_t* data, int64_t streamWords, int64_t byteOffset) {
    const int64_t available = WordsAvailable(streamWords, byteOffset);
    U4 words;
    if (available >= 4) {
        __builtin_memcpy(&words, data + (byteOffset & ~int64_t{3}), 16);
        return words;
    }
#if defined(__x86_64__)
    if constexpr (SET != KernelSet::Portable)
        if (available > 0) return LeadingWords(data + (byteOffset & ~int64_t{3}), available);
#endif
    const RawWords raw = LoadWordsIn(data, streamWords, byteOffset);
    words = U4{raw.w[0], raw.w[1], raw.w[2], raw.w[3]};
    return words;
}

template <KernelSet SET = KernelSet::Portable>
MESHJOBS_INLINE U4 LoadVector(const ArrayView<uint8_t>& stream, int64_t byteOffset) {
    return LoadVectorIn<SET>(stream.data, StreamWords(stream), byteOffset);
}

// Where each lane of a block loads from: its vertex's base in each source
// stream (a short block's spare lanes repeat its last vertex), and the slot
// offsets whose 16-byte loads lie in the stream for every lane. With a step
// of whole words every base is word-aligned, so a slot's load starts at its
// lane's `vertexAddress` plus the offset's whole words; other steps leave the
// window empty and take the codec's loads. Addresses rather than pointers:
// a lane's may lie past a short stream, or a missing one, and is then never
// loaded from.
struct BlockLoads {
    int64_t bases[2][LANES];
    uintptr_t vertexAddress[2][LANES];
    int64_t wholeFrom[2], wholeTo[2];
    int64_t streamWords[2];
};

// Only the streams the plan loads from (`read`, bit s for stream s) are
// worked out.
MESHJOBS_INLINE BlockLoads BlockLoadsOf(const ConvertVertexLayoutRecord& record, int32_t first, int live,
                                        unsigned read) {
    const int64_t sourceStride1 = record.sourceStride1;
    const int64_t steps[2] = {record.sourceStride0, sourceStride1 < 0 ? -sourceStride1 : sourceStride1};
    const ArrayView<uint8_t>* const streams[2] = {&record.sourceStream0, &record.sourceStream1};
    BlockLoads loads;
    MESHJOBS_UNROLL
    for (int s = 0; s < 2; ++s) {
        if ((read >> s & 1u) == 0) continue;
        MESHJOBS_UNROLL
        for (int lane = 0; lane < LANES; ++lane) {
            loads.bases[s][lane] = steps[s] * (int64_t{first} + (lane < live ? lane : live - 1));
            loads.vertexAddress[s][lane] =
                reinterpret_cast<uintptr_t>(streams[s]->data) + static_cast<uintptr_t>(loads.bases[s][lane]);
        }
        const int64_t a = loads.bases[s][0], b = loads.bases[s][LANES - 1];
        loads.streamWords[s] = StreamWords(*streams[s]);
        loads.wholeFrom[s] = steps[s] % 4 == 0 ? -(a < b ? a : b) : INT64_MAX;
        loads.wholeTo[s] = LastWholeLoad(loads.streamWords[s]) - (a < b ? b : a);
    }
    return loads;
}

// Loads slot k of the four vertices of a block, word j of every vertex in
// w[j]: whole 16-byte loads when the slot's offset lies in its stream's
// window for the block.
template <KernelSet SET>
MESHJOBS_INLINE WordLanes<4> LoadLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                       const BlockLoads& loads) {
    const int s = slot.stream1Source ? 1 : 0;
    WordLanes<4> words;
    if (slot.sourceOffset >= loads.wholeFrom[s] && slot.sourceOffset <= loads.wholeTo[s]) {
        const int64_t wordsIn = slot.sourceOffset & ~int64_t{3};
        MESHJOBS_UNROLL
        for (int lane = 0; lane < LANES; ++lane)
            __builtin_memcpy(&words.w[lane], reinterpret_cast<const uint8_t*>(loads.vertexAddress[s][lane] + wordsIn), 16);
    } else {
        const uint8_t* const data = s ? record.sourceStream1.data : record.sourceStream0.data;
        MESHJOBS_UNROLL
        for (int lane = 0; lane < LANES; ++lane)
            words.w[lane] = LoadVectorIn<SET>(data, loads.streamWords[s], loads.bases[s][lane] + slot.sourceOffset);
    }
    Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
    return words;
}

// Whether an encode stores 8-bit components: every NaN then clamps to the
// same byte, so the arithmetic before it may leave NaNs as they come.
constexpr bool EncodesToBytes(uint32_t format) { return format == FORMAT_UNORM8 || format == FORMAT_SNORM8; }

// The slot's arithmetic on decoded values: the one place both the block and
// the chunk loops take it from, in the converters' order of operations. With
// `toBytes` (EncodesToBytes of the slot's encode) the directions and texture
// coordinates keep whatever NaN payload the arithmetic gave them. The kind is
// the slot's own; callers that know it or `toBytes` at compile time pass them
// as constants, and the tests on them fold away.
template <int N>
MESHJOBS_INLINE Lanes<N> TransformAs(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const Lanes<N>& v,
                                     SlotKind kind, bool toBytes = false) {
    Lanes<N> t = v;
    switch (kind) {
        case SlotKind::Position: {
            const auto& m = record.positionMatrix.columns;
            MESHJOBS_UNROLL
            for (int r = 0; r < 3; ++r)
                t.c[r] = ((Splat<N>(m[0][r]) * v.c[0] + Splat<N>(m[1][r]) * v.c[1]) + Splat<N>(m[2][r]) * v.c[2]) +
                         Splat<N>(m[3][r]);
            t.c[3] = Splat<N>(0.0f);
            CanonicalNaNsOf<3>(t);
            break;
        }
        case SlotKind::Normal: {
            const auto& m = record.normalMatrix.columns;
            MESHJOBS_UNROLL
            for (int k = 0; k < 3; ++k)
                t.c[k] = (v.c[0] * Splat<N>(m[k][0]) + v.c[1] * Splat<N>(m[k][1])) + v.c[2] * Splat<N>(m[k][2]);
            t.c[3] = Splat<N>(0.0f);
            if (slot.renormalise) Renormalise(t);
            if (!toBytes) CanonicalNaNsOf<3>(t);
            break;
        }
        case SlotKind::Tangent: {
            const auto& m = record.positionMatrix.columns;
            MESHJOBS_UNROLL
            for (int r = 0; r < 3; ++r)
                t.c[r] = (v.c[0] * Splat<N>(m[0][r]) + v.c[1] * Splat<N>(m[1][r])) + v.c[2] * Splat<N>(m[2][r]);
            if (record.sourceStride1 < 0) t.c[3] = AsFloat(AsBits(v.c[3]) ^ 0x80000000u);
            if (slot.renormalise) Renormalise(t);
            if (!toBytes) CanonicalNaNsOf<3>(t);
            break;
        }
        case SlotKind::TexCoord: {
            if (!slot.scaleOffset) break;
            const Float4* const vectors[2] = {&record.texCoordScaleOffsetA, &record.texCoordScaleOffsetB};
            MESHJOBS_UNROLL
            for (const Float4* so : vectors) {
                t.c[0] = t.c[0] * Splat<N>(so->x) + Splat<N>(so->z);
                t.c[1] = t.c[1] * Splat<N>(so->y) + Splat<N>(so->w);
            }
            if (!toBytes) CanonicalNaNsOf<2>(t);
            break;
        }
        default:
            break;
    }
    return t;
}

template <int N>
MESHJOBS_INLINE Lanes<N> TransformLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const Lanes<N>& v,
                                        bool toBytes = false) {
    return TransformAs<N>(record, slot, v, slot.kind, toBytes);
}

template <int N>
MESHJOBS_INLINE WordLanes<N> StandInLanes(SlotKind kind) {
    const RawWords words = StandInWords(kind);
    return WordLanes<N>{{SplatU<N>(words.w[0]), SplatU<N>(words.w[1]), SplatU<N>(words.w[2]), SplatU<N>(words.w[3])}};
}

// The converter of one slot of kind KIND on N vertices whose words are
// already loaded (ignored where the slot loads nothing): the words each would
// store. With the formats known to the caller the switches on them fold away.
template <SlotKind KIND, int N, KernelSet SET>
MESHJOBS_INLINE WordLanes<N> ConvertKind(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                         const WordLanes<N>& loaded, uint32_t from, uint32_t to) {
    const bool toBytes = EncodesToBytes(to);
    if constexpr (KIND == SlotKind::Position) {
        if (slot.marker) return StandInLanes<N>(KIND);
        const Lanes<N> p = TransformAs<N>(record, slot, Decode<N, SET>(loaded, from), KIND);
        WordLanes<N> words{};
        MESHJOBS_UNROLL
        for (int r = 0; r < 3; ++r) words.w[r] = AsBits(p.c[r]);
        return words;
    } else if constexpr (KIND == SlotKind::Normal) {
        if (slot.marker) return StandInLanes<N>(KIND);
        return Encode<N, SET, true>(TransformAs<N>(record, slot, Decode<N, SET>(loaded, from), KIND, toBytes), to);
    } else if constexpr (KIND == SlotKind::Tangent || KIND == SlotKind::TexCoord) {
        return Encode<N, SET>(TransformAs<N>(record, slot, Decode<N, SET>(loaded, from), KIND, toBytes), to);
    } else if constexpr (KIND == SlotKind::Color) {
        Lanes<N> value{{Splat<N>(NO_COLOR), Splat<N>(NO_COLOR), Splat<N>(NO_COLOR), Splat<N>(NO_COLOR)}};
        if (slot.load) value = Decode<N, SET>(loaded, from);
        return Encode<N, SET>(value, to);
    }
    return WordLanes<N>{};
}

template <int N, KernelSet SET>
MESHJOBS_INLINE WordLanes<N> ConvertWords(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                       const WordLanes<N>& loaded) {
    const uint32_t from = slot.sourceFormat, to = slot.encodeFormat;
    switch (slot.kind) {
        case SlotKind::Position: return ConvertKind<SlotKind::Position, N, SET>(record, slot, loaded, from, to);
        case SlotKind::Normal: return ConvertKind<SlotKind::Normal, N, SET>(record, slot, loaded, from, to);
        case SlotKind::Tangent: return ConvertKind<SlotKind::Tangent, N, SET>(record, slot, loaded, from, to);
        case SlotKind::Color: return ConvertKind<SlotKind::Color, N, SET>(record, slot, loaded, from, to);
        case SlotKind::TexCoord: return ConvertKind<SlotKind::TexCoord, N, SET>(record, slot, loaded, from, to);
        case SlotKind::Skip: break;
    }
    return WordLanes<N>{};
}


// Slot rows of N vertices: row r holds vertex r, and with eight lanes vertex
// r + 4 in its upper half, as Transpose wants them.
template <int N>
MESHJOBS_INLINE typename Vec<N>::U JoinRow(const U4& low, [[maybe_unused]] const U4& high) {
#if defined(__x86_64__)
    if constexpr (N == 8) return __builtin_shufflevector(low, high, 0, 1, 2, 3, 4, 5, 6, 7);
#endif
    if constexpr (N == 4) return low;
}

// The first BYTES bytes of one vertex's words, taken from the register: a
// partial copy through memory would stall on the store it reads back.
template <int BYTES>
MESHJOBS_INLINE void StoreWords(uint8_t* to, const U4& words) {
    typedef uint64_t Q __attribute__((vector_size(16)));
    if constexpr (BYTES == 16) {
        __builtin_memcpy(to, &words, 16);
    } else if constexpr (BYTES == 4) {
        const uint32_t word = words[0];
        __builtin_memcpy(to, &word, 4);
    } else {
        const uint64_t pair = reinterpret_cast<Q>(words)[0];
        __builtin_memcpy(to, &pair, 8);
        if constexpr (BYTES == 12) {
            const uint32_t word = words[2];
            __builtin_memcpy(to + 8, &word, 4);
        }
    }
}

template <int BYTES, class U>
MESHJOBS_INLINE void StoreRow(uint8_t* to, int64_t fourVertices, const U& row) {
    if constexpr (sizeof(U) == 16) {
        StoreWords<BYTES>(to, row);
    } else {
        StoreWords<BYTES>(to, __builtin_shufflevector(row, row, 0, 1, 2, 3));
        StoreWords<BYTES>(to + fourVertices, __builtin_shufflevector(row, row, 4, 5, 6, 7));
    }
}

}  // namespace meshjobs::lanes
