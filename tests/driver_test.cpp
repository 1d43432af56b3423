#include "program/driver.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <new>

#include "base/failure.h"
#include "console_capture.h"
#include "fake_waveout.h"
#include "program/settings.h"
#include "tone/tone_buffer.h"

namespace wakelet {
namespace {

const char Banner[] =
    "Pelvarin's \"keep audio alive\" hack v0.5\r\n"
    "\r\n"
    "Let this window open until you do not need it anymore.\r\n"
    "(press CTRL-C to exit)\r\n"
    "\r\n"
    "starting hack.\r\n"
    "\r\n";

class Driver : public ::testing::Test {
protected:
    void SetUp() override { ResetFakeWaveOut(); }
    void TearDown() override {
        ResetFakeWaveOut();
        Samples.Reset(0);
    }
    // The tone is already there, so the run does not spend its time building it.
    void PrebuiltTone(bool verbose) {
        Samples.Reset(std::size_t{verbose ? VerboseCycleInterval : NormalCycleInterval} * 441 / 10);
    }
    // Ends the run during cycle number `cycles`, the way the data-error guard would.
    static void StopDuringCycle(int cycles) {
        Fake().onSleep = [cycles] {
            auto opens = std::count_if(Fake().calls.begin(), Fake().calls.end(),
                                       [](const FakeCall& call) { return call.kind == FakeCall::Open; });
            if (opens >= cycles) Running = false;
        };
    }
};

TEST_F(Driver, BannerModeAndLoopUntilRunningIsCleared) {
    const struct {
        bool verbose;
        std::vector<MMRESULT> opens;
        std::uint32_t interval;
        const char* after;
    } rows[] = {
        {true, {}, 60000, "audio device found.\r\naudio device found.\r\n\r\nDone.\r\n"},
        {false, {}, 3600000, "\r\nDone.\r\n"},
        {true, {6}, 60000, "no audio device found.\r\naudio device found.\r\n\r\nDone.\r\n"},
    };
    for (const auto& row : rows) {
        ConsoleCapture console;
        ResetFakeWaveOut();
        PrebuiltTone(row.verbose);
        Fake().openResults.assign(row.opens.begin(), row.opens.end());
        StopDuringCycle(2);
        EXPECT_EQ(RunProgram(row.verbose), 0);
        EXPECT_EQ(CycleInterval, row.interval);
        EXPECT_EQ(Verbose, row.verbose);
        EXPECT_EQ(console.Output(), std::string(Banner) + row.after);
        EXPECT_EQ(console.Error(), "");
        EXPECT_EQ(Fake().now, 2 * std::uint64_t{row.interval});
    }
}

TEST_F(Driver, AFailureIsReportedOnOneLineThenOneLineIsRead) {
    const struct {
        const char* what;
        std::function<void()> raise;
        const char* report;
    } rows[] = {
        {"our own", [] { throw EOutOfMemory(); }, "EOutOfMemory: Out of memory\r\n"},
        {"the runtime's", [] { throw std::bad_alloc(); }, "EOutOfMemory: Out of memory\r\n"},
        {"a range error", [] { throw ERangeError(); }, "ERangeError: Range check error\r\n"},
    };
    Pipe input;
    for (const auto& row : rows) {
        ConsoleCapture console(input.read);
        ResetFakeWaveOut();
        PrebuiltTone(false);
        Fake().onSleep = row.raise;
        ASSERT_EQ(write(input.write, "any answer\nleft", 15), 15);
        EXPECT_EQ(RunProgram(false), 0) << row.what;
        EXPECT_EQ(console.Output(), std::string(Banner) + row.report) << row.what;
        EXPECT_EQ(Fake().openDevices, 0);
        EXPECT_EQ(input.Drain(), "left");  // only the one line was taken
    }
}

TEST_F(Driver, AFailingReportEndsInTheLastResortReport) {
    ConsoleCapture console(/*input=*/1000);  // not open: the read after the report fails
    PrebuiltTone(true);
    Fake().onSleep = [] { throw Exception("ETest", "first", nullptr); };
    EXPECT_EQ(RunProgram(true), 1);
    // Standard output is written out first, and holds no "Done.".
    EXPECT_EQ(console.Output(), std::string(Banner) + "audio device found.\r\nETest: first\r\n");
    const std::string head = "Exception EInOutError in module wakelet_tests at ";
    const std::string error = console.Error();
    const std::string location = error.substr(std::min(head.size(), error.size()), 8);
    EXPECT_EQ(error, head + location + ".\r\nI/O error 9.\r\n\r\n");
    EXPECT_EQ(location.find_first_not_of("0123456789ABCDEF"), std::string::npos) << location;
    EXPECT_NE(location, "00000000");
}

}  // namespace
}  // namespace wakelet
