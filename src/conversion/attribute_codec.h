// The attribute codec shared by every converter: descriptors, loading words
// from a source stream, decoding them into four single-precision lanes,
// encoding lanes into words and storing words. Header-only and free of the
// host binding, so unit tests can drive it directly.
//
// Every float operation here is a single IEEE operation in the caller's
// current rounding mode; the build keeps the compiler from contracting or
// folding them. Conversions to integers and halves round by adding a constant
// whose ulp equals the target's ulp and reading the sum's bits, so they follow
// the current mode without touching the floating-point environment.
#pragma once

#include <stdint.h>

#include "meshjobs/records.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "stream words are little-endian");

namespace meshjobs {

// One uint32 per slot: dimension, format, offset and stream bytes, low first.
using AttributeDescriptor = uint32_t;

inline uint32_t DescriptorDimension(AttributeDescriptor descriptor) { return descriptor & 0xFFu; }
inline uint32_t DescriptorFormat(AttributeDescriptor descriptor) { return (descriptor >> 8) & 0xFFu; }
inline uint32_t DescriptorOffset(AttributeDescriptor descriptor) { return (descriptor >> 16) & 0xFFu; }
// Any nonzero stream byte means stream 1: one compare of the whole word.
inline bool DescriptorSelectsStream1(AttributeDescriptor descriptor) { return descriptor >= 0x1000000u; }

inline constexpr uint32_t FORMAT_UNORM8 = 1;
inline constexpr uint32_t FORMAT_SNORM8 = 2;
inline constexpr uint32_t FORMAT_FLOAT16 = 3;
inline constexpr uint32_t FORMAT_FLOAT32 = 4;

inline uint32_t ClampFormat(uint32_t format, uint32_t lowest) {
    if (format < lowest) return lowest;
    return format > FORMAT_FLOAT32 ? FORMAT_FLOAT32 : format;
}

// The undecoded attribute: w[0] lies at the lowest address.
struct RawWords {
    uint32_t w[4];
};

// What a load yields when no whole word of the attribute is in the stream.
inline constexpr RawWords NO_DATA_WORDS{{1u, 2u, 3u, 4u}};

// Four single-precision lanes: x, y, z, w.
struct AttributeValue {
    float lane[4];
};

inline uint32_t FloatBits(float value) { return __builtin_bit_cast(uint32_t, value); }
inline float BitsToFloat(uint32_t bits) { return __builtin_bit_cast(float, bits); }

// Arithmetic that yields a NaN stores this one, whatever NaNs went in: which
// operand's payload an operation keeps differs between processors, and
// between scalar and vector code on one processor, and the stored bytes must
// not. Words passed through unchanged keep their NaNs.
inline constexpr uint32_t CANONICAL_NAN_BITS = 0x7FC00000u;
inline float CanonicalNaN(float value) { return value != value ? BitsToFloat(CANONICAL_NAN_BITS) : value; }

// 1/255 and 1/127 rounded to single: decoding multiplies by them rather than
// dividing, which differs in the last bit for some bytes.
inline constexpr uint32_t UNORM8_SCALE_BITS = 0x3B808081u;
inline constexpr uint32_t SNORM8_SCALE_BITS = 0x3C010204u;
// The same over 2^24, for a byte at the top of its word.
inline constexpr uint32_t SNORM8_TOP_SCALE_BITS = SNORM8_SCALE_BITS - (24u << 23);

// ---- Half precision ----

// Exact: every half is a single. A signalling NaN comes back quiet.
inline float HalfToFloat(uint16_t half) {
    const uint32_t sign = static_cast<uint32_t>(half & 0x8000u) << 16;
    const uint32_t exponent = (half >> 10) & 0x1Fu;
    const uint32_t mantissa = half & 0x3FFu;
    if (exponent == 0x1Fu) {
        const uint32_t quiet = mantissa != 0 ? 0x400000u : 0u;
        return BitsToFloat(sign | 0x7F800000u | quiet | mantissa << 13);
    }
    if (exponent == 0) {
        // mantissa · 2^-24: both factors and the product are exact singles.
        const float magnitude = static_cast<float>(static_cast<int32_t>(mantissa)) * 0x1p-24f;
        return BitsToFloat(sign | FloatBits(magnitude));
    }
    return BitsToFloat(sign | (exponent + 112u) << 23 | mantissa << 13);
}

// Rounds in the current rounding mode. The value is added to ±2^k chosen so
// that the sum's ulp is the half's ulp at the value's magnitude; the one
// rounding of that addition is then the half's rounding, and the sum's
// mantissa bits count the half's ulps.
inline uint16_t FloatToHalf(float value) {
    const uint32_t bits = FloatBits(value);
    const uint32_t sign = bits & 0x80000000u;
    const uint32_t magnitude = bits ^ sign;
    const uint16_t halfSign = static_cast<uint16_t>(sign >> 16);

    if (magnitude > 0x7F800000u)  // NaN: quiet, top payload bits kept
        return static_cast<uint16_t>(halfSign | 0x7E00u | ((magnitude >> 13) & 0x3FFu));
    if (magnitude == 0x7F800000u) return static_cast<uint16_t>(halfSign | 0x7C00u);

    // Every finite value from 65536 up rounds like 65535 in each mode: to the
    // infinity or to 65504, whichever the mode picks for an overflow.
    float rounded = magnitude >= 0x47800000u ? BitsToFloat(sign | 0x477FFF00u) : value;

    if (magnitude < 0x38800000u) {
        // Below 2^-14 the half is subnormal with ulp 2^-24, the ulp of 0.5.
        // Taking the sign from the value keeps -0 and tiny negatives negative
        // in every mode.
        const float bias = BitsToFloat(sign | 0x3F000000u);
        const float sum = rounded + bias;
        const uint32_t ulps = (FloatBits(sum) & 0x7FFFFFFFu) - 0x3F000000u;  // 0..1024
        return static_cast<uint16_t>(halfSign | ulps);
    }

    // 2^E ≤ |value| < 2^(E+1), E in -14..15: the half's ulp is 2^(E-10), the
    // ulp of 2^(E+13).
    const uint32_t exponent = (FloatBits(rounded) >> 23 & 0xFFu) - 127u;
    const uint32_t biasBits = (exponent + 13u + 127u) << 23;
    const float sum = rounded + BitsToFloat(sign | biasBits);
    // |sum| = 2^(E+13) + m·2^(E-10) with m in 1024..2048; m = 2048 carries into
    // the next exponent, and from E = 15 into the infinity.
    const uint32_t ulps = (FloatBits(sum) & 0x7FFFFFFFu) - biasBits;
    return static_cast<uint16_t>(halfSign | (((exponent + 14u) << 10) + ulps));
}

// ---- 8-bit normalised ----

// Rounds |y| ≤ 2^22 to an integer in the current rounding mode: ±1.5·2^23 has
// ulp 1, and the sum's low mantissa bits are the integer's magnitude. The
// constant takes y's sign, so that rounding toward zero stays toward zero for
// negative y.
inline int32_t RoundToInteger(float y) {
    const uint32_t sign = FloatBits(y) & 0x80000000u;
    const float sum = y + BitsToFloat(sign | 0x4B400000u);
    const int32_t magnitude = static_cast<int32_t>((FloatBits(sum) & 0x7FFFFFFFu) - 0x4B400000u);
    return sign != 0 ? -magnitude : magnitude;
}

inline float DecodeUNorm8(uint32_t byte) {
    return static_cast<float>(static_cast<int32_t>(byte & 0xFFu)) * BitsToFloat(UNORM8_SCALE_BITS);
}

inline float DecodeSNorm8(uint32_t byte) {
    const float p = static_cast<float>(static_cast<int8_t>(byte)) * BitsToFloat(SNORM8_SCALE_BITS);
    return p > -1.0f ? p : -1.0f;  // -128 clamps to -1
}

// The first compare sends NaN to 1.0 as well. The product is rounded to
// single before the integer.
inline uint32_t EncodeUNorm8(float v) {
    float x = v < 1.0f ? v : 1.0f;
    x = x > 0.0f ? x : 0.0f;
    return static_cast<uint32_t>(RoundToInteger(x * 255.0f)) & 0xFFu;
}

inline uint32_t EncodeSNorm8(float v) {
    float x = v < 1.0f ? v : 1.0f;
    x = x > -1.0f ? x : -1.0f;
    return static_cast<uint32_t>(RoundToInteger(x * 127.0f)) & 0xFFu;
}

// ---- Load, decode, encode, store ----

// The whole words a stream holds; a negative length holds none.
inline int64_t StreamWords(const ArrayView<uint8_t>& stream) { return (stream.length > 0 ? stream.length : 0) >> 2; }

// How many words a load from byteOffset finds in a stream of streamWords
// words, from the one holding the byte on (four or more: a whole load). A
// negative offset has no data.
inline int64_t WordsAvailable(int64_t streamWords, int64_t byteOffset) {
    return byteOffset < 0 ? 0 : streamWords - (byteOffset >> 2);
}

// Whole words from the one holding the first byte, never past the stream's
// last whole word; missing words are zero, and with none left the load gives
// NO_DATA_WORDS.
inline RawWords LoadWordsIn(const uint8_t* data, int64_t streamWords, int64_t byteOffset) {
    const int64_t available = WordsAvailable(streamWords, byteOffset);
    if (available <= 0) return NO_DATA_WORDS;
    const uint8_t* from = data + (byteOffset & ~int64_t{3});
    // Word by word at constant places, so that a caller building a vector
    // from the words keeps them in registers.
    RawWords words{};
    __builtin_memcpy(&words.w[0], from, 4);
    if (available > 1) __builtin_memcpy(&words.w[1], from + 4, 4);
    if (available > 2) __builtin_memcpy(&words.w[2], from + 8, 4);
    if (available > 3) __builtin_memcpy(&words.w[3], from + 12, 4);
    return words;
}

inline RawWords LoadWords(const ArrayView<uint8_t>& stream, int64_t byteOffset) {
    return LoadWordsIn(stream.data, StreamWords(stream), byteOffset);
}

// The highest byte offset from which LoadWords finds four whole words.
inline int64_t LastWholeLoad(int64_t streamWords) { return (streamWords - 4) * 4 + 3; }
inline int64_t LastWholeLoad(const ArrayView<uint8_t>& stream) { return LastWholeLoad(StreamWords(stream)); }

inline AttributeValue DecodeValue(const RawWords& words, uint32_t formatByte) {
    AttributeValue value;
    switch (ClampFormat(formatByte, FORMAT_UNORM8)) {
        case FORMAT_UNORM8:
            for (int k = 0; k < 4; ++k) value.lane[k] = DecodeUNorm8(words.w[0] >> (8 * k));
            break;
        case FORMAT_SNORM8:
            for (int k = 0; k < 4; ++k) value.lane[k] = DecodeSNorm8(words.w[0] >> (8 * k));
            break;
        case FORMAT_FLOAT16:
            for (int k = 0; k < 4; ++k)
                value.lane[k] = HalfToFloat(static_cast<uint16_t>(words.w[k / 2] >> (16 * (k % 2))));
            break;
        default:
            for (int k = 0; k < 4; ++k) value.lane[k] = BitsToFloat(words.w[k]);
            break;
    }
    return value;
}

// format: 1 to 4, already clamped by the converter.
inline RawWords EncodeValue(const AttributeValue& value, uint32_t format) {
    RawWords words{};
    switch (format) {
        case FORMAT_UNORM8:
            for (int k = 0; k < 4; ++k) words.w[0] |= EncodeUNorm8(value.lane[k]) << (8 * k);
            break;
        case FORMAT_SNORM8:
            for (int k = 0; k < 4; ++k) words.w[0] |= EncodeSNorm8(value.lane[k]) << (8 * k);
            break;
        case FORMAT_FLOAT16:
            for (int k = 0; k < 4; ++k)
                words.w[k / 2] |= static_cast<uint32_t>(FloatToHalf(value.lane[k])) << (16 * (k % 2));
            break;
        default:
            for (int k = 0; k < 4; ++k) words.w[k] = FloatBits(value.lane[k]);
            break;
    }
    return words;
}

// Whether byteCount bytes at byteOffset lie inside the stream.
inline bool StoreFits(const ArrayView<uint8_t>& stream, int64_t byteOffset, int32_t byteCount) {
    return byteOffset >= 0 && byteOffset + byteCount <= static_cast<int64_t>(stream.length);
}

// The first byteCount / 4 words, byte-exact at byteOffset (not word-aligned).
inline void StoreWords(const ArrayView<uint8_t>& stream, int64_t byteOffset, const RawWords& words,
                       int32_t byteCount) {
    uint8_t* to = stream.data + byteOffset;
    for (int32_t k = 0; k < byteCount / 4; ++k) __builtin_memcpy(to + 4 * k, &words.w[k], 4);
}

// The wrapping int32 product of a component count and a component size.
inline int32_t ByteCount(uint32_t components, int32_t componentSize) {
    return static_cast<int32_t>(components * static_cast<uint32_t>(componentSize));
}

}  // namespace meshjobs
