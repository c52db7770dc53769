// The range-at-once conversion. Everything that decides aborts, byte counts
// and fallbacks depends on the record alone, and the record's range fields
// only change at a patch call, so a range is planned once: one plan per slot,
// then blocks of four vertices, each slot decoded, transformed and encoded
// across the four vertices in vector lanes with the same single-precision
// operations in the same order as the per-vertex converters. Loads go through
// the codec's own LoadWords lane by lane, so short streams behave alike, and
// the stores go out vertex by vertex and slot by slot in the per-vertex order,
// so overlapping stores leave the same bytes. What the block reorders is
// loads before stores, which is why no store may reach anything read later.
// When no two stores share a byte, their order no longer matters and each
// slot runs over the range on its own, eight lanes at a time with AVX2.
#include "conversion/convert_range.h"

#include "conversion/converters.h"
#include "conversion/range_plan.h"
#include "runtime/checks.h"
#include "runtime/cpu_features.h"

// The eight-lane helpers are always inlined into the AVX2 entry, so no call
// passes their vectors across the ABI the warning is about.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace meshjobs {
namespace {

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
typedef Vec<4>::F F4;
typedef Vec<4>::U U4;
typedef Vec<4>::I I4;
typedef int16_t H8 __attribute__((vector_size(16)));

// Inlined into the entry of each instruction-set variant, so that the whole
// block loop is compiled for that variant.
#define MESHJOBS_INLINE inline __attribute__((always_inline))
// At -O2 the compiler keeps these short loops over vector arrays as loops,
// and the arrays on the stack.
#define MESHJOBS_UNROLL _Pragma("GCC unroll 8")

#if defined(__x86_64__)
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
__attribute__((target("f16c"))) inline U4 FloatsToHalves(F4 value) {
    const H8 packed = __builtin_ia32_vcvtps2ph(value, 4);
    const H8 zero{};
    return reinterpret_cast<U4>(__builtin_shufflevector(packed, zero, 0, 8, 1, 8, 2, 8, 3, 8));
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

template <int N>
MESHJOBS_INLINE typename Vec<N>::U SplatU(uint32_t value) {
    return typename Vec<N>::U{} + value;
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
// current mode like the magic-number addition, elsewhere that addition.
template <class F>
MESHJOBS_INLINE auto RoundToIntegers(F y) {
    typedef int32_t I __attribute__((vector_size(sizeof(F))));
#if defined(__x86_64__)
    if constexpr (sizeof(F) == 16) {
        return reinterpret_cast<I>(__builtin_ia32_cvtps2dq(y));
    } else {
        I result;
        CurrentModeIntegers8(&result, &y);
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
// The low bytes of four integer components (each -127..255 and fitting its
// format) packed into one word per vertex: component k in byte k. The packs
// work within 128-bit halves, and the shuffle puts each vertex's four bytes
// together.
__attribute__((target("avx2"))) inline void PackBytes8(U8* out, const I8* components, bool isSigned) {
    typedef int16_t S16 __attribute__((vector_size(32)));
    typedef char B32 __attribute__((vector_size(32)));
    const S16 xy = __builtin_ia32_packssdw256(components[0], components[1]);
    const S16 zw = __builtin_ia32_packssdw256(components[2], components[3]);
    const B32 bytes = isSigned ? __builtin_ia32_packsswb256(xy, zw) : __builtin_ia32_packuswb256(xy, zw);
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
    } else {
        F result;
        Min8(&result, &value, &limit);
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
    } else {
        F result;
        Max8(&result, &value, &limit);
        return result;
    }
#endif
    return value > limit ? value : limit;
}

template <int N, bool F16C>
MESHJOBS_INLINE Lanes<N> Decode(const WordLanes<N>& words, uint32_t formatByte) {
    typedef typename Vec<N>::F F;
    typedef typename Vec<N>::I I;
    Lanes<N> value;
    switch (ClampFormat(formatByte, FORMAT_UNORM8)) {
        case FORMAT_UNORM8:
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k)
                value.c[k] = __builtin_convertvector(reinterpret_cast<I>(words.w[0] >> (8 * k) & 0xFFu), F) *
                             Splat<N>(BitsToFloat(UNORM8_SCALE_BITS));
            break;
        case FORMAT_SNORM8:
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) {
                const I byte = reinterpret_cast<I>(words.w[0] << (24 - 8 * k)) >> 24;
                const F p = __builtin_convertvector(byte, F) * Splat<N>(BitsToFloat(SNORM8_SCALE_BITS));
                value.c[k] = AtLeast(p, Splat<N>(-1.0f));
            }
            break;
        case FORMAT_FLOAT16:
#if defined(__x86_64__)
            if constexpr (F16C && N == 8) {
                MESHJOBS_UNROLL
                for (int k = 0; k < 4; ++k) HalvesToFloats8(&value.c[k], &words.w[k / 2], k % 2 != 0);
                break;
            } else if constexpr (F16C) {
                MESHJOBS_UNROLL
                for (int k = 0; k < 4; ++k) value.c[k] = HalvesToFloats(words.w[k / 2] >> (16 * (k % 2)) & 0xFFFFu);
                break;
            }
#endif
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) {
                const typename Vec<N>::U halves = words.w[k / 2] >> (16 * (k % 2));
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

template <int N, bool F16C>
MESHJOBS_INLINE WordLanes<N> Encode(const Lanes<N>& value, uint32_t format) {
    typedef typename Vec<N>::F F;
    typedef typename Vec<N>::U U;
    WordLanes<N> words{};
    switch (format) {
        case FORMAT_UNORM8:
        case FORMAT_SNORM8: {
            const bool isSigned = format == FORMAT_SNORM8;
            const F low = Splat<N>(isSigned ? -1.0f : 0.0f), scale = Splat<N>(isSigned ? 127.0f : 255.0f);
            typename Vec<N>::I integers[4];
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k)
                integers[k] = RoundToIntegers(AtLeast(AtMost(value.c[k], Splat<N>(1.0f)), low) * scale);
#if defined(__x86_64__)
            if constexpr (F16C && N == 8) {
                PackBytes8(&words.w[0], integers, isSigned);
                break;
            }
#endif
            MESHJOBS_UNROLL
            for (int k = 0; k < 4; ++k) words.w[0] |= (reinterpret_cast<U>(integers[k]) & 0xFFu) << (8 * k);
            break;
        }
        case FORMAT_FLOAT16:
#if defined(__x86_64__)
            if constexpr (F16C && N == 8) {
                FloatPairsToHalves8(&words.w[0], &value.c[0], &value.c[1]);
                FloatPairsToHalves8(&words.w[1], &value.c[2], &value.c[3]);
                break;
            } else if constexpr (F16C) {
                MESHJOBS_UNROLL
                for (int k = 0; k < 4; ++k) words.w[k / 2] |= FloatsToHalves(value.c[k]) << (16 * (k % 2));
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
    if constexpr (N == 8) {
        SquareRoots8(&root, &lengthSquared);
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

// The codec's LoadWords for one vertex, as a vector: whole loads inline, the
// rest (short streams, no data) through LoadWords itself.
inline U4 LoadVector(const ArrayView<uint8_t>& stream, int64_t byteOffset) {
    const int64_t length = stream.length > 0 ? stream.length : 0;
    U4 words;
    if (byteOffset >= 0 && (length >> 2) - (byteOffset >> 2) >= 4) {
        __builtin_memcpy(&words, stream.data + (byteOffset & ~int64_t{3}), 16);
    } else {
        const RawWords raw = LoadWords(stream, byteOffset);
        words = U4{raw.w[0], raw.w[1], raw.w[2], raw.w[3]};
    }
    return words;
}

// Loads slot k of the four vertices of a block, word j of every vertex in w[j].
inline WordLanes<4> LoadLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const VertexBases* bases) {
    const ArrayView<uint8_t>& stream = slot.stream1Source ? record.sourceStream1 : record.sourceStream0;
    WordLanes<4> words;
    MESHJOBS_UNROLL
    for (int lane = 0; lane < LANES; ++lane)
        words.w[lane] = LoadVector(stream, (slot.stream1Source ? bases[lane].source1 : bases[lane].source0) + slot.sourceOffset);
    Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
    return words;
}

// The slot's arithmetic on decoded values: the one place both the block and
// the chunk loops take it from, in the converters' order of operations.
template <bool CANONICAL, class F>
MESHJOBS_INLINE F Canonical(F value) {
    if constexpr (CANONICAL) return CanonicalNaNs(value);
    return value;
}

// Without CANONICAL the NaNs keep whatever payload the arithmetic gave them:
// for callers that encode to 8 bits, where every NaN clamps to 1 alike.
template <int N, bool CANONICAL = true>
MESHJOBS_INLINE Lanes<N> TransformLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const Lanes<N>& v) {
    Lanes<N> t = v;
    switch (slot.kind) {
        case SlotKind::Position: {
            const auto& m = record.positionMatrix.columns;
            MESHJOBS_UNROLL
            for (int r = 0; r < 3; ++r)
                t.c[r] = Canonical<CANONICAL>(((Splat<N>(m[0][r]) * v.c[0] + Splat<N>(m[1][r]) * v.c[1]) +
                                        Splat<N>(m[2][r]) * v.c[2]) +
                                       Splat<N>(m[3][r]));
            t.c[3] = Splat<N>(0.0f);
            break;
        }
        case SlotKind::Normal: {
            const auto& m = record.normalMatrix.columns;
            MESHJOBS_UNROLL
            for (int k = 0; k < 3; ++k)
                t.c[k] = (v.c[0] * Splat<N>(m[k][0]) + v.c[1] * Splat<N>(m[k][1])) + v.c[2] * Splat<N>(m[k][2]);
            t.c[3] = Splat<N>(0.0f);
            if (slot.renormalise) Renormalise(t);
            MESHJOBS_UNROLL
            for (int k = 0; k < 3; ++k) t.c[k] = Canonical<CANONICAL>(t.c[k]);
            break;
        }
        case SlotKind::Tangent: {
            const auto& m = record.positionMatrix.columns;
            MESHJOBS_UNROLL
            for (int r = 0; r < 3; ++r)
                t.c[r] = (v.c[0] * Splat<N>(m[0][r]) + v.c[1] * Splat<N>(m[1][r])) + v.c[2] * Splat<N>(m[2][r]);
            const uint32_t flip = record.sourceStride1 < 0 ? 0x80000000u : 0u;
            t.c[3] = AsFloat(AsBits(v.c[3]) ^ flip);
            if (slot.renormalise) Renormalise(t);
            MESHJOBS_UNROLL
            for (int k = 0; k < 3; ++k) t.c[k] = Canonical<CANONICAL>(t.c[k]);
            break;
        }
        case SlotKind::TexCoord: {
            if (!slot.scaleOffset) break;
            const Float4* const vectors[2] = {&record.texCoordScaleOffsetA, &record.texCoordScaleOffsetB};
            for (const Float4* so : vectors) {
                t.c[0] = t.c[0] * Splat<N>(so->x) + Splat<N>(so->z);
                t.c[1] = t.c[1] * Splat<N>(so->y) + Splat<N>(so->w);
            }
            t.c[0] = Canonical<CANONICAL>(t.c[0]);
            t.c[1] = Canonical<CANONICAL>(t.c[1]);
            break;
        }
        default:
            break;
    }
    return t;
}

// The converter of one slot on N vertices whose words are already loaded
// (ignored where the slot loads nothing): the words each would store.
template <int N, bool F16C>
MESHJOBS_INLINE WordLanes<N> ConvertWords(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                       const WordLanes<N>& loaded) {
    switch (slot.kind) {
        case SlotKind::Position: {
            if (slot.marker) return WordLanes<N>{{SplatU<N>(1u), SplatU<N>(1u), SplatU<N>(1u), SplatU<N>(0u)}};
            const Lanes<N> p = TransformLanes(record, slot, Decode<N, F16C>(loaded, slot.sourceFormat));
            WordLanes<N> words{};
            MESHJOBS_UNROLL
            for (int r = 0; r < 3; ++r) words.w[r] = AsBits(p.c[r]);
            return words;
        }
        case SlotKind::Normal:
            if (slot.marker) return WordLanes<N>{{SplatU<N>(0xFFFFFFFFu), SplatU<N>(0xFFFFFFFFu), SplatU<N>(0u), SplatU<N>(0u)}};
            return Encode<N, F16C>(TransformLanes(record, slot, Decode<N, F16C>(loaded, slot.sourceFormat)), slot.encodeFormat);
        case SlotKind::Tangent:
        case SlotKind::TexCoord:
            return Encode<N, F16C>(TransformLanes(record, slot, Decode<N, F16C>(loaded, slot.sourceFormat)), slot.encodeFormat);
        case SlotKind::Color: {
            Lanes<N> value{{Splat<N>(1.0f), Splat<N>(1.0f), Splat<N>(1.0f), Splat<N>(1.0f)}};
            if (slot.load) value = Decode<N, F16C>(loaded, slot.sourceFormat);
            return Encode<N, F16C>(value, slot.encodeFormat);
        }
        case SlotKind::Skip:
            break;
    }
    return WordLanes<N>{};
}

template <bool F16C>
MESHJOBS_INLINE WordLanes<4> ConvertLanes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                       const VertexBases* bases) {
    const bool loads = slot.load && !slot.marker && slot.kind != SlotKind::Skip;
    return ConvertWords<4, F16C>(record, slot, loads ? LoadLanes(record, slot, bases) : WordLanes<4>{});
}

// The first byteCount bytes of a vertex's words, byte-exact.
inline void StoreVector(uint8_t* to, const U4& words, int32_t byteCount) {
    switch (byteCount) {
        case 4: __builtin_memcpy(to, &words, 4); break;
        case 8: __builtin_memcpy(to, &words, 8); break;
        case 12: __builtin_memcpy(to, &words, 12); break;
        default: __builtin_memcpy(to, &words, 16); break;
    }
}

template <bool F16C>
MESHJOBS_INLINE void ConvertBlocks(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin,
                                   int32_t end) {
    const int* const active = plan.active;
    const int activeCount = plan.activeCount;

    for (int32_t first = begin; first < end; first += LANES) {
        // A short last block repeats its last vertex in the spare lanes; they
        // load like it and store nothing.
        const int live = end - first < LANES ? end - first : LANES;
        VertexBases bases[LANES];
        MESHJOBS_UNROLL
        for (int lane = 0; lane < LANES; ++lane) bases[lane] = BasesOf(record, first + (lane < live ? lane : live - 1));

        WordLanes<4> words[ATTRIBUTE_SLOT_COUNT];
        for (int a = 0; a < activeCount; ++a) words[a] = ConvertLanes<F16C>(record, plan.slots[active[a]], bases);

        // Back to one vector of words per vertex.
        for (int a = 0; a < activeCount; ++a) Transpose(words[a].w[0], words[a].w[1], words[a].w[2], words[a].w[3]);
        for (int lane = 0; lane < live; ++lane)
            for (int a = 0; a < activeCount; ++a) {
                const SlotPlan& slot = plan.slots[active[a]];
                const ArrayView<uint8_t>& stream = slot.stream1Target ? record.destinationStream1 : record.destinationStream0;
                const int64_t base = slot.stream1Target ? bases[lane].destination1 : bases[lane].destination0;
                StoreVector(stream.data + base + slot.targetOffset, words[a].w[lane], slot.byteCount);
            }
    }
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

// A slot whose stored words are its loaded words: single floats in and out,
// with nothing applied between (colors, texture coordinates without the scale).
bool IsWordCopy(const SlotPlan& slot) {
    return (slot.kind == SlotKind::Color || (slot.kind == SlotKind::TexCoord && !slot.scaleOffset)) && slot.load &&
           ClampFormat(slot.sourceFormat, FORMAT_UNORM8) == FORMAT_FLOAT32 && slot.encodeFormat == FORMAT_FLOAT32;
}

// A slot runs over the range in chunks, in three passes with the switches
// outside the loops: load and decode, the slot's arithmetic, encode and
// store. The chunk stays in L1 between passes.
constexpr int CHUNK = 32;  // small enough that the differential tests cross chunks

template <int N>
struct Chunk {
    alignas(4 * N) float c[4][CHUNK];

    MESHJOBS_INLINE Lanes<N> Get(int i) const {
        Lanes<N> value;
        MESHJOBS_UNROLL
        for (int k = 0; k < 4; ++k) __builtin_memcpy(&value.c[k], &c[k][i], sizeof value.c[k]);
        return value;
    }
    MESHJOBS_INLINE void Put(int i, const Lanes<N>& value) {
        MESHJOBS_UNROLL
        for (int k = 0; k < 4; ++k) __builtin_memcpy(&c[k][i], &value.c[k], sizeof value.c[k]);
    }
};

// Vertices [first, first + count) of the slot, count ≤ CHUNK, decoded.
template <int N, bool F16C, uint32_t FORMAT>
MESHJOBS_INLINE void DecodeChunk(const SlotWalk& walk, int32_t first, int32_t count, int32_t whole, Chunk<N>& chunk) {
    const int64_t in = walk.loadStep;
    for (int i = 0; i < count; i += N) {
        const int32_t at = first + i;
        WordLanes<N> words;
        U4 rows[8];
        if (at + N <= whole) {
            const uint8_t* from = walk.load + in * at;
            MESHJOBS_UNROLL
            for (int lane = 0; lane < N; ++lane) __builtin_memcpy(&rows[lane], from + lane * in, 16);
        } else {
            // Through the codec's loads; spare lanes repeat the last vertex.
            const int live = count - i < N ? count - i : N;
            MESHJOBS_UNROLL
            for (int lane = 0; lane < N; ++lane)
                rows[lane] = LoadVector(*walk.stream, walk.loadOffset + in * (at + (lane < live ? lane : live - 1)));
        }
        MESHJOBS_UNROLL
        for (int r = 0; r < 4; ++r) words.w[r] = JoinRow<N>(rows[r], rows[(r + 4) % 8]);
        Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
        chunk.Put(i, Decode<N, F16C>(words, FORMAT));
    }
}

// The first BYTES bytes of N vertices' words, vertex v at to + out · v.
template <int N, int BYTES>
MESHJOBS_INLINE void StoreLanes(uint8_t* to, int64_t out, WordLanes<N> words) {
    // One or two words a vertex go out from the lanes, without transposing.
    if constexpr (BYTES == 4) {
        MESHJOBS_UNROLL
        for (int lane = 0; lane < N; ++lane) {
            const uint32_t word = words.w[0][lane];
            __builtin_memcpy(to + out * lane, &word, 4);
        }
    } else if constexpr (BYTES == 8) {
        typedef uint64_t Q __attribute__((vector_size(16)));
        Q pairs[N / 2];
        if constexpr (N == 4) {
            pairs[0] = reinterpret_cast<Q>(__builtin_shufflevector(words.w[0], words.w[1], 0, 4, 1, 5));
            pairs[1] = reinterpret_cast<Q>(__builtin_shufflevector(words.w[0], words.w[1], 2, 6, 3, 7));
        } else {
            const auto low = __builtin_shufflevector(words.w[0], words.w[1], 0, 8, 1, 9, 4, 12, 5, 13);
            const auto high = __builtin_shufflevector(words.w[0], words.w[1], 2, 10, 3, 11, 6, 14, 7, 15);
            pairs[0] = reinterpret_cast<Q>(__builtin_shufflevector(low, low, 0, 1, 2, 3));    // 0, 1
            pairs[1] = reinterpret_cast<Q>(__builtin_shufflevector(high, high, 0, 1, 2, 3));  // 2, 3
            pairs[2] = reinterpret_cast<Q>(__builtin_shufflevector(low, low, 4, 5, 6, 7));    // 4, 5
            pairs[3] = reinterpret_cast<Q>(__builtin_shufflevector(high, high, 4, 5, 6, 7));  // 6, 7
        }
        MESHJOBS_UNROLL
        for (int lane = 0; lane < N; ++lane) {
            const uint64_t pair = pairs[lane / 2][lane % 2];
            __builtin_memcpy(to + out * lane, &pair, 8);
        }
    } else {
        Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
        MESHJOBS_UNROLL
        for (int r = 0; r < 4; ++r) StoreRow<BYTES>(to + r * out, 4 * out, words.w[r]);
    }
}

template <int N, bool F16C, uint32_t FORMAT, int BYTES>
MESHJOBS_INLINE void EncodeChunk(const SlotWalk& walk, int32_t first, int32_t count, const Chunk<N>& chunk) {
    const int64_t out = walk.storeStep;
    for (int i = 0; i < count; i += N) {
        WordLanes<N> words = Encode<N, F16C>(chunk.Get(i), FORMAT);
        uint8_t* to = walk.store + out * (first + i);
        if (count - i >= N) {
            StoreLanes<N, BYTES>(to, out, words);
            continue;
        }
        Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
        U4 rows[8];
        MESHJOBS_UNROLL
        for (int r = 0; r < 4; ++r) StoreRow<16>(reinterpret_cast<uint8_t*>(rows + r), 4 * 16, words.w[r]);
        for (int lane = 0; lane < count - i; ++lane) __builtin_memcpy(to + out * lane, &rows[lane], BYTES);
    }
}

// Whole groups of N vertices of a slot in one pass, from loads to stores,
// with the formats fixed: the common attribute conversions that need their
// components apart (the matrices, the renormalisation). Answers how many
// vertices it converted; the chunk loop takes the rest.
template <int N, bool F16C, uint32_t FROM, uint32_t TO, int BYTES>
MESHJOBS_INLINE int32_t ConvertGroups(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                      const SlotWalk& walk, int32_t whole) {
    const int64_t in = walk.loadStep, out = walk.storeStep;
    const uint8_t* from = walk.load;
    uint8_t* to = walk.store;
    int32_t done = 0;
    for (; done + N <= whole; done += N, from += N * in, to += N * out) {
        U4 rows[8];
        const uint8_t* at = from;
        MESHJOBS_UNROLL
        for (int lane = 0; lane < N; ++lane, at += in) __builtin_memcpy(&rows[lane], at, 16);
        WordLanes<N> words;
        MESHJOBS_UNROLL
        for (int r = 0; r < 4; ++r) words.w[r] = JoinRow<N>(rows[r], rows[(r + 4) % 8]);
        Transpose(words.w[0], words.w[1], words.w[2], words.w[3]);
        constexpr bool EIGHT_BITS = TO == FORMAT_UNORM8 || TO == FORMAT_SNORM8;
        const Lanes<N> value = TransformLanes<N, !EIGHT_BITS>(record, slot, Decode<N, F16C>(words, FROM));
        StoreLanes<N, BYTES>(to, out, Encode<N, F16C>(value, TO));
    }
    return done;
}

// Each fused loop is a function of its own, compiled for its instruction
// set: inlined into the one function that runs every slot, its vectors
// spill to the stack.
template <int N, bool F16C, uint32_t FROM, uint32_t TO, int BYTES>
__attribute__((noinline)) int32_t ConvertGroupsPortable(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                                        const SlotWalk& walk, int32_t whole) {
    return ConvertGroups<N, F16C, FROM, TO, BYTES>(record, slot, walk, whole);
}
#if defined(__x86_64__)
template <int N, bool F16C, uint32_t FROM, uint32_t TO, int BYTES>
__attribute__((target("avx2,f16c"), noinline)) int32_t ConvertGroupsAvx2(const ConvertVertexLayoutRecord& record,
                                                                          const SlotPlan& slot, const SlotWalk& walk,
                                                                          int32_t whole) {
    return ConvertGroups<N, F16C, FROM, TO, BYTES>(record, slot, walk, whole);
}
#endif

template <int N, bool F16C, uint32_t FROM, uint32_t TO, int BYTES>
MESHJOBS_INLINE int32_t RunGroups(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const SlotWalk& walk,
                                  int32_t whole) {
#if defined(__x86_64__)
    if constexpr (F16C) return ConvertGroupsAvx2<N, F16C, FROM, TO, BYTES>(record, slot, walk, whole);
#endif
    return ConvertGroupsPortable<N, F16C, FROM, TO, BYTES>(record, slot, walk, whole);
}

// The fused conversions there are: position and the directions, between
// singles and singles or signed bytes. 0 when none fits.
template <int N, bool F16C, int BYTES>
MESHJOBS_INLINE int32_t TryConvertGroups(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                         const SlotWalk& walk, int32_t whole) {
    const bool direction = slot.kind == SlotKind::Position || slot.kind == SlotKind::Normal || slot.kind == SlotKind::Tangent;
    if (!direction || !slot.load || slot.marker) return 0;
    const uint32_t from = ClampFormat(slot.sourceFormat, FORMAT_UNORM8);
    const uint32_t to = slot.kind == SlotKind::Position ? FORMAT_FLOAT32 : slot.encodeFormat;
    if constexpr (BYTES >= 8) {
        if (from == FORMAT_FLOAT32 && to == FORMAT_FLOAT32)
            return RunGroups<N, F16C, FORMAT_FLOAT32, FORMAT_FLOAT32, BYTES>(record, slot, walk, whole);
        if (from == FORMAT_SNORM8 && to == FORMAT_FLOAT32)
            return RunGroups<N, F16C, FORMAT_SNORM8, FORMAT_FLOAT32, BYTES>(record, slot, walk, whole);
    } else if constexpr (BYTES == 4) {
        if (from == FORMAT_FLOAT32 && to == FORMAT_SNORM8)
            return RunGroups<N, F16C, FORMAT_FLOAT32, FORMAT_SNORM8, BYTES>(record, slot, walk, whole);
    }
    return 0;
}

// The slot's arithmetic on decoded values, in place.
template <int N>
MESHJOBS_INLINE void TransformChunk(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, int32_t count,
                                    Chunk<N>& chunk) {
    const bool transforms = slot.kind == SlotKind::Position || slot.kind == SlotKind::Normal ||
                            slot.kind == SlotKind::Tangent || (slot.kind == SlotKind::TexCoord && slot.scaleOffset);
    if (!transforms) return;
    for (int i = 0; i < count; i += N) chunk.Put(i, TransformLanes(record, slot, chunk.Get(i)));
}

// Every vertex of the chunk the same words: markers, and colors without source.
template <int N>
MESHJOBS_INLINE void FillChunk(Chunk<N>& chunk, int32_t count, const uint32_t (&words)[4]) {
    const int32_t end = count < CHUNK ? (count + N - 1) / N * N : CHUNK;
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < end; ++i) chunk.c[k][i] = BitsToFloat(words[k]);
}

// A slot that maps each byte of its one stored word on its own: 8-bit
// components in and out with nothing applied between (colors, texture
// coordinates without the scale). Its 256 outcomes are worked out once per
// range by the same lane code, in the current rounding mode, and the range is
// then a table lookup per byte, or a word copy where the table maps every
// byte to itself.
bool IsByteMap(const SlotPlan& slot) {
    const uint32_t from = ClampFormat(slot.sourceFormat, FORMAT_UNORM8);
    return (slot.kind == SlotKind::Color || (slot.kind == SlotKind::TexCoord && !slot.scaleOffset)) && slot.load &&
           (from == FORMAT_UNORM8 || from == FORMAT_SNORM8) &&
           (slot.encodeFormat == FORMAT_UNORM8 || slot.encodeFormat == FORMAT_SNORM8);
}

// Ranges shorter than this leave byte-mapped slots to the chunk loop: the
// table costs about as much as converting 64 vertices.
constexpr int32_t BYTE_MAP_MIN_VERTICES = 64;

template <int N, bool F16C>
MESHJOBS_INLINE bool BuildByteMap(const SlotPlan& slot, uint8_t (&table)[256]) {
    typedef typename Vec<N>::U U;
    U lanes;
    MESHJOBS_UNROLL
    for (int lane = 0; lane < N; ++lane) lanes[lane] = 4u * lane;
    bool identity = true;
    for (uint32_t first = 0; first < 256; first += 4 * N) {
        // Word j holds bytes 4j to 4j + 3, each in its own component.
        const U start = lanes + first;
        WordLanes<N> words{};
        words.w[0] = start | (start + 1u) << 8 | (start + 2u) << 16 | (start + 3u) << 24;
        const WordLanes<N> mapped = Encode<N, F16C>(Decode<N, F16C>(words, slot.sourceFormat), slot.encodeFormat);
        __builtin_memcpy(table + first, &mapped.w[0], sizeof mapped.w[0]);
        MESHJOBS_UNROLL
        for (int lane = 0; lane < N; ++lane) identity &= mapped.w[0][lane] == words.w[0][lane];
    }
    return identity;
}

template <int BYTES>
MESHJOBS_INLINE void CopyWords(SlotWalk walk, int32_t count, int32_t whole) {
    const int64_t in = walk.loadStep, out = walk.storeStep;
    int32_t done = 0;
    for (; done < whole; ++done, walk.load += in, walk.store += out) {
        U4 words;
        __builtin_memcpy(&words, walk.load, 16);
        __builtin_memcpy(walk.store, &words, BYTES);
    }
    for (; done < count; ++done, walk.store += out) {
        const U4 words = LoadVector(*walk.stream, walk.loadOffset + in * done);
        __builtin_memcpy(walk.store, &words, BYTES);
    }
}

MESHJOBS_INLINE uint32_t MapBytes(const uint8_t (&table)[256], uint32_t word) {
    return table[word & 0xFFu] | uint32_t{table[word >> 8 & 0xFFu]} << 8 | uint32_t{table[word >> 16 & 0xFFu]} << 16 |
           uint32_t{table[word >> 24]} << 24;
}

MESHJOBS_INLINE void MapWords(const uint8_t (&table)[256], SlotWalk walk, int32_t count, int32_t whole) {
    const int64_t in = walk.loadStep, out = walk.storeStep;
    int32_t done = 0;
    for (; done < whole; ++done, walk.load += in, walk.store += out) {
        uint32_t word;
        __builtin_memcpy(&word, walk.load, 4);
        word = MapBytes(table, word);
        __builtin_memcpy(walk.store, &word, 4);
    }
    for (; done < count; ++done, walk.store += out) {
        const uint32_t word = MapBytes(table, LoadVector(*walk.stream, walk.loadOffset + in * done)[0]);
        __builtin_memcpy(walk.store, &word, 4);
    }
}

#if defined(__x86_64__)
// Halves packed in stream order, four to the low eight bytes, to singles and
// back (the upper eight bytes zero): the codec's word layout for halves.
__attribute__((target("f16c"))) inline F4 PackedHalvesToFloats(U4 words) {
    return __builtin_ia32_vcvtph2ps(reinterpret_cast<H8>(words));
}
__attribute__((target("f16c"))) inline U4 FloatsToPackedHalves(F4 value) {
    return reinterpret_cast<U4>(__builtin_ia32_vcvtps2ph(value, 4));
}

// A slot whose components convert each on its own between singles and halves:
// colors and texture coordinates, the scale of slot 5 included (it touches x
// and y alone). One vertex is one vector in stream order: nothing to
// transpose.
bool IsElementwiseFloat(const SlotPlan& slot) {
    const uint32_t from = ClampFormat(slot.sourceFormat, FORMAT_UNORM8);
    return (slot.kind == SlotKind::Color || slot.kind == SlotKind::TexCoord) && slot.load &&
           (from == FORMAT_FLOAT16 || from == FORMAT_FLOAT32) &&
           (slot.encodeFormat == FORMAT_FLOAT16 || slot.encodeFormat == FORMAT_FLOAT32);
}

struct ScaleOffsets {
    F4 scaleA, offsetA, scaleB, offsetB;
};

// Lambdas do not take their function's target, so the vertex step is a
// function of its own.
template <bool FROM_HALVES, bool TO_HALVES, bool SCALE>
__attribute__((target("avx2,f16c"))) inline U4 ConvertElements(U4 words, const ScaleOffsets& so) {
    const F4 value = FROM_HALVES ? PackedHalvesToFloats(words) : AsFloat(words);
    F4 result = value;
    if constexpr (SCALE) {
        const F4 t = CanonicalNaNs((value * so.scaleA + so.offsetA) * so.scaleB + so.offsetB);
        result = __builtin_shufflevector(t, value, 0, 1, 6, 7);  // z and w pass untouched
    }
    return TO_HALVES ? FloatsToPackedHalves(result) : AsBits(result);
}

template <bool FROM_HALVES, bool TO_HALVES, bool SCALE, int BYTES>
__attribute__((target("avx2,f16c"))) void ConvertElementwise(const ConvertVertexLayoutRecord& record, SlotWalk walk,
                                                             int32_t count, int32_t whole) {
    const Float4& a = record.texCoordScaleOffsetA;
    const Float4& b = record.texCoordScaleOffsetB;
    const ScaleOffsets so{{a.x, a.y, 1.0f, 1.0f}, {a.z, a.w, 0.0f, 0.0f}, {b.x, b.y, 1.0f, 1.0f}, {b.z, b.w, 0.0f, 0.0f}};
    const int64_t in = walk.loadStep, out = walk.storeStep;
    int32_t done = 0;
    if constexpr (!FROM_HALVES && TO_HALVES && BYTES == 4) {
        // Two singles to two halves, the usual texture coordinates: four
        // vertices to one eight-lane conversion.
        typedef uint64_t Q4 __attribute__((vector_size(32)));
        const F8 scaleA{a.x, a.y, a.x, a.y, a.x, a.y, a.x, a.y}, offsetA{a.z, a.w, a.z, a.w, a.z, a.w, a.z, a.w};
        const F8 scaleB{b.x, b.y, b.x, b.y, b.x, b.y, b.x, b.y}, offsetB{b.z, b.w, b.z, b.w, b.z, b.w, b.z, b.w};
        for (; done + 4 <= whole; done += 4, walk.load += 4 * in, walk.store += 4 * out) {
            uint64_t pairs[4];
            MESHJOBS_UNROLL
            for (int v = 0; v < 4; ++v) __builtin_memcpy(&pairs[v], walk.load + v * in, 8);
            F8 value = AsFloat(Q4{pairs[0], pairs[1], pairs[2], pairs[3]});
            if constexpr (SCALE) value = CanonicalNaNs((value * scaleA + offsetA) * scaleB + offsetB);
            const U4 words = reinterpret_cast<U4>(__builtin_ia32_vcvtps2ph256(value, 4));
            MESHJOBS_UNROLL
            for (int v = 0; v < 4; ++v) {
                const uint32_t word = words[v];
                __builtin_memcpy(walk.store + v * out, &word, 4);
            }
        }
    }
    for (; done < whole; ++done, walk.load += in, walk.store += out) {
        U4 words;
        __builtin_memcpy(&words, walk.load, 16);
        StoreWords<BYTES>(walk.store, ConvertElements<FROM_HALVES, TO_HALVES, SCALE>(words, so));
    }
    for (; done < count; ++done, walk.store += out)
        StoreWords<BYTES>(walk.store, ConvertElements<FROM_HALVES, TO_HALVES, SCALE>(
                                          LoadVector(*walk.stream, walk.loadOffset + in * done), so));
}

template <int BYTES>
__attribute__((target("avx2,f16c"))) void RunElementwise(const ConvertVertexLayoutRecord& record,
                                                         const SlotPlan& slot, const SlotWalk& walk, int32_t count,
                                                         int32_t whole) {
    const bool fromHalves = ClampFormat(slot.sourceFormat, FORMAT_UNORM8) == FORMAT_FLOAT16;
    const bool toHalves = slot.encodeFormat == FORMAT_FLOAT16;
    const int variant = fromHalves << 2 | toHalves << 1 | slot.scaleOffset;
    switch (variant) {
        case 0: ConvertElementwise<false, false, false, BYTES>(record, walk, count, whole); break;
        case 1: ConvertElementwise<false, false, true, BYTES>(record, walk, count, whole); break;
        case 2: ConvertElementwise<false, true, false, BYTES>(record, walk, count, whole); break;
        case 3: ConvertElementwise<false, true, true, BYTES>(record, walk, count, whole); break;
        case 4: ConvertElementwise<true, false, false, BYTES>(record, walk, count, whole); break;
        case 5: ConvertElementwise<true, false, true, BYTES>(record, walk, count, whole); break;
        case 6: ConvertElementwise<true, true, false, BYTES>(record, walk, count, whole); break;
        default: ConvertElementwise<true, true, true, BYTES>(record, walk, count, whole); break;
    }
}
#endif

template <int N, bool F16C, int BYTES>
MESHJOBS_INLINE void RunSlotBytes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, SlotWalk walk,
                                  int32_t count, int32_t whole) {
    if (IsWordCopy(slot)) {
        CopyWords<BYTES>(walk, count, whole);
        return;
    }
    if constexpr (BYTES == 4) {
        if (count >= BYTE_MAP_MIN_VERTICES && IsByteMap(slot)) {
            uint8_t table[256];
            if (BuildByteMap<N, F16C>(slot, table)) {
                CopyWords<4>(walk, count, whole);
            } else {
                MapWords(table, walk, count, whole);
            }
            return;
        }
    }
#if defined(__x86_64__)
    if constexpr (F16C) {
        if (IsElementwiseFloat(slot)) {
            RunElementwise<BYTES>(record, slot, walk, count, whole);
            return;
        }
    }
#endif
    {
        // The fused groups first; the chunk loop carries on where they stop.
        const int32_t done = TryConvertGroups<N, F16C, BYTES>(record, slot, walk, whole);
        if (done > 0) {
            walk.load += walk.loadStep * done;
            walk.loadOffset += walk.loadStep * done;
            walk.store += walk.storeStep * done;
            count -= done;
            whole -= done;
            if (count == 0) return;
        }
    }
    // Markers store as singles' bits: encoding singles keeps the words.
    const bool loads = slot.load && !slot.marker;
    uint32_t encodeFormat = slot.encodeFormat;
    Chunk<N> chunk;
    if (!loads) {
        if (slot.kind == SlotKind::Position) {
            FillChunk(chunk, count, {1u, 1u, 1u, 0u});
            encodeFormat = FORMAT_FLOAT32;
        } else if (slot.kind == SlotKind::Normal) {
            FillChunk(chunk, count, {0xFFFFFFFFu, 0xFFFFFFFFu, 0u, 0u});
            encodeFormat = FORMAT_FLOAT32;
        } else {
            FillChunk(chunk, count, {0x3F800000u, 0x3F800000u, 0x3F800000u, 0x3F800000u});  // color 1.0
        }
    } else if (slot.kind == SlotKind::Position) {
        encodeFormat = FORMAT_FLOAT32;
    }
    for (int32_t first = 0; first < count; first += CHUNK) {
        const int32_t n = count - first < CHUNK ? count - first : CHUNK;
        if (loads) {
            switch (ClampFormat(slot.sourceFormat, FORMAT_UNORM8)) {
                case FORMAT_UNORM8: DecodeChunk<N, F16C, FORMAT_UNORM8>(walk, first, n, whole, chunk); break;
                case FORMAT_SNORM8: DecodeChunk<N, F16C, FORMAT_SNORM8>(walk, first, n, whole, chunk); break;
                case FORMAT_FLOAT16: DecodeChunk<N, F16C, FORMAT_FLOAT16>(walk, first, n, whole, chunk); break;
                default: DecodeChunk<N, F16C, FORMAT_FLOAT32>(walk, first, n, whole, chunk); break;
            }
            TransformChunk<N>(record, slot, n, chunk);
        }
        switch (encodeFormat) {
            case FORMAT_UNORM8: EncodeChunk<N, F16C, FORMAT_UNORM8, BYTES>(walk, first, n, chunk); break;
            case FORMAT_SNORM8: EncodeChunk<N, F16C, FORMAT_SNORM8, BYTES>(walk, first, n, chunk); break;
            case FORMAT_FLOAT16: EncodeChunk<N, F16C, FORMAT_FLOAT16, BYTES>(walk, first, n, chunk); break;
            default: EncodeChunk<N, F16C, FORMAT_FLOAT32, BYTES>(walk, first, n, chunk); break;
        }
    }
}

template <int N, bool F16C>
MESHJOBS_INLINE void RunSlotsApart(const ConvertVertexLayoutRecord& record, const RangePlan& plan,
                                   const SlotWalk* walks, int32_t count, int32_t whole) {
    // The slots run in order, so a widened store is overwritten by the later
    // slot that stores its last four bytes; those bytes lie inside the spans
    // the plan proved safe.
    for (int i = 0; i < plan.activeCount; ++i) {
        const int k = plan.active[i];
        const SlotPlan& slot = plan.slots[k];
        switch (slot.wideByteCount) {
            case 4: RunSlotBytes<N, F16C, 4>(record, slot, walks[k], count, whole); break;
            case 8: RunSlotBytes<N, F16C, 8>(record, slot, walks[k], count, whole); break;
            case 12: RunSlotBytes<N, F16C, 12>(record, slot, walks[k], count, whole); break;
            default: RunSlotBytes<N, F16C, 16>(record, slot, walks[k], count, whole); break;
        }
    }
}

void RunSlotsApartPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, const SlotWalk* walks,
                           int32_t count, int32_t whole) {
    RunSlotsApart<4, false>(record, plan, walks, count, whole);
}

#if defined(__x86_64__)
// 64-bit Windows keeps the stack 16-byte aligned, and the compiler cannot be
// trusted to realign it for spilled 32-byte vectors.
#if defined(_WIN32)
constexpr int AVX2_LANES = 4;
#else
constexpr int AVX2_LANES = 8;
#endif

__attribute__((target("avx2,f16c"))) void RunSlotsApartAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, const SlotWalk* walks,
                                                            int32_t count, int32_t whole) {
    // A range shorter than eight lanes wastes less in four.
    if (count < AVX2_LANES) {
        RunSlotsApart<4, true>(record, plan, walks, count, whole);
        return;
    }
    RunSlotsApart<AVX2_LANES, true>(record, plan, walks, count, whole);
}
#endif

void ConvertBlocksPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, int32_t begin,
                           int32_t end) {
    ConvertBlocks<false>(record, plan, begin, end);
}

#if defined(__x86_64__)
__attribute__((target("avx2,f16c"))) void ConvertBlocksAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, int32_t begin, int32_t end) {
    ConvertBlocks<true>(record, plan, begin, end);
}
#endif

}  // namespace

bool TryConvertRange(const ConvertVertexLayoutRecord& record, int32_t begin, int32_t end, PlanCache& cache) {
    if (end - begin < FAST_RANGE_MIN_VERTICES) return false;
    const ArrayView<uint32_t>& sources = record.sourceAttributes;
    const ArrayView<uint32_t>& destinations = record.destinationAttributes;
    // Slots 0 to 11 pass both index tests...
    const ArrayView<uint32_t>* const views[2] = {&sources, &destinations};
    for (const ArrayView<uint32_t>* view : views)
        if (view->rangeMin > 0 || view->rangeMax < ATTRIBUTE_SLOT_COUNT - 1 || view->length < ATTRIBUTE_SLOT_COUNT)
            return false;
    // ...and both read fast tests, with the cells as they stand now.
    if (sources.safety.version != static_cast<int32_t>(static_cast<uint32_t>(LoadVersionCell(sources.safety)) & READ_MASK) ||
        destinations.safety.version !=
            static_cast<int32_t>(static_cast<uint32_t>(LoadVersionCell(destinations.safety)) & READ_MASK))
        return false;

    RangePlan& plan = cache.plan;
    if (!cache.planned || !PlanStillHolds(record, sources.data, destinations.data, plan)) {
        cache.planned = PlanSlots(record, sources.data, destinations.data, plan);
        if (!cache.planned) return false;
    }
    if (!StoresAreSafe(record, plan, begin, end)) return false;
    SlotWalk walks[ATTRIBUTE_SLOT_COUNT];
    int32_t whole = 0;
    if (end - begin >= SLOTS_APART_MIN_VERTICES && SlotsCanRunApart(record, plan, begin, end, walks, whole)) {
#if defined(__x86_64__)
        if (CpuFeatures() & CPU_FEATURE_AVX2_F16C) {
            RunSlotsApartAvx2(record, plan, walks, end - begin, whole);
            return true;
        }
#endif
        RunSlotsApartPortable(record, plan, walks, end - begin, whole);
        return true;
    }
#if defined(__x86_64__)
    if (CpuFeatures() & CPU_FEATURE_AVX2_F16C) {
        ConvertBlocksAvx2(record, plan, begin, end);
        return true;
    }
#endif
    ConvertBlocksPortable(record, plan, begin, end);
    return true;
}

}  // namespace meshjobs
