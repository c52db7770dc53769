// Whole-domain proofs of the codec's rounding conversions against the CPU's
// own conversion instructions, in each of the four rounding modes:
// single→half over all 2^32 bit patterns, half→single over all 65536 halves,
// and rounding to an integer over every single the 8-bit encoders can see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "conversion/attribute_codec.h"

namespace meshjobs {
namespace {

struct RoundingMode {
    int mode;
    const char* name;
};
constexpr RoundingMode ROUNDING_MODES[] = {
    {FE_TONEAREST, "to nearest"}, {FE_UPWARD, "upward"}, {FE_DOWNWARD, "downward"}, {FE_TOWARDZERO, "toward zero"}};

constexpr int BLOCK = 1024;

// ---- The reference: the processor's own half conversions ----

#if defined(__x86_64__) || defined(__i386__)

// F16C is VEX-encoded, so the system must also save the AVX registers.
bool HasReference() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_F16C) || !(c & bit_OSXSAVE)) return false;
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (low & 6) == 6;
}
const char* ReferenceName() { return "F16C"; }

__attribute__((target("avx,f16c"))) void ReferenceToHalf(const float* in, uint16_t* out) {
    for (int k = 0; k < BLOCK; k += 8) {
        const __m128i halves = _mm256_cvtps_ph(_mm256_loadu_ps(in + k), _MM_FROUND_CUR_DIRECTION);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), halves);
    }
}

__attribute__((target("f16c"))) float ReferenceToFloat(uint16_t half) { return _cvtsh_ss(half); }

#elif defined(__aarch64__)

bool HasReference() { return true; }
const char* ReferenceName() { return "FCVT"; }

// fcvt rounds by the FPCR mode, which fesetround sets.
void ReferenceToHalf(const float* in, uint16_t* out) {
    for (int k = 0; k < BLOCK; ++k) {
        const __fp16 half = static_cast<__fp16>(in[k]);
        std::memcpy(&out[k], &half, 2);
    }
}

float ReferenceToFloat(uint16_t bits) {
    __fp16 half;
    std::memcpy(&half, &bits, 2);
    return static_cast<float>(half);
}

#else

bool HasReference() { return false; }
const char* ReferenceName() { return "none"; }
void ReferenceToHalf(const float*, uint16_t*) {}
float ReferenceToFloat(uint16_t) { return 0.0f; }

#endif

bool HalfIsNaN(uint16_t half) { return (half & 0x7C00u) == 0x7C00u && (half & 0x3FFu) != 0; }

// How many values disagreed, and the first of them, per thread and in total.
struct Tally {
    uint64_t checked = 0, mismatches = 0;
    uint32_t input = 0, got = 0, expected = 0;

    void Record(uint32_t in, uint32_t gotValue, uint32_t expectedValue) {
        if (mismatches++ == 0) input = in, got = gotValue, expected = expectedValue;
    }
    void Merge(const Tally& other) {
        if (mismatches == 0 && other.mismatches != 0) input = other.input, got = other.got, expected = other.expected;
        checked += other.checked;
        mismatches += other.mismatches;
    }
    std::string Describe() const {
        char text[96];
        std::snprintf(text, sizeof text, "first: input 0x%08x gave 0x%08x, expected 0x%08x", input, got, expected);
        return text;
    }
};

// Runs sweep(begin, end, tally) over [begin, end) split across every hardware
// thread, each thread in the given rounding mode (the mode is per thread).
template <typename Sweep>
Tally RunSplit(int mode, uint64_t begin, uint64_t end, Sweep sweep) {
    const unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    std::vector<Tally> tallies(threads);
    std::vector<std::thread> workers;
    const uint64_t span = (end - begin + threads - 1) / threads;
    for (unsigned t = 0; t < threads; ++t) {
        const uint64_t from = std::min(end, begin + t * span);
        const uint64_t to = std::min(end, from + span);
        workers.emplace_back([&, t, from, to] {
            const int previous = std::fegetround();
            std::fesetround(mode);
            sweep(from, to, tallies[t]);
            std::fesetround(previous);
        });
    }
    for (std::thread& worker : workers) worker.join();
    Tally total;
    for (const Tally& tally : tallies) total.Merge(tally);
    return total;
}

// Kept out of line so that its code is the codec's, not one fused with the
// reference's target.
__attribute__((noinline)) void CodecToHalf(const float* in, uint16_t* out) {
    for (int k = 0; k < BLOCK; ++k) out[k] = FloatToHalf(in[k]);
}

void SweepToHalf(uint64_t begin, uint64_t end, Tally& tally) {
    alignas(32) float in[BLOCK];
    alignas(32) uint16_t got[BLOCK];
    alignas(32) uint16_t expected[BLOCK];
    for (uint64_t base = begin; base < end; base += BLOCK) {
        for (int k = 0; k < BLOCK; ++k) in[k] = BitsToFloat(static_cast<uint32_t>(base + k));
        CodecToHalf(in, got);
        ReferenceToHalf(in, expected);
        for (int k = 0; k < BLOCK; ++k) {
            if (got[k] == expected[k]) continue;
            // A NaN's payload is the processor's choice; only NaN-ness counts.
            if (HalfIsNaN(got[k]) && HalfIsNaN(expected[k])) continue;
            tally.Record(static_cast<uint32_t>(base + k), got[k], expected[k]);
        }
        tally.checked += BLOCK;
    }
}

TEST(HalfConversionExhaustive, EverySingleRoundsToTheSameHalfAsTheProcessorInEachMode) {
    if (!HasReference()) GTEST_SKIP() << "this processor has no half conversion instruction (F16C) to compare with";
    for (const RoundingMode& mode : ROUNDING_MODES) {
        const auto start = std::chrono::steady_clock::now();
        const Tally tally = RunSplit(mode.mode, 0, uint64_t{1} << 32, SweepToHalf);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("single to half, %s, against %s: %llu values, %.1f s\n", mode.name, ReferenceName(),
                    static_cast<unsigned long long>(tally.checked), seconds);
        EXPECT_EQ(tally.checked, uint64_t{1} << 32);
        EXPECT_EQ(tally.mismatches, 0u) << "rounding " << mode.name << ", " << tally.Describe();
    }
}

TEST(HalfConversionExhaustive, EveryHalfDecodesExactlyAsTheProcessorDecodesIt) {
    if (!HasReference()) GTEST_SKIP() << "this processor has no half conversion instruction (F16C) to compare with";
    // Decoding is exact, so the mode must not matter.
    for (const RoundingMode& mode : ROUNDING_MODES) {
        const Tally tally = RunSplit(mode.mode, 0, 65536, [](uint64_t begin, uint64_t end, Tally& tally) {
            for (uint64_t h = begin; h < end; ++h) {
                const float got = HalfToFloat(static_cast<uint16_t>(h));
                const float expected = ReferenceToFloat(static_cast<uint16_t>(h));
                ++tally.checked;
                if (std::isnan(got) && std::isnan(expected)) continue;
                if (FloatBits(got) != FloatBits(expected))
                    tally.Record(static_cast<uint32_t>(h), FloatBits(got), FloatBits(expected));
            }
        });
        EXPECT_EQ(tally.checked, 65536u);
        EXPECT_EQ(tally.mismatches, 0u) << "rounding " << mode.name << ", " << tally.Describe();
    }
}

// The 8-bit encoders round products in [-255, 255]; every single up to 256 in
// magnitude, both signs, against the processor's rint in the same mode.
TEST(RoundToIntegerExhaustive, EverySingleUpTo256RoundsAsRintInEachMode) {
    const uint64_t last = FloatBits(256.0f);
    for (const RoundingMode& mode : ROUNDING_MODES) {
        const Tally tally = RunSplit(mode.mode, 0, 2 * (last + 1), [](uint64_t begin, uint64_t end, Tally& tally) {
            for (uint64_t n = begin; n < end; ++n) {
                // Both signs of every magnitude: n even positive, n odd negative.
                const uint32_t bits = static_cast<uint32_t>(n >> 1) | (n & 1 ? 0x80000000u : 0u);
                const float y = BitsToFloat(bits);
                const int32_t got = RoundToInteger(y);
                const int32_t expected = static_cast<int32_t>(std::rint(y));
                ++tally.checked;
                if (got != expected) tally.Record(bits, static_cast<uint32_t>(got), static_cast<uint32_t>(expected));
            }
        });
        EXPECT_EQ(tally.checked, 2 * (last + 1));
        EXPECT_EQ(tally.mismatches, 0u) << "rounding " << mode.name << ", " << tally.Describe();
    }
}

}  // namespace
}  // namespace meshjobs
