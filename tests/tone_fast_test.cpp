// The fast tone against its definition, the reference evaluation.
#include "tone/tone_fast.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ios>
#include <vector>

#include "tone/tone.h"
#include "tone_fast_error.h"

namespace wakelet {
namespace {

std::vector<std::int32_t> Reference(const ToneSteps& steps, std::size_t count) {
    std::vector<std::int32_t> samples(count);
    SynthesizeToneReference(steps, samples.data(), count);
    return samples;
}

std::vector<std::int32_t> Fast(const ToneSteps& steps, std::size_t count, unsigned threads) {
    std::vector<std::int32_t> samples(count);
    ToneSynthesizer(steps, count, threads).Run(samples.data());
    return samples;
}

// The first index where two buffers differ, or their length.
std::size_t FirstDifference(const std::vector<std::int32_t>& a, const std::vector<std::int32_t>& b) {
    return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
}

TEST(ToneTimeline, RunsReproduceTheSerialSumAtEveryIndex) {
    const struct {
        std::uint32_t rate;
        std::size_t count;
    } rows[] = {{44100, 2646000}, {48000, 2880000}, {8000, 1000000},
                {22050, 1500000}, {96000, 3000000}, {1, 5000}};
    for (const auto& row : rows) {
        const double dt = MakeToneSteps(10, row.rate, 0.1).timeStep;
        const std::vector<ToneTimeRun> runs = ToneTimeline(dt, row.count);
        std::size_t index = 0, wrong = 0;
        double t = 0.0;
        for (const ToneTimeRun& run : runs) {
            ASSERT_EQ(run.first, index) << row.rate << " Hz: runs leave a gap";
            ASSERT_GT(run.count, 0u);
            for (std::size_t m = 0; m < run.count; ++m, ++index) {
                wrong += run.start + static_cast<double>(m) * run.step != t;
                t = NextToneTime(t, dt);
            }
        }
        EXPECT_EQ(index, row.count) << row.rate << " Hz";
        EXPECT_EQ(wrong, 0u) << row.rate << " Hz";
        // One run a binade, give or take the first few samples: the fast path relies on long runs.
        EXPECT_LT(runs.size(), 64u) << row.rate << " Hz";
    }
}

// The bound the close calls rest on: every fast value lies within the margin of the value
// the definition rounds. Every kernel this build has (the portable one runs where SSE2 and
// AVX2 are missing, the SSE2 one where AVX2 is) writes its samples, with few close calls.
TEST(ToneFast, FastValuesOfOneMinuteStayWithinTheMargin) {
    const ToneSteps steps = MakeToneSteps(10, 44100, 0.1);
    const TonePlan plan = PlanTone(steps, 2646000);
    ASSERT_TRUE(plan.fast);
    const double worst = LargestFastError(plan, 0, plan.count, 1);
    EXPECT_LE(worst, plan.tieMargin);
    EXPECT_GT(worst, 0.0);
    const std::vector<std::int32_t> reference = Reference(steps, plan.count);
    for (ToneKernel kernel : ToneKernels()) {
        ToneWriter writer(plan, kernel);
        ASSERT_EQ(writer.Kernel(), kernel);
        std::vector<std::int32_t> samples(plan.count);
        EXPECT_LT(writer.Write(samples.data(), 0, plan.count), plan.count / 10000) << ToneKernelName(kernel);
        EXPECT_EQ(FirstDifference(samples, reference), plan.count) << ToneKernelName(kernel);
    }
}

// The fast path turns phases by whole turns exactly and only the excess approximately, so
// it needs w within a sliver of a whole number of turns: steps of a frequency that is not
// a whole number of hertz fall outside it and are built by the definition, right.
TEST(ToneFast, OtherTonesMatchTheReferenceToo) {
    const ToneSteps tenHertz = MakeToneSteps(10, 44100, 0.1);
    const struct {
        ToneSteps steps;
        std::size_t count;
        bool fast;
    } rows[] = {
        {MakeToneSteps(440, 48000, 0.5), 144000, true},
        {MakeToneSteps(1, 8000, 1.0), 32000, true},
        {MakeToneSteps(-10, 44100, 0.1), 132300, true},
        {MakeToneSteps(10, 22050, -0.3), 88200, true},
        {MakeToneSteps(19999, 96000, 0.9), 192000, true},
        {MakeToneSteps(0, 44100, 0.1), 22050, true},
        {MakeToneSteps(10, 44100, 1e-9), 44100, true},
        {MakeToneSteps(1000000, 44100, 0.1), 44100, true},
        {MakeToneSteps(10, 1, 0.1), 3600, true},
        {tenHertz, 0, false},  // nothing to build
        // Out of the fast path's reach: the reference builds them.
        {MakeToneSteps(10, 44100, 1.5), 44100, false},
        {MakeToneSteps(1 << 30, 44100, 0.1), 13230, false},
        {MakeToneSteps(10, 44100, NAN), 13230, false},
        {{2 * 3.141592653589793 * 10.5, tenHertz.timeStep, tenHertz.peak}, 200000, false},  // half a turn off
        // A whole-turn step moved by 2^-20 radians, by 2^-30 over the buffer, and by 2^-38: still in reach.
        {{tenHertz.angularStep + 0x1p-20, tenHertz.timeStep, tenHertz.peak}, 200000, false},
        {{tenHertz.angularStep * (1 + 0x1p-36), tenHertz.timeStep, tenHertz.peak}, 200000, false},
        {{tenHertz.angularStep * (1 + 0x1p-44), tenHertz.timeStep, tenHertz.peak}, 200000, true},
    };
    for (const auto& row : rows) {
        const ToneSteps& steps = row.steps;
        EXPECT_EQ(PlanTone(steps, row.count).fast, row.fast) << std::hexfloat << steps.angularStep;
        EXPECT_EQ(FirstDifference(Fast(steps, row.count, 2), Reference(steps, row.count)), row.count)
            << std::hexfloat << steps.angularStep << " at " << steps.timeStep << ", peak " << steps.peak;
    }
}

// Pieces that start and end anywhere: in the first runs, on block and run edges, with
// tails shorter than a vector.
TEST(ToneFast, AnyPieceOfTheBufferIsWrittenAlone) {
    const ToneSteps steps = MakeToneSteps(10, 44100, 0.1);
    const std::size_t count = 100000;
    const TonePlan plan = PlanTone(steps, count);
    const std::vector<std::int32_t> reference = Reference(steps, count);
    const struct {
        std::size_t first, count;
    } rows[] = {{0, 1},     {0, 7},         {3, 40},       {5510, 5},     {5511, 3000},
                {11023, 3}, {11025, 2048},  {11026, 2047}, {13073, 4099}, {22049, 1},
                {44099, 3}, {60000, 39999}, {99997, 3},    {0, 100000}};
    ToneWriter writer(plan);
    for (const auto& row : rows) {
        std::vector<std::int32_t> piece(row.count + 2, 0x5a5a5a5a);
        writer.Write(piece.data() + 1, row.first, row.count);
        EXPECT_EQ(piece.front(), 0x5a5a5a5a) << "before " << row.first;
        EXPECT_EQ(piece.back(), 0x5a5a5a5a) << "after " << row.first << "+" << row.count;
        EXPECT_TRUE(std::equal(piece.begin() + 1, piece.end() - 1, reference.begin() + row.first))
            << row.first << "+" << row.count;
    }
}

TEST(ToneFast, EveryThreadCountBuildsTheSameBuffer) {
    const ToneSteps steps = MakeToneSteps(10, 44100, 0.1);
    const std::size_t count = 1300007;  // a few chunks and a ragged end
    const std::vector<std::int32_t> reference = Reference(steps, count);
    for (unsigned threads : {1u, 2u, 3u, 16u})
        EXPECT_EQ(FirstDifference(Fast(steps, count, threads), reference), count) << threads << " threads";
}

}  // namespace
}  // namespace wakelet
