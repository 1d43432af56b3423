#include "tone/tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ios>

#include "base/failure.h"
#include "tone/tone_buffer.h"
#include "tone/tone_math.h"
#include "tone_oracle.h"

namespace wakelet {
namespace {

class ToneBuffer : public ::testing::Test {
protected:
    void SetUp() override { InitWaveFormat(); }
    void TearDown() override { Samples.Reset(0); }
};

// Each step is rounded twice, to 64 bits and then to double; for the last five, one
// rounding of the exact value would give the neighbouring double (found among all 2^32
// frequencies, all 2^32 rates and 2e8 amplitudes, on every one of which the oracle agrees).
TEST(ToneSteps, AreRoundedToSixtyFourBitsBeforeDouble) {
    const ToneSteps steps = MakeToneSteps(10, 44100, 0.1);
    EXPECT_EQ(steps.peak, 214748364.70000002);  // an extended-precision one tenth: 214748364.69999999
    EXPECT_EQ(steps.timeStep, 1.0 / 44100);
    EXPECT_EQ(steps.angularStep, 0x1.f6a7a2955385ep+5);                          // 62.83185307179586
    EXPECT_EQ(MakeToneSteps(87, 44100, 0.1).angularStep, 0x1.11518d34656a6p+9);  // once: ...a7p+9
    EXPECT_EQ(MakeToneSteps(-87, 44100, 0.1).angularStep, -0x1.11518d34656a6p+9);
    EXPECT_EQ(MakeToneSteps(10, 2731, 0.1).timeStep, 0x1.7ff4005ffd002p-12);  // once: ...001p-12
    EXPECT_EQ(MakeToneSteps(10, 4623, 0.1).timeStep, 0x1.c5a26a6e6b188p-13);  // once: ...189p-13
    EXPECT_EQ(MakeToneSteps(10, 44100, -0x1.da234c004e107p-359).peak, -0x1.da234bfc99c9ep-328);  // ...9dp-328
}

TEST(ToneSteps, AreTheOraclesOverWholeRanges) {
#if !defined(WAKELET_TONE_ORACLE)
    GTEST_SKIP() << "no x87 oracle here";
#else
    std::size_t wrong = 0;
    for (std::int32_t f = -300000; f <= 300000; ++f)
        wrong += MakeToneSteps(f, 44100, 0.1).angularStep != oracle::MakeSteps(f, 44100, 0.1).angularStep;
    for (std::uint32_t rate = 1; rate <= 600000; ++rate)
        wrong += MakeToneSteps(10, rate, 0.1).timeStep != oracle::MakeSteps(10, rate, 0.1).timeStep;
    // Amplitudes from every binade, subnormals and the largest among them, and near 0.1.
    std::uint64_t bits = 0x9e3779b97f4a7c15u;
    for (int i = 0; i < 600000; ++i) {
        bits ^= bits << 13, bits ^= bits >> 7, bits ^= bits << 17;
        double amplitude;
        const std::uint64_t pattern = i % 2 ? bits : 0x3fb999999999999au + bits % 2000000 - 1000000;
        std::memcpy(&amplitude, &pattern, sizeof amplitude);
        const double ours = MakeToneSteps(10, 44100, amplitude).peak,
                     theirs = oracle::MakeSteps(10, 44100, amplitude).peak;
        wrong += !(ours == theirs || (std::isnan(ours) && std::isnan(theirs)));
    }
    EXPECT_EQ(wrong, 0u);
#endif
}

// The running time is summed in extended precision and held as double: here the sum,
// rounded to 64 bits, lands on the midpoint between two doubles and goes to the even one,
// where one rounding would go to the nearer.
TEST(ToneTime, IsSummedToSixtyFourBitsBeforeDouble) {
    EXPECT_EQ(NextToneTime(1.0, 0x1.0008p-53), 1.0);                                   // once: 1 + 2^-52
    EXPECT_EQ(NextToneTime(0x1.0000000000001p+0, 0x1.ffep-54), 0x1.0000000000002p+0);  // once: unchanged
}

// Phases where an evaluation that is nearly right gives another sample: found by search
// with the oracle over the hour, and by construction for the last rounding.
TEST(ToneSample, PhasesNextToRoundingTies) {
    const ToneSteps tone = MakeToneSteps(10, 44100, 0.1);
    const struct {
        double peak;  // 0: the tone's own
        double t;
        std::int32_t sample;
        const char* slip;  // what a sloppy evaluation gives instead, and which
    } rows[] = {
        // The hour's samples 70326334, 122005136 and 150037586: MinGW's sinl (reduction by
        // a shorter pi) moved each by one.
        {0, 0x1.8eace49adc83ap+10, 19577320, "19577321 with MinGW's sinl"},
        {0, 0x1.59d1cdd42381fp+11, -83743411, "-83743412 with MinGW's sinl"},
        {0, 0x1.a946cf943be11p+11, 155051963, "155051964 with MinGW's sinl"},
        // Samples 30453473, 100131978, 155216883 (3 of the hour's 45 such): the sine of the
        // exact w t, not rounded to 64 bits first, gives the next integer down.
        {0, 0x1.5947086325c2p+9, -65634918, "-65634919 from the unrounded w t"},
        {0, 0x1.1bd21fed70b89p+11, -184134397, "-184134398 from the unrounded w t"},
        {0, 0x1.b7f507e98bbcap+11, -94062267, "-94062268 from the unrounded w t"},
        // At sample 1102's time, peaks chosen so that sin(w t) A rounded to 64 bits is
        // exactly n + 1/2 (an even n, then an odd): it goes to the even integer, where
        // rounding the exact product, or a tie away from zero, goes the other way.
        {0x1.999c979fc095bp+27, 0x1.996a0ba80aeep-6, 214754438, "214754439 from the unrounded product"},
        {0x1.999d787fc453p+27, 0x1.996a0ba80aeep-6, 214756238, "214756237 from the unrounded product"},
    };
    for (const auto& row : rows) {
        const ToneSteps steps{tone.angularStep, tone.timeStep, row.peak ? row.peak : tone.peak};
        EXPECT_EQ(ToneSample(steps, row.t), row.sample) << std::hexfloat << row.t << ", not " << row.slip;
    }
}

// The minute's three sines nearest a rounding midpoint of the 64-bit mantissa (within
// 2.5e-6 to 3.4e-6 of a unit): the correctly rounded sine takes the side that mpmath, at
// 300 bits, gives; a sine in error by 2^-82 of itself could take the other, as glibc's
// sinl does at all three. So the value before the last rounding tells them apart.
TEST(ToneValue, SinesNearestARoundingMidpointAreRoundedCorrectly) {
    const ToneSteps steps = MakeToneSteps(10, 44100, 0.1);
    const struct {
        double t;  // the minute's samples 2077537, 1133201 and 2463107
        bool negative;
        std::uint64_t mantissa;
        int exponent;
    } rows[] = {
        {0x1.78e0a13d7c421p+5, false, 0xea1981eade2763dau, -37},
        {0x1.9b2380d8db652p+4, true, 0xc35996a3c052afe6u, -38},
        {0x1.bed2773672df7p+5, true, 0x8dad8fcb4f48f317u, -38},
    };
    for (const auto& row : rows) {
        const Extended value = ToneValue(steps, row.t);
        EXPECT_EQ(value.negative, row.negative) << std::hexfloat << row.t;
        EXPECT_EQ(value.mantissa, row.mantissa) << std::hexfloat << row.t;
        EXPECT_EQ(value.exponent, row.exponent) << std::hexfloat << row.t;
    }
}

// The rows that fix the evaluation: the last two tell extended precision from double.
TEST_F(ToneBuffer, OneMinuteTenHertzMatchesTheWorkedValues) {
    GenerateTone(10, 60000, 0.1);
    ASSERT_EQ(Samples.size(), 2646000u);
    const struct {
        std::size_t index;
        std::int32_t sample;
    } rows[] = {
        {0, 0},       {1, 305964},  {2, 611928},        {3, 917891},
        {4, 1223852}, {5, 1529810}, {1102, 214748310},  {1103, 214748310},
        {2205, 0},    {4410, 0},    {226810, 90409814}, {582864, 187339052},
    };
    for (const auto& row : rows) EXPECT_EQ(Samples[row.index], row.sample) << "index " << row.index;

    auto [lowest, highest] = std::minmax_element(Samples.data(), Samples.data() + Samples.size());
    EXPECT_EQ(*lowest, -214748310);
    EXPECT_EQ(*highest, 214748310);
}

// The product that compilers without a 128-bit integer type use (MSVC's, 32-bit ARM's).
TEST(ToneMath, ProductFromThirtyTwoBitPiecesIsTheFullProduct) {
    std::uint64_t a = 0x9e3779b97f4a7c15u, b = ~std::uint64_t{0};
    for (int i = 0; i < 100000; ++i) {
        std::uint64_t hi, lo, portableHi, portableLo;
        exact::Multiply64(a, b, &hi, &lo);
        exact::Multiply64Portable(a, b, &portableHi, &portableLo);
        ASSERT_EQ(portableHi, hi) << std::hex << a << " " << b;
        ASSERT_EQ(portableLo, lo) << std::hex << a << " " << b;
        a ^= a << 13, a ^= a >> 7, a ^= a << 17;
        b = i % 3 ? a * 0xff51afd7ed558ccdu : ~std::uint64_t{0} >> (i % 64);
    }
}

// Phases far beyond the hour's, up to 2^2000: the reduction then reads 1/(2 pi) from deep in
// its table, every word of which these reach. glibc's sinl reduces exactly too, so a sample
// differs only where it lies within a unit in the last place of a tie (none of these).
TEST(ToneSample, LargePhasesAreTheOracles) {
#if !defined(WAKELET_TONE_ORACLE)
    GTEST_SKIP() << "no x87 oracle here";
#else
    std::uint64_t bits = 0x2545f4914f6cdd1du;
    std::size_t wrong = 0;
    for (int i = 0; i < 20000; ++i) {
        bits ^= bits << 13, bits ^= bits >> 7, bits ^= bits << 17;
        const int exponent = static_cast<int>(bits % 1990) + 10;  // w t from 2^10 to 2^2000
        const double w = std::ldexp(1.0 + static_cast<double>(bits >> 12) * 0x1p-52, exponent / 2);
        const double t = std::ldexp(1.0 + static_cast<double>((bits * 0x9e3779b97f4a7c15u) >> 12) * 0x1p-52,
                                    exponent - exponent / 2);
        const ToneSteps steps{w, 1.0 / 44100, 214748364.70000002};
        wrong += ToneSample(steps, t) != oracle::Sample(steps, t);
    }
    EXPECT_EQ(wrong, 0u);
#endif
}

TEST(ToneSampleCount, RoundsTheDurationAtTheRateAndRefusesOversizedBuffers) {
    const struct {
        std::uint32_t durationMs, rate, count;
    } rows[] = {
        {60000, 44100, 2646000},
        {3600000, 44100, 158760000},
        {0, 44100, 0},
        {1, 44100, 44},
        {10, 44100, 441},
        {1, 22050, 22},  // 22.05
        {3, 500, 2},
        {1, 500, 0},  // 1.5 and 0.5: ties to even
        {536870909, 1000, MaxToneSamples},
        // Exact ties that the chain's rounding of durationMs / 1000 to 64 bits moves off the
        // tie: 31.5 and 126.5, where rounding the exact quotient, ties to even, gives 32 and 126.
        {63, 500, 31},
        {253, 500, 127},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ToneSampleCount(row.durationMs, row.rate), row.count)
            << row.durationMs << " ms at " << row.rate;

    EXPECT_THROW(ToneSampleCount(536870910, 1000), ERangeError);
    EXPECT_THROW(ToneSampleCount(4294967295u, 44100), ERangeError);
}

TEST(ToneSampleCount, RoundsAsTheOracleDoes) {
#if !defined(WAKELET_TONE_ORACLE)
    GTEST_SKIP() << "no x87 oracle here";
#else
    // The chain's own roundings (of durationMs / 1000 and of the product, each to 64 bits),
    // exactly: every duration up to 20 minutes at 44100 Hz (every 13th at other rates), and
    // every 65521st rate for the program's two durations, against the oracle, refusals
    // included.
    std::size_t wrong = 0;
    auto check = [&](std::uint32_t durationMs, std::uint32_t rate) {
        const long double expected = oracle::SampleCount(durationMs, rate);
        try {
            const std::uint32_t count = ToneSampleCount(durationMs, rate);
            wrong += expected > MaxToneSamples || count != expected;
        } catch (const ERangeError&) {
            wrong += !(expected > MaxToneSamples);
        }
    };
    for (std::uint32_t rate : {1u, 3u, 500u, 8000u, 22050u, 44100u, 48000u, 96000u, 4294967295u})
        for (std::uint32_t durationMs = 0; durationMs <= 1200000; durationMs += rate == 44100 ? 1 : 13)
            check(durationMs, rate);
    for (std::uint32_t durationMs : {60000u, 3600000u})
        for (std::uint64_t rate = 0; rate <= 0xffffffffu; rate += 65521)
            check(durationMs, static_cast<std::uint32_t>(rate));
    EXPECT_EQ(wrong, 0u);
#endif
}

// A tone too long to count, and memory that cannot be had (an exabyte), keep the old contents.
TEST_F(ToneBuffer, RegeneratingReplacesTheWholeBufferUnlessRefused) {
    GenerateTone(10, 1000, 0.1);
    const std::vector<std::int32_t> second(Samples.data(), Samples.data() + Samples.size());
    const std::int32_t* before = Samples.data();
    EXPECT_THROW(GenerateTone(10, 4294967295u, 0.1), ERangeError);
    EXPECT_THROW(Samples.Reset(std::size_t{1} << 60), EOutOfMemory);
    ASSERT_EQ(Samples.data(), before);
    ASSERT_EQ(Samples.size(), 44100u);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), Samples.data()));
    GenerateTone(10, 2000, 0.1);
    ASSERT_EQ(Samples.size(), 88200u);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), Samples.data()));  // same tone, longer
    GenerateTone(10, 500, 0.1);
    EXPECT_EQ(Samples.size(), 22050u);
}

}  // namespace
}  // namespace wakelet
