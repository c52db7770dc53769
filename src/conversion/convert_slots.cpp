// The conversion's range loop for stores that are apart: each slot runs over
// the whole range on its own, so the loop for a slot can be chosen by its
// formats. Slots whose components convert each on their own (colors, texture
// coordinates) run in stream order without transposing; 8-bit ones through a
// table of their 256 outcomes; positions and directions in fused groups of
// N vertices; everything else in chunks that are decoded, transformed and
// encoded in three passes.
#include "conversion/lane_math.h"
#include "conversion/range_loops.h"

namespace meshjobs {
namespace {

using namespace lanes;

#if defined(__x86_64__)
// 64-bit Windows keeps the stack 16-byte aligned, and the compiler cannot be
// trusted to realign it for spilled 32-byte vectors: there the AVX2 loops
// keep to four lanes.
#if defined(_WIN32)
constexpr int AVX2_LANES = 4;
#else
constexpr int AVX2_LANES = 8;
#endif
#endif

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
template <int N, KernelSet SET, uint32_t FORMAT>
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
        chunk.Put(i, Decode<N, SET>(words, FORMAT));
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

template <int N, KernelSet SET, uint32_t FORMAT, int BYTES>
MESHJOBS_INLINE void EncodeChunk(const SlotWalk& walk, int32_t first, int32_t count, const Chunk<N>& chunk) {
    const int64_t out = walk.storeStep;
    for (int i = 0; i < count; i += N) {
        WordLanes<N> words = Encode<N, SET>(chunk.Get(i), FORMAT);
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
template <int N, KernelSet SET, uint32_t FROM, uint32_t TO, int BYTES>
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
        const Lanes<N> value = TransformLanes<N>(record, slot, Decode<N, SET>(words, FROM), EncodesToBytes(TO));
        StoreLanes<N, BYTES>(to, out, Encode<N, SET>(value, TO));
    }
    return done;
}

// Each fused loop is a function of its own, compiled for its instruction
// set: inlined into the one function that runs every slot, its vectors
// spill to the stack.
template <int N, KernelSet SET, uint32_t FROM, uint32_t TO, int BYTES>
__attribute__((noinline)) int32_t ConvertGroupsPortable(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                                        const SlotWalk& walk, int32_t whole) {
    return ConvertGroups<N, SET, FROM, TO, BYTES>(record, slot, walk, whole);
}
#if defined(__x86_64__)
template <int N, KernelSet SET, uint32_t FROM, uint32_t TO, int BYTES>
__attribute__((target("avx2,f16c"), noinline)) int32_t ConvertGroupsAvx2(const ConvertVertexLayoutRecord& record,
                                                                          const SlotPlan& slot, const SlotWalk& walk,
                                                                          int32_t whole) {
    return ConvertGroups<N, SET, FROM, TO, BYTES>(record, slot, walk, whole);
}
#endif

template <int N, KernelSet SET, uint32_t FROM, uint32_t TO, int BYTES>
MESHJOBS_INLINE int32_t RunGroups(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, const SlotWalk& walk,
                                  int32_t whole) {
#if defined(__x86_64__)
    if constexpr (SET == KernelSet::Avx2F16c) return ConvertGroupsAvx2<N, SET, FROM, TO, BYTES>(record, slot, walk, whole);
#endif
    return ConvertGroupsPortable<N, SET, FROM, TO, BYTES>(record, slot, walk, whole);
}

// The fused conversions there are: position and the directions, between
// singles and singles or signed bytes. 0 when none fits.
template <int N, KernelSet SET, int BYTES>
MESHJOBS_INLINE int32_t TryConvertGroups(const ConvertVertexLayoutRecord& record, const SlotPlan& slot,
                                         const SlotWalk& walk, int32_t whole) {
    const bool direction = slot.kind == SlotKind::Position || slot.kind == SlotKind::Normal || slot.kind == SlotKind::Tangent;
    if (!direction || !slot.load || slot.marker) return 0;
    const uint32_t from = ClampFormat(slot.sourceFormat, FORMAT_UNORM8);
    const uint32_t to = slot.kind == SlotKind::Position ? FORMAT_FLOAT32 : slot.encodeFormat;
    if constexpr (BYTES >= 8) {
        if (from == FORMAT_FLOAT32 && to == FORMAT_FLOAT32)
            return RunGroups<N, SET, FORMAT_FLOAT32, FORMAT_FLOAT32, BYTES>(record, slot, walk, whole);
        if (from == FORMAT_SNORM8 && to == FORMAT_FLOAT32)
            return RunGroups<N, SET, FORMAT_SNORM8, FORMAT_FLOAT32, BYTES>(record, slot, walk, whole);
    } else if constexpr (BYTES == 4) {
        if (from == FORMAT_FLOAT32 && to == FORMAT_SNORM8)
            return RunGroups<N, SET, FORMAT_FLOAT32, FORMAT_SNORM8, BYTES>(record, slot, walk, whole);
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
// then a table lookup per byte.
bool IsByteMap(const SlotPlan& slot) {
    const uint32_t from = ClampFormat(slot.sourceFormat, FORMAT_UNORM8);
    return PassesComponentsThrough(slot) && (from == FORMAT_UNORM8 || from == FORMAT_SNORM8) &&
           (slot.encodeFormat == FORMAT_UNORM8 || slot.encodeFormat == FORMAT_SNORM8);
}

// Ranges shorter than this leave byte-mapped slots to the chunk loop: the
// table costs about as much as converting 64 vertices.
constexpr int32_t BYTE_MAP_MIN_VERTICES = 64;

template <int N, KernelSet SET>
MESHJOBS_INLINE void BuildByteMap(const SlotPlan& slot, uint8_t (&table)[256]) {
    typedef typename Vec<N>::U U;
    U lanes;
    MESHJOBS_UNROLL
    for (int lane = 0; lane < N; ++lane) lanes[lane] = 4u * lane;
    for (uint32_t first = 0; first < 256; first += 4 * N) {
        // Word j holds bytes 4j to 4j + 3, each in its own component.
        const U start = lanes + first;
        WordLanes<N> words{};
        words.w[0] = start | (start + 1u) << 8 | (start + 2u) << 16 | (start + 3u) << 24;
        const WordLanes<N> mapped = Encode<N, SET>(Decode<N, SET>(words, slot.sourceFormat), slot.encodeFormat);
        __builtin_memcpy(table + first, &mapped.w[0], sizeof mapped.w[0]);
    }
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

// Slot 5's scale and offset on the (x, y) pairs of four vertices, and the NaN
// the arithmetic yields made canonical. Eight-lane values stay in functions
// compiled for AVX: passed by value to the shared helpers, which are not,
// they would change the calling convention.
struct PairScaleOffsets {
    F8 scaleA, offsetA, scaleB, offsetB;
};
__attribute__((target("avx2"))) inline PairScaleOffsets PairScaleOffsetsOf(const ConvertVertexLayoutRecord& record) {
    const Float4& a = record.texCoordScaleOffsetA;
    const Float4& b = record.texCoordScaleOffsetB;
    PairScaleOffsets so;
    so.scaleA = F8{a.x, a.y, a.x, a.y, a.x, a.y, a.x, a.y};
    so.offsetA = F8{a.z, a.w, a.z, a.w, a.z, a.w, a.z, a.w};
    so.scaleB = F8{b.x, b.y, b.x, b.y, b.x, b.y, b.x, b.y};
    so.offsetB = F8{b.z, b.w, b.z, b.w, b.z, b.w, b.z, b.w};
    return so;
}
__attribute__((target("avx2"))) inline void ScalePairs(F8* value, const PairScaleOffsets& so) {
    const F8 t = (*value * so.scaleA + so.offsetA) * so.scaleB + so.offsetB;
    *value = t == t ? t : __builtin_bit_cast(F8, U8{} + CANONICAL_NAN_BITS);
}

template <bool FROM_HALVES, bool TO_HALVES, bool SCALE, int BYTES>
__attribute__((target("avx2,f16c"))) void ConvertElementwise(const ConvertVertexLayoutRecord& record, SlotWalk walk,
                                                             int32_t count, int32_t whole) {
    const Float4& a = record.texCoordScaleOffsetA;
    const Float4& b = record.texCoordScaleOffsetB;
    const ScaleOffsets so{{a.x, a.y, 1.0f, 1.0f}, {a.z, a.w, 0.0f, 0.0f}, {b.x, b.y, 1.0f, 1.0f}, {b.z, b.w, 0.0f, 0.0f}};
    const int64_t in = walk.loadStep, out = walk.storeStep;
    int32_t done = 0;
    if constexpr (!FROM_HALVES && TO_HALVES && BYTES == 4 && AVX2_LANES == 8) {
        // Two singles to two halves, the usual texture coordinates: four
        // vertices to one eight-lane conversion.
        typedef uint64_t Q4 __attribute__((vector_size(32)));
        const PairScaleOffsets pairScale = PairScaleOffsetsOf(record);
        for (; done + 4 <= whole; done += 4, walk.load += 4 * in, walk.store += 4 * out) {
            uint64_t pairs[4];
            MESHJOBS_UNROLL
            for (int v = 0; v < 4; ++v) __builtin_memcpy(&pairs[v], walk.load + v * in, 8);
            F8 value = __builtin_bit_cast(F8, Q4{pairs[0], pairs[1], pairs[2], pairs[3]});
            if constexpr (SCALE) ScalePairs(&value, pairScale);
            const U4 words = reinterpret_cast<U4>(__builtin_ia32_vcvtps2ph256(value, 4));
            MESHJOBS_UNROLL
            for (int v = 0; v < 4; ++v) {
                const uint32_t word = words[v];
                __builtin_memcpy(walk.store + v * out, &word, 4);
            }
        }
    }
    if constexpr (FROM_HALVES && !TO_HALVES && BYTES == 8 && AVX2_LANES == 8) {
        // The way back: two halves to two singles, four vertices a conversion.
        typedef uint64_t Q4 __attribute__((vector_size(32)));
        const PairScaleOffsets pairScale = PairScaleOffsetsOf(record);
        for (; done + 4 <= whole; done += 4, walk.load += 4 * in, walk.store += 4 * out) {
            uint32_t halves[4];
            MESHJOBS_UNROLL
            for (int v = 0; v < 4; ++v) __builtin_memcpy(&halves[v], walk.load + v * in, 4);
            F8 value = __builtin_ia32_vcvtph2ps256(__builtin_bit_cast(H8, halves));
            if constexpr (SCALE) ScalePairs(&value, pairScale);
            const Q4 pairs = __builtin_bit_cast(Q4, value);
            MESHJOBS_UNROLL
            for (int v = 0; v < 4; ++v) {
                const uint64_t pair = pairs[v];
                __builtin_memcpy(walk.store + v * out, &pair, 8);
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

template <int N, KernelSet SET, int BYTES>
MESHJOBS_INLINE void RunSlotBytes(const ConvertVertexLayoutRecord& record, const SlotPlan& slot, SlotWalk walk,
                                  int32_t count, int32_t whole) {
    if (slot.copiesWords) {
        CopyWords<BYTES>(walk, count, whole);
        return;
    }
    if constexpr (BYTES == 4) {
        if (count >= BYTE_MAP_MIN_VERTICES && IsByteMap(slot)) {
            uint8_t table[256];
            BuildByteMap<N, SET>(slot, table);
            MapWords(table, walk, count, whole);
            return;
        }
    }
#if defined(__x86_64__)
    if constexpr (SET == KernelSet::Avx2F16c) {
        if (IsElementwiseFloat(slot)) {
            RunElementwise<BYTES>(record, slot, walk, count, whole);
            return;
        }
    }
#endif
    {
        // The fused groups first; the chunk loop carries on where they stop.
        const int32_t done = TryConvertGroups<N, SET, BYTES>(record, slot, walk, whole);
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
    if (slot.marker) {
        FillChunk(chunk, count, StandInWords(slot.kind).w);
        encodeFormat = FORMAT_FLOAT32;
    } else if (!loads) {
        const uint32_t white = FloatBits(NO_COLOR);
        FillChunk(chunk, count, {white, white, white, white});
    }
    for (int32_t first = 0; first < count; first += CHUNK) {
        const int32_t n = count - first < CHUNK ? count - first : CHUNK;
        if (loads) {
            switch (ClampFormat(slot.sourceFormat, FORMAT_UNORM8)) {
                case FORMAT_UNORM8: DecodeChunk<N, SET, FORMAT_UNORM8>(walk, first, n, whole, chunk); break;
                case FORMAT_SNORM8: DecodeChunk<N, SET, FORMAT_SNORM8>(walk, first, n, whole, chunk); break;
                case FORMAT_FLOAT16: DecodeChunk<N, SET, FORMAT_FLOAT16>(walk, first, n, whole, chunk); break;
                default: DecodeChunk<N, SET, FORMAT_FLOAT32>(walk, first, n, whole, chunk); break;
            }
            TransformChunk<N>(record, slot, n, chunk);
        }
        switch (encodeFormat) {
            case FORMAT_UNORM8: EncodeChunk<N, SET, FORMAT_UNORM8, BYTES>(walk, first, n, chunk); break;
            case FORMAT_SNORM8: EncodeChunk<N, SET, FORMAT_SNORM8, BYTES>(walk, first, n, chunk); break;
            case FORMAT_FLOAT16: EncodeChunk<N, SET, FORMAT_FLOAT16, BYTES>(walk, first, n, chunk); break;
            default: EncodeChunk<N, SET, FORMAT_FLOAT32, BYTES>(walk, first, n, chunk); break;
        }
    }
}

// Slots in `lateSlots` (bit k for slot k) start at vertex `lateStart`: their
// first vertices are converted elsewhere, after these loops.
template <int N, KernelSet SET>
MESHJOBS_INLINE void RunSlotsApart(const ConvertVertexLayoutRecord& record, const RangePlan& plan,
                                   const SlotWalk* walks, int32_t count, int32_t whole, uint32_t lateSlots = 0,
                                   int32_t lateStart = 0) {
    // The slots run in order, so a widened store is overwritten by the later
    // slot that stores its last four bytes; those bytes lie inside the spans
    // the plan proved safe.
    for (int i = 0; i < plan.activeCount; ++i) {
        const int k = plan.active[i];
        const SlotPlan& slot = plan.slots[k];
        SlotWalk walk = walks[k];
        int32_t slotCount = count, slotWhole = whole;
        if ((lateSlots >> k & 1u) != 0) {
            if (lateStart >= count) continue;
            walk = AdvanceWalk(walk, lateStart);
            slotCount -= lateStart;
            slotWhole = whole > lateStart ? whole - lateStart : 0;
        }
        switch (slot.wideByteCount) {
            case 4: RunSlotBytes<N, SET, 4>(record, slot, walk, slotCount, slotWhole); break;
            case 8: RunSlotBytes<N, SET, 8>(record, slot, walk, slotCount, slotWhole); break;
            case 12: RunSlotBytes<N, SET, 12>(record, slot, walk, slotCount, slotWhole); break;
            default: RunSlotBytes<N, SET, 16>(record, slot, walk, slotCount, slotWhole); break;
        }
    }
}

}  // namespace

void RunSlotsApartPortable(const ConvertVertexLayoutRecord& record, const RangePlan& plan, const SlotWalk* walks,
                           int32_t count, int32_t whole) {
    RunSlotsApart<4, KernelSet::Portable>(record, plan, walks, count, whole);
}

#if MESHJOBS_AVX2_KERNELS_BUILT
__attribute__((target("avx2,f16c"))) void RunSlotsApartAvx2(const ConvertVertexLayoutRecord& record,
                                                            const RangePlan& plan, const SlotWalk* walks,
                                                            int32_t count, int32_t whole) {
    RunSlotsApartAvx2From(record, plan, walks, count, whole, 0, 0);
}

__attribute__((target("avx2,f16c"))) void RunSlotsApartAvx2From(const ConvertVertexLayoutRecord& record,
                                                                const RangePlan& plan, const SlotWalk* walks,
                                                                int32_t count, int32_t whole, uint32_t lateSlots,
                                                                int32_t lateStart) {
    // A range shorter than eight lanes wastes less in four.
    if (count < AVX2_LANES) {
        RunSlotsApart<4, KernelSet::Avx2F16c>(record, plan, walks, count, whole, lateSlots, lateStart);
        return;
    }
    RunSlotsApart<AVX2_LANES, KernelSet::Avx2F16c>(record, plan, walks, count, whole, lateSlots, lateStart);
}
#endif

}  // namespace meshjobs
