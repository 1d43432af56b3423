#include "program/playback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <vector>

#include "base/failure.h"
#include "console_capture.h"
#include "fake_waveout.h"
#include "program/driver.h"
#include "program/settings.h"
#include "tone/tone_buffer.h"

namespace wakelet {
namespace {

const GUID NoGuid{};

class Cycle : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFakeWaveOut();
        InitWaveFormat();
        Running = true;
        Verbose = false;
        OfferExtensibleFirst = false;
        UseInterval(VerboseCycleInterval);
    }
    void TearDown() override {
        ResetFakeWaveOut();
        Samples.Reset(0);
    }
    // A buffer of the interval's length; the fake never reads its contents.
    void UseInterval(std::uint32_t ms) {
        CycleInterval = ms;
        Samples.Reset(std::size_t{ms} * 441 / 10);
    }
    std::size_t Count(FakeCall::Kind kind, MMRESULT result) const {
        return static_cast<std::size_t>(
            std::count_if(Fake().calls.begin(), Fake().calls.end(),
                          [&](const FakeCall& c) { return c.kind == kind && c.result == result; }));
    }
    ConsoleCapture console;
};

TEST_F(Cycle, PlaysOnceOrWaitsOneIntervalWithoutADeviceAndEndsTheRunWithoutATone) {
    constexpr std::uint32_t Minute = VerboseCycleInterval, Hour = NormalCycleInterval;
    const struct {
        bool verbose;
        std::uint32_t interval;
        std::int64_t playMs;
        const char* calls;
        std::uint64_t endsAt;
        const char* output;
        MMRESULT open = MMSYSERR_NOERROR, extensibleOpen = MMSYSERR_NOERROR;
        bool running = true;
    } rows[] = {
        {true, Minute, 750,
         "open=0 prepare write sleep(500) unprepare=33 sleep(100) unprepare=33 sleep(100) unprepare=33 "
         "sleep(100) unprepare=0 close",
         800, "audio device found.\r\n"},
        // Done early still costs the first half second.
        {false, Minute, 499, "open=0 prepare write sleep(500) unprepare=0 close", 500, ""},
        {false, Minute, 500, "open=0 prepare write sleep(500) unprepare=0 close", 500, ""},
        {false, Minute, 501, "open=0 prepare write sleep(500) unprepare=33 sleep(100) unprepare=0 close", 600,
         ""},
        // A plain description refused as a bad format: the extensible one at once, said once.
        {true, Minute, 0, "open=32 open(extensible)=0 prepare write sleep(500) unprepare=0 close", 500,
         "audio device found.\r\n", WAVERR_BADFORMAT},
        // No device; only a refused format is worth a second description.
        {true, Minute, -1, "open=6 sleep(60000)", Minute, "no audio device found.\r\n", 6},
        {false, Hour, -1, "open=6 sleep(3600000)", Hour, "", 6},
        {false, Hour, -1, "open=1 sleep(3600000)", Hour, "", 1},
        {true, Minute, -1, "open=32 open(extensible)=32 sleep(60000)", Minute, "no audio device found.\r\n",
         WAVERR_BADFORMAT, WAVERR_BADFORMAT},
        {false, Hour, -1, "open=32 open(extensible)=6 sleep(3600000)", Hour, "", WAVERR_BADFORMAT, 6},
        // No tone: said even when not verbose, and the run ends.
        {false, 0, -1, "", 0, "audio data error.\r\nexiting application.\r\n", 0, 0, false},
    };
    for (const auto& row : rows) {
        ResetFakeWaveOut();
        Running = true;
        OfferExtensibleFirst = false;
        Verbose = row.verbose;
        UseInterval(row.interval);
        Fake().playMs = row.playMs;
        Fake().openResults = {row.open, row.extensibleOpen};
        std::string before = console.Output();
        PlayCycle();
        StdConsole().Flush();
        EXPECT_EQ(DescribeCalls(Fake().calls), row.calls);
        EXPECT_EQ(Fake().now, row.endsAt) << row.calls;
        EXPECT_EQ(console.Output().substr(before.size()), row.output) << row.calls;
        EXPECT_EQ(Running, row.running) << row.calls;
        EXPECT_EQ(Fake().openDevices, 0) << row.calls;
        EXPECT_EQ(Fake().misuses, 0) << row.calls;
    }
}

// The description a driver took second is offered first from then on, until one takes
// the other second again.
TEST_F(Cycle, OffersFirstTheDescriptionTheDriverTookLast) {
    const struct {
        std::deque<MMRESULT> opens;
        const char* calls;
    } cycles[] = {
        {{WAVERR_BADFORMAT}, "open=32 open(extensible)=0"},
        {{}, "open(extensible)=0"},
        {{6}, "open(extensible)=6"},
        {{WAVERR_BADFORMAT}, "open(extensible)=32 open=0"},
        {{}, "open=0"},
    };
    for (const auto& cycle : cycles) {
        ResetFakeWaveOut();
        Fake().openResults = cycle.opens;
        PlayCycle();
        std::vector<FakeCall> opens;
        std::copy_if(Fake().calls.begin(), Fake().calls.end(), std::back_inserter(opens),
                     [](const FakeCall& c) { return c.kind == FakeCall::Open; });
        EXPECT_EQ(DescribeCalls(opens), cycle.calls);
    }
}

TEST_F(Cycle, HandsTheWholeBufferToTheDeviceInPlace) {
    for (bool extensible : {false, true})
        for (std::uint32_t interval : {VerboseCycleInterval, NormalCycleInterval}) {
            ResetFakeWaveOut();
            UseInterval(interval);
            OfferExtensibleFirst = false;
            if (extensible) Fake().openResults = {WAVERR_BADFORMAT};
            PlayCycle();
            EXPECT_EQ(Fake().playedData, reinterpret_cast<const char*>(Samples.data()));
            EXPECT_EQ(Fake().playedBytes, Samples.size() * 4);
            // The same samples either way; only the description differs.
            const WAVEFORMATEXTENSIBLE& format = Fake().offered;
            EXPECT_EQ(format.Format.wFormatTag, extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM);
            EXPECT_EQ(format.Format.nChannels, 1);
            EXPECT_EQ(format.Format.nSamplesPerSec, 44100u);
            EXPECT_EQ(format.Format.nAvgBytesPerSec, 176400u);
            EXPECT_EQ(format.Format.nBlockAlign, 4);
            EXPECT_EQ(format.Format.wBitsPerSample, 32);
            EXPECT_EQ(format.Format.cbSize, extensible ? 22 : 0);
            EXPECT_EQ(format.Samples.wValidBitsPerSample, extensible ? 32 : 0);
            EXPECT_EQ(format.dwChannelMask, extensible ? SPEAKER_FRONT_CENTER : 0u);
            EXPECT_EQ(std::memcmp(&format.SubFormat, extensible ? &KSDATAFORMAT_SUBTYPE_PCM : &NoGuid,
                                  sizeof(GUID)),
                      0);
            // The device plays the buffer's own length: one poll per 100 ms after the first 500.
            EXPECT_EQ(Fake().calls.back().at, interval);
            EXPECT_EQ(Count(FakeCall::Unprepare, WAVERR_STILLPLAYING), (interval - 500) / 100);
            EXPECT_EQ(Count(FakeCall::Reset, MMSYSERR_NOERROR), 0u);
            EXPECT_EQ(Fake().misuses, 0);
        }
    EXPECT_EQ(WaveFormat.wFormatTag, WAVE_FORMAT_PCM);
}

TEST_F(Cycle, AStalledOrEndlessBufferIsResetAndADeviceThatPlayedNothingIsNoDevice) {
    constexpr std::int64_t Never = std::int64_t{1} << 40;
    const struct {
        const char* what;
        std::int64_t playMs, movesMs;
        std::uint64_t stepMs;
        std::int64_t resetAt;  // -1: never
        std::uint64_t closedAt;
        bool waits;                // then a cycle's wait, as without a device
        std::uint64_t lateMs = 0;  // each sleep runs this much late
        bool positionKnown = true;
        bool resetKeeps = false;  // the driver keeps the header, and the device, for good
    } rows[] = {
        {"never plays, never finishes", Never, 0, 1, 5000, 5000, true},
        {"never plays, and every sleep runs 20 ms late", Never, 0, 1, 5080, 5080, true, 20},
        {"stops after 20 s", Never, 20000, 1, 25000, 25000, false},
        {"moves every 5 s: slow, not stalled", 60000, -1, 5000, -1, 60000, false},
        {"moves every 5.1 s", 60000, -1, 5100, 5000, 5000, true},
        {"stands still once all is played, then finishes", 20000, 15000, 1, -1, 20000, false},
        {"cannot say where it is, plays to its end", 60000, -1, 1, -1, 60000, false, 0, false},
        {"moves for good, never finishes: the minute and its margin", Never, -1, 1, 76000, 76000, false},
        {"stops after 20 s, and keeps the header through the reset", Never, 20000, 1, 25000, 26000, false, 0,
         true, true},
    };
    for (const auto& row : rows) {
        ResetFakeWaveOut();
        Fake().playMs = row.playMs;
        Fake().movesMs = row.movesMs;
        Fake().stepMs = row.stepMs;
        Fake().lateMs = row.lateMs;
        Fake().positionKnown = row.positionKnown;
        Fake().resetKeeps = row.resetKeeps;
        PlayCycle();
        auto at = [](FakeCall::Kind kind) {
            auto call = std::find_if(Fake().calls.begin(), Fake().calls.end(),
                                     [&](const FakeCall& c) { return c.kind == kind; });
            return call == Fake().calls.end() ? -1 : static_cast<std::int64_t>(call->at);
        };
        EXPECT_EQ(at(FakeCall::Reset), row.resetAt) << row.what;
        EXPECT_EQ(at(FakeCall::Close), static_cast<std::int64_t>(row.closedAt)) << row.what;
        const FakeCall& last = Fake().calls.back();
        EXPECT_EQ(last.kind == FakeCall::Sleep && last.value == VerboseCycleInterval, row.waits) << row.what;
        EXPECT_EQ(Fake().openDevices, row.resetKeeps ? 1 : 0) << row.what;
        EXPECT_EQ(Fake().misuses, 0) << row.what;
        EXPECT_TRUE(Running);
    }
}

TEST_F(Cycle, BuildsTheToneOnTheFirstCycleOnly) {
    CycleInterval = 1000;
    Samples.Reset(0);
    PlayCycle();
    ASSERT_EQ(Samples.size(), 44100u);
    EXPECT_EQ(Samples[1102], 214748310);
    const std::int32_t* first = Samples.data();
    PlayCycle();
    EXPECT_EQ(Samples.data(), first);
    EXPECT_EQ(Count(FakeCall::Open, 0), 2u);
}

TEST_F(Cycle, AFailureWhileTheDeviceIsOpenClosesItFirst) {
    // A failure raised during the wait...
    Fake().onSleep = [] { throw EOutOfMemory(); };
    EXPECT_THROW(PlayCycle(), EOutOfMemory);
    EXPECT_EQ(DescribeCalls(Fake().calls), "open=0 prepare write sleep(500) reset unprepare=0 close");
    EXPECT_EQ(Fake().openDevices, 0);

    // ...and a console that fails on "audio device found.".
    ResetFakeWaveOut();
    Verbose = true;
    console.CloseOutputReader();
    WriteLine(std::string(110, 'x'));
    EXPECT_THROW(PlayCycle(), EInOutError);
    EXPECT_EQ(DescribeCalls(Fake().calls), "open=0 close");
    EXPECT_EQ(Fake().openDevices, 0);
}

}  // namespace
}  // namespace wakelet
