// The attribute codec on its own: loads bounded by the stream, the 8-bit
// normalised forms over every byte, and the stored forms of edge values.
// Half conversions and integer rounding are proven whole in tests/exhaustive.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "conversion/attribute_codec.h"
#include "runtime/rounding_mode.h"

namespace meshjobs {
namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();

std::vector<uint32_t> Words(const RawWords& words) { return {words.w[0], words.w[1], words.w[2], words.w[3]}; }

TEST(LoadWords, ReadsWholeWordsFromTheWordHoldingTheFirstByteAndNoFurther) {
    std::vector<uint8_t> bytes(32);
    for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = uint8_t(0x10 + k);
    auto word = [&](size_t at) {
        uint32_t w;
        std::memcpy(&w, &bytes[at], 4);
        return w;
    };
    auto load = [&](int32_t length, int64_t offset) {
        ArrayView<uint8_t> stream{};
        stream.data = bytes.data();
        stream.length = length;
        return Words(LoadWords(stream, offset));
    };
    const std::vector<uint32_t> noData{1, 2, 3, 4};
    // Bytes 8 and 9 of a 10-byte stream make no whole word.
    EXPECT_EQ(load(10, 8), noData);
    EXPECT_EQ(load(10, 4), (std::vector<uint32_t>{word(4), 0, 0, 0}));
    EXPECT_EQ(load(10, 6), (std::vector<uint32_t>{word(4), 0, 0, 0}));
    EXPECT_EQ(load(12, 4), (std::vector<uint32_t>{word(4), word(8), 0, 0}));
    EXPECT_EQ(load(15, 3), (std::vector<uint32_t>{word(0), word(4), word(8), 0}));
    EXPECT_EQ(load(32, 5), (std::vector<uint32_t>{word(4), word(8), word(12), word(16)}));
    EXPECT_EQ(load(32, 32), noData);
    EXPECT_EQ(load(32, -1), noData);
    EXPECT_EQ(load(-16, 0), noData);
    EXPECT_EQ(load(32, int64_t{1} << 33), noData);
}

TEST(DecodeValue, NoDataWordsDecodeToTheirFixedValuesInEveryFormat) {
    auto bits = [](uint32_t format) {
        const AttributeValue v = DecodeValue(NO_DATA_WORDS, format);
        return std::vector<uint32_t>{FloatBits(v.lane[0]), FloatBits(v.lane[1]), FloatBits(v.lane[2]),
                                     FloatBits(v.lane[3])};
    };
    EXPECT_EQ(bits(0), (std::vector<uint32_t>{0x3B808081u, 0, 0, 0}));
    EXPECT_EQ(bits(1), (std::vector<uint32_t>{0x3B808081u, 0, 0, 0}));
    EXPECT_EQ(bits(2), (std::vector<uint32_t>{0x3C010204u, 0, 0, 0}));
    EXPECT_EQ(bits(3), (std::vector<uint32_t>{0x33800000u, 0, 0x34000000u, 0}));  // 2^-24, 2^-23
    EXPECT_EQ(bits(4), (std::vector<uint32_t>{1, 2, 3, 4}));
    EXPECT_EQ(bits(255), (std::vector<uint32_t>{1, 2, 3, 4}));
}

// Multiplying by the rounded reciprocal differs from dividing for a known
// number of bytes; a decoder that divides would hit the other count.
TEST(UNorm8, DecodesByTheRoundedReciprocalAndRoundTripsEveryByte) {
    int differFromDivision = 0;
    float previous = -1.0f;
    for (uint32_t byte = 0; byte < 256; ++byte) {
        const float decoded = DecodeUNorm8(byte);
        EXPECT_GT(decoded, previous) << byte;
        previous = decoded;
        if (decoded != static_cast<float>(byte) / 255.0f) ++differFromDivision;
        EXPECT_EQ(EncodeUNorm8(decoded), byte);
    }
    EXPECT_EQ(differFromDivision, 126);
    EXPECT_EQ(DecodeUNorm8(0), 0.0f);
    EXPECT_EQ(DecodeUNorm8(255), 1.0f);
    EXPECT_EQ(FloatBits(DecodeUNorm8(128)), 0x3F008081u);
    EXPECT_EQ(EncodeSNorm8(DecodeUNorm8(128)), 64u);
}

// The fast loops copy words of 8-bit unsigned components where every byte
// comes back (StoresLoadedWords): in every rounding mode but upward.
TEST(UNorm8, EveryByteComesBackInEveryRoundingModeButUpward) {
    for (const int mode : {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        const int previous = std::fegetround();
        std::fesetround(mode);
        int changed = 0;
        for (uint32_t byte = 0; byte < 256; ++byte) changed += EncodeUNorm8(DecodeUNorm8(byte)) != byte;
        const bool upward = RoundsUpward();
        std::fesetround(previous);
        EXPECT_EQ(upward, mode == FE_UPWARD) << mode;
        EXPECT_EQ(changed == 0, !upward) << mode << ": " << changed << " bytes changed";
    }
}

TEST(SNorm8, DecodesByTheRoundedReciprocalAndRoundTripsEveryByteButMinus128) {
    int differFromDivision = 0;
    for (uint32_t byte = 0; byte < 256; ++byte) {
        const float signedByte = static_cast<float>(static_cast<int8_t>(byte));
        if (signedByte * BitsToFloat(0x3C010204u) != signedByte / 127.0f) ++differFromDivision;
        const float decoded = DecodeSNorm8(byte);
        EXPECT_GE(decoded, -1.0f);
        EXPECT_EQ(EncodeSNorm8(decoded), byte == 0x80 ? 0x81u : byte) << byte;
    }
    EXPECT_EQ(differFromDivision, 16);
    EXPECT_EQ(DecodeSNorm8(127), 1.0f);
    EXPECT_EQ(DecodeSNorm8(0x81), -1.0f);
    EXPECT_EQ(DecodeSNorm8(0x80), -1.0f);
}

TEST(EightBitEncoding, SpecialValuesClampAndNaNCountsAsOne) {
    EXPECT_EQ(EncodeUNorm8(NaN), 0xFFu);
    EXPECT_EQ(EncodeSNorm8(NaN), 0x7Fu);
    EXPECT_EQ(EncodeSNorm8(-NaN), 0x7Fu);
    EXPECT_EQ(EncodeUNorm8(INF), 0xFFu);
    EXPECT_EQ(EncodeSNorm8(INF), 0x7Fu);
    EXPECT_EQ(EncodeUNorm8(-INF), 0x00u);
    EXPECT_EQ(EncodeSNorm8(-INF), 0x81u);
    EXPECT_EQ(EncodeUNorm8(0.5f), 0x80u);  // 127.5 to even
    EXPECT_EQ(EncodeSNorm8(0.5f), 0x40u);  // 63.5 to even
    EXPECT_EQ(EncodeSNorm8(-0.5f), 0xC0u);
}

// The product is rounded to single before the integer: for the singles
// nearest 2.5/255 and 3.5/255 it is exactly halfway, and ties go to even.
TEST(EightBitEncoding, TheSingleProductDecidesHalfwayCases) {
    const float twoAndAHalf = static_cast<float>(2.5 / 255.0);
    const float threeAndAHalf = static_cast<float>(3.5 / 255.0);
    ASSERT_EQ(twoAndAHalf * 255.0f, 2.5f);
    ASSERT_EQ(threeAndAHalf * 255.0f, 3.5f);
    EXPECT_EQ(EncodeUNorm8(twoAndAHalf), 2u);
    EXPECT_EQ(EncodeUNorm8(threeAndAHalf), 4u);
}

TEST(FloatToHalf, TheTieAboveTheLargestHalfGoesToInfinity) {
    EXPECT_EQ(FloatToHalf(65520.0f), 0x7C00u);
    EXPECT_EQ(FloatToHalf(std::nextafter(65520.0f, 0.0f)), 0x7BFFu);
}

}  // namespace
}  // namespace meshjobs
