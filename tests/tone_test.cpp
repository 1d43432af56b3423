#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "failure.h"
#include "tone.h"
#include "tone_buffer.h"

namespace wakelet {
namespace {

class ToneBuffer : public ::testing::Test {
protected:
    void SetUp() override { InitWaveFormat(); }
    void TearDown() override { Samples.Reset(0); }
};

TEST_F(ToneBuffer, FormatIsThirtyTwoBitMonoPcmAt44100) {
    EXPECT_EQ(WaveFormat.wFormatTag, 1);
    EXPECT_EQ(WaveFormat.nChannels, 1);
    EXPECT_EQ(WaveFormat.nSamplesPerSec, 44100u);
    EXPECT_EQ(WaveFormat.wBitsPerSample, 32);
    EXPECT_EQ(WaveFormat.nAvgBytesPerSec, 176400u);
    EXPECT_EQ(WaveFormat.nBlockAlign, 4);
    EXPECT_EQ(WaveFormat.cbSize, 0);
}

TEST(ToneSteps, PeakIsFullScaleTimesTheDoubleOneTenth) {
    ToneSteps steps = MakeToneSteps(10, 44100, 0.1);
    // An extended-precision one tenth would give 214748364.69999999 instead.
    EXPECT_EQ(steps.peak, 214748364.70000002);
    EXPECT_EQ(steps.timeStep, 1.0 / 44100);
    EXPECT_EQ(steps.angularStep, static_cast<double>(6.283185307179586477L * 10));
}

// The rows that fix the evaluation: the last two tell extended precision from double.
TEST_F(ToneBuffer, OneMinuteTenHertzMatchesTheWorkedValues) {
    GenerateTone(10, 60000, 0.1);
    ASSERT_EQ(Samples.size(), 2646000u);
    const struct {
        std::size_t index;
        std::int32_t sample;
    } rows[] = {
        {0, 0},           {1, 305964},        {2, 611928},          {3, 917891},
        {4, 1223852},     {5, 1529810},       {1102, 214748310},    {1103, 214748310},
        {2205, 0},        {4410, 0},          {226810, 90409814},   {582864, 187339052},
    };
    for (const auto& row : rows) EXPECT_EQ(Samples[row.index], row.sample) << "index " << row.index;

    auto [lowest, highest] = std::minmax_element(Samples.data(), Samples.data() + Samples.size());
    EXPECT_EQ(*lowest, -214748310);
    EXPECT_EQ(*highest, 214748310);
}

TEST(ToneSampleCount, RoundsTheDurationAtTheRateAndRefusesOversizedBuffers) {
    const struct {
        std::uint32_t durationMs, rate, count;
    } rows[] = {
        {60000, 44100, 2646000},   {3600000, 44100, 158760000}, {0, 44100, 0},
        {1, 44100, 44},            {10, 44100, 441},            {1, 22050, 22},  // 22.05
        {3, 500, 2},               {1, 500, 0},                                   // 1.5 and 0.5: ties to even
        {536870909, 1000, MaxToneSamples},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ToneSampleCount(row.durationMs, row.rate), row.count) << row.durationMs << " ms at " << row.rate;

    EXPECT_THROW(ToneSampleCount(536870910, 1000), ERangeError);
    EXPECT_THROW(ToneSampleCount(4294967295u, 44100), ERangeError);
}

TEST_F(ToneBuffer, ZeroDurationLeavesTheBufferEmpty) {
    GenerateTone(10, 1000, 0.1);
    GenerateTone(10, 0, 0.1);
    EXPECT_TRUE(Samples.empty());
}

TEST_F(ToneBuffer, RegeneratingReplacesTheWholeBuffer) {
    GenerateTone(10, 1000, 0.1);
    std::vector<std::int32_t> second(Samples.data(), Samples.data() + Samples.size());
    GenerateTone(10, 2000, 0.1);
    ASSERT_EQ(Samples.size(), 88200u);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), Samples.data()));  // same tone, longer
    GenerateTone(10, 500, 0.1);
    EXPECT_EQ(Samples.size(), 22050u);
    EXPECT_EQ(Samples[1103], 214748310);
}

TEST_F(ToneBuffer, RefusedBufferKeepsTheOldContents) {
    GenerateTone(10, 1000, 0.1);
    const std::int32_t* before = Samples.data();
    EXPECT_THROW(GenerateTone(10, 4294967295u, 0.1), ERangeError);
    EXPECT_EQ(Samples.data(), before);
    EXPECT_EQ(Samples.size(), 44100u);
}

TEST_F(ToneBuffer, UnobtainableMemoryIsOutOfMemoryAndKeepsTheOldContents) {
    GenerateTone(10, 1000, 0.1);
    try {
        Samples.Reset(std::size_t{1} << 60);
        FAIL() << "an exabyte was handed out";
    } catch (const EOutOfMemory& failure) {
        EXPECT_EQ(failure.ClassName(), "EOutOfMemory");
        EXPECT_EQ(failure.Message(), "Out of memory");
    }
    EXPECT_EQ(Samples.size(), 44100u);
    EXPECT_EQ(Samples[1102], 214748310);
}

}  // namespace
}  // namespace wakelet
