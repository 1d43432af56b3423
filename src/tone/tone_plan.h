// What the fast evaluation (tone_fast.h) knows of a buffer before it writes a sample: the
// running time as runs of one exact step, whether the fast path holds, and the margin its
// error bound gives (see tone_plan.cpp).
//
// The fast path's precondition, checked when a buffer is planned (PlanTone): the time
// step is positive and finite; the peak is at most full scale (|A| <= 2147483647);
// |w| <= 2^31; w lies so close to a whole number of turns that the excess, times the
// buffer's last time, stays within 2^-30 radians (an integer frequency: w = 2 pi f rounded
// to double); the error bound leaves at most 1/64 of close calls; and double arithmetic
// is evaluated in double (FLT_EVAL_METHOD 0). A tone outside it is built by the definition,
// sample by sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tone/tone.h"

namespace wakelet {

// A stretch of the buffer over which the running time grows by one exact step:
// t(first + m) = start + m * step for m < count, every value and sum exact.
struct ToneTimeRun {
    std::size_t first;
    std::size_t count;
    double start;
    double step;
};

// The running time of the reference (t accumulated from 0 by timeStep with NextToneTime)
// as consecutive runs covering indices [0, count), so that the time at any index is known
// without the serial sum. timeStep must be positive and finite.
std::vector<ToneTimeRun> ToneTimeline(double timeStep, std::size_t count);

// What the fast evaluation of one buffer needs besides its output; read-only once made.
struct TonePlan {
    ToneSteps steps{};
    std::size_t count = 0;
    std::vector<ToneTimeRun> timeline;
    // False when the tone lies outside the fast path's precondition (above): the whole
    // buffer then takes the reference evaluation.
    bool fast = false;
    // Fast values within this distance of a half-integer are close calls.
    double tieMargin = 0;
    // w = 2 pi turns + excess: turns is the whole number nearest w / 2 pi, and excess is
    // known to a relative 2^-51.
    std::int64_t turns = 0;
    double excess = 0;
};

TonePlan PlanTone(const ToneSteps& steps, std::size_t count);

}  // namespace wakelet
