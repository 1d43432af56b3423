// The one-hour buffer: slow to evaluate, so it runs as a test of its own.
#include <gtest/gtest.h>

#include <algorithm>

#include "tone_buffer.h"

namespace wakelet {
namespace {

// The running time is accumulated, so by the end of the hour the samples have moved
// nearer the peaks; a time recomputed from the index would keep them at 214748310.
TEST(ToneLong, OneHourBufferReachesItsAccumulatedExtremes) {
    InitWaveFormat();
    GenerateTone(10, 3600000, 0.1);
    ASSERT_EQ(Samples.size(), 158760000u);
    EXPECT_EQ(Samples[1102], 214748310);
    EXPECT_EQ(Samples[582864], 187339052);
    auto [lowest, highest] = std::minmax_element(Samples.data(), Samples.data() + Samples.size());
    EXPECT_EQ(*lowest, -214748348);
    EXPECT_EQ(*highest, 214748348);
}

}  // namespace
}  // namespace wakelet
