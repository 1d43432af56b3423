// Ten thousand cycles on the fake device: nothing may grow from one cycle to the next.
// Under AddressSanitizer, LeakSanitizer also checks at exit that nothing leaked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>

#include "console.h"
#include "fake_waveout.h"
#include "playback.h"
#include "process_state.h"
#include "tone_buffer.h"

#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace wakelet {
namespace {

std::size_t AllocatedBytes() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

TEST(Soak, TenThousandCyclesHoldNoMoreMemoryAtTheEndThanEarlyOn) {
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    StdConsole() = Console({devnull, -1, -1});
    ResetFakeWaveOut();
    InitWaveFormat();
    Running = true;
    Verbose = true;
    CycleInterval = 1000;
    Samples.Reset(0);
    Fake().playMs = 700;

    // The most held at any point of a window of a thousand cycles, early and late; the
    // windows are long enough to take in the fake's own bookkeeping at its largest.
    std::size_t early = 0, late = 0;
    for (int cycle = 1; cycle <= 10000; ++cycle) {
        if (cycle % 3 == 0) Fake().openResults.push_back(6);  // every third cycle finds no device
        PlayCycle();
        Fake().calls.clear();
        if (cycle > 1000 && cycle <= 2000) early = std::max(early, AllocatedBytes());
        if (cycle > 9000) late = std::max(late, AllocatedBytes());
    }

    EXPECT_LE(late, early);
    EXPECT_EQ(Fake().openDevices, 0);
    EXPECT_EQ(Fake().misuses, 0);
    EXPECT_TRUE(Running);
    // 6667 cycles of 500 ms and two polls, 3333 waits of one interval.
    EXPECT_EQ(Fake().now, 6667u * 700 + 3333u * 1000);

    StdConsole() = Console(SystemStandardHandles());
    close(devnull);
    ResetFakeWaveOut();
    Samples.Reset(0);
}

}  // namespace
}  // namespace wakelet
