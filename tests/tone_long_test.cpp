// The one-hour buffer: slow to evaluate, so it runs as a test of its own. It is built once,
// the way the program builds it, and then checked sample by sample against the reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tone/tone.h"
#include "tone/tone_buffer.h"
#include "tone/tone_fast.h"
#include "tone_fast_error.h"
#include "tone_oracle.h"

namespace wakelet {
namespace {

constexpr std::size_t HourSamples = 158760000;
// The reference is evaluated in pieces of this many samples, on every core.
constexpr std::size_t Piece = std::size_t{1} << 20;

// A field of /proc/self/status in bytes (Linux), or -1.
long long StatusBytes(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::stoll(line.substr(field.size() + 1)) * 1024;
    return -1;
}

class ToneLong : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        InitWaveFormat();
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak resident size starts again from here
        residentBefore = StatusBytes("VmRSS");
        GenerateTone(10, 3600000, 0.1);
        peakResident = StatusBytes("VmHWM");
    }
    static void TearDownTestSuite() { Samples.Reset(0); }

    static long long residentBefore, peakResident;
};
long long ToneLong::residentBefore = -1, ToneLong::peakResident = -1;

TEST_F(ToneLong, BuildingTheHourTakesLittleMoreMemoryThanTheBufferItself) {
    if (residentBefore < 0 || peakResident < 0) GTEST_SKIP() << "no /proc/self/status here";
    const double buffer = HourSamples * 4.0;
    const double growth = static_cast<double>(peakResident - residentBefore);
    std::printf("peak resident growth %.0f bytes, %.3f%% over the buffer\n", growth,
                (growth / buffer - 1) * 100);
    EXPECT_LE(growth, buffer * 1.02);
}

// The oracle's x87 loop, continued in each piece from the running time one serial pass of
// its sum gives; that pass also checks the fast path's timeline. Without the oracle, the
// end-to-end test compares the hour with the x86-64 Linux build's.
TEST_F(ToneLong, EverySampleOfTheHourIsTheOraclesSample) {
#if !defined(WAKELET_TONE_ORACLE)
    GTEST_SKIP() << "no x87 oracle here: the end-to-end test compares the hour with the x86-64 build's";
#else
    ASSERT_EQ(Samples.size(), HourSamples);
    const ToneSteps steps = oracle::MakeSteps(10, WaveFormat.nSamplesPerSec, 0.1);
    const TonePlan plan = PlanTone(steps, HourSamples);
    ASSERT_TRUE(plan.fast);

    const std::size_t pieces = (HourSamples + Piece - 1) / Piece;
    std::vector<double> pieceStart(pieces);
    std::size_t index = 0, wrongTimes = 0;
    double t = 0.0;
    for (const ToneTimeRun& run : plan.timeline) {
        for (std::size_t m = 0; m < run.count; ++m, ++index) {
            if (index % Piece == 0) pieceStart[index / Piece] = t;
            wrongTimes += run.start + static_cast<double>(m) * run.step != t;
            t = oracle::NextTime(t, steps.timeStep);
        }
    }
    ASSERT_EQ(index, HourSamples);
    EXPECT_EQ(wrongTimes, 0u) << "the timeline strays from the serial sum";

    std::atomic<std::size_t> next{0};
    std::mutex results;
    std::size_t mismatches = 0, firstMismatch = HourSamples;
    auto check = [&] {
        std::size_t myMismatches = 0, myFirst = HourSamples;
        for (std::size_t piece; (piece = next.fetch_add(1)) < pieces;) {
            const std::size_t first = piece * Piece, count = std::min(Piece, HourSamples - first);
            double time = pieceStart[piece];
            for (std::size_t i = 0; i < count; ++i, time = oracle::NextTime(time, steps.timeStep))
                if (oracle::Sample(steps, time) != Samples[first + i]) {
                    ++myMismatches;
                    myFirst = std::min(myFirst, first + i);
                }
        }
        std::lock_guard<std::mutex> lock(results);
        mismatches += myMismatches;
        firstMismatch = std::min(firstMismatch, myFirst);
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < ToneThreads(); ++i) helpers.emplace_back(check);
    check();
    for (std::thread& helper : helpers) helper.join();

    EXPECT_EQ(mismatches, 0u) << "first at index " << firstMismatch;
#endif
}

// The margin the close calls rest on, across the hour's phases (w t up to 226,195) in both
// forms the kernels compute: every 64th sample of 16 blocks (one evaluated start and 15
// turned from it) every 2^22 samples and at the hour's end, where they may stray most.
TEST_F(ToneLong, FastValuesAcrossTheHourStayWithinTheMargin) {
    const ToneSteps steps = MakeToneSteps(10, WaveFormat.nSamplesPerSec, 0.1);
    const TonePlan plan = PlanTone(steps, HourSamples);
    ASSERT_TRUE(plan.fast);
    constexpr std::size_t Stretch = 16 * 2048, Every = std::size_t{1} << 22;
    double worst = 0.0;
    for (std::size_t first = 0; first + Stretch <= HourSamples; first += Every)
        worst = std::max(worst, LargestFastError(plan, first, Stretch, 64));
    worst = std::max(worst, LargestFastError(plan, HourSamples - Stretch, Stretch, 64));
    std::printf("largest |fast - exact| value %.3g, margin %.3g\n", worst, plan.tieMargin);
    EXPECT_LE(worst, plan.tieMargin);
    EXPECT_GT(worst, 0.0);
}

}  // namespace
}  // namespace wakelet
