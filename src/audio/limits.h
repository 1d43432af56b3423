// Every limit the playback cycle and the Linux outputs hold a device to, derived from one
// so that none races another: a wait inside an output always ends before the cycle's own
// guard would end the buffer around it.
#pragma once

#include <chrono>
#include <cstdint>

namespace wakelet {

// A buffer whose position has stood still this long has stopped playing, or its device has
// gone away: the cycle resets the device.
constexpr std::uint32_t StallLimitMs = 5000;
constexpr std::chrono::milliseconds StallLimit{StallLimitMs};

// How long connecting to an output and readying a stream may take, together, before the
// output counts as unusable.
constexpr std::chrono::milliseconds OpenLimit = StallLimit;

// A suspended device's resume, and the last of a buffer leaving the plugins, are waited for
// half as long as a stall: the output gives up on them before the cycle would.
constexpr std::chrono::milliseconds ResumeLimit = StallLimit / 2;
constexpr std::chrono::milliseconds DrainLimit = StallLimit / 2;

// A call into a device that may wait on it for good (a stop, a close, a player told to
// stop) is given this long; past it the call is given up and the device counts as lost.
constexpr std::chrono::milliseconds ReturnLimit{1000};

// No buffer is waited for longer than its length, a tenth of it more for short stalls and
// moves between outputs, and this margin for the output's latency and the first wait.
constexpr std::uint32_t CycleMarginMs = 2 * StallLimitMs;

}  // namespace wakelet
