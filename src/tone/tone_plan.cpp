#include "tone/tone_plan.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

#include "tone/tone_math.h"
#include "tone/tone_rotation.h"

namespace wakelet {

// ---------------------------------------------------------------------------------------
// The running time
//
// The reference adds dt to t in extended precision and rounds the sum to double
// (NextToneTime). Let t lie in the binade [2^k, 2^(k+1)), where doubles are the
// multiples of u = 2^(k-52), and call a step from t regular when the exact sum t + dt
// stays below 2^(k+1). Then the extended sum is t plus dt rounded to the grid u 2^-11 (t
// lies on that grid, and the tie rule sees only dt's part, t's share of the last bit
// being even), and the double result is t plus that rounded once more to the grid u.
// That last rounding is the same for every t of the binade, except when it is an exact
// tie: then the even neighbour wins, which depends on t. Even then, once two consecutive
// increments agree, t has reached the parity that keeps them agreeing. So from a t whose
// first two regular steps add the same increment, every regular step adds that
// increment, exactly; the irregular step out of the binade is taken serially and starts
// the next run.

std::vector<ToneTimeRun> ToneTimeline(double timeStep, std::size_t count) {
    std::vector<ToneTimeRun> runs;
    double t = 0.0;
    std::size_t index = 0;
    while (index < count) {
        std::size_t length = 1;
        double step = 0.0;
        if (t > 0.0) {
            int exponent;
            std::frexp(t, &exponent);
            const double room = std::ldexp(1.0, exponent) - t;  // exact: to the binade's top
            if (room > timeStep) {
                step = NextToneTime(t, timeStep) - t;  // exact: both lie in the binade or at its top
                // Regular steps start at t + m step for every m with room - m step > dt;
                // the products and differences are multiples of u below 2^(k+1), so exact.
                auto regular = [&](double m) { return room - m * step > timeStep; };
                double steps = std::max(1.0, std::floor((room - timeStep) / step));
                while (steps > 1.0 && !regular(steps - 1.0)) steps -= 1.0;
                while (regular(steps)) steps += 1.0;
                if (steps >= 2.0 && NextToneTime(t + step, timeStep) - (t + step) != step) steps = 1.0;
                length = static_cast<std::size_t>(steps) + 1;
            }
        }
        length = std::min(length, count - index);
        runs.push_back({index, length, t, step});
        t = NextToneTime(t + static_cast<double>(length - 1) * step, timeStep);
        index += length;
    }
    return runs;
}

// ---------------------------------------------------------------------------------------
// The error bound, and the plan
//
// Within a block, sample j has the exact phase a + b_j, where a is the block's first
// phase and b_j = w j step. The tables hold cos b_j and sin b_j within 2^-61.9 each, then
// rounded to double. The block's start (cos a, sin a) is evaluated afresh (within
// 2^-61.4 as a complex number) and then turned at most 15 times (BlocksBetweenStarts in
// tone_fast.cpp) by a rotation itself that close, each turn adding that and sqrt 2 2^-63
// of rounding: within 2^-56.8. Rounded to double and scaled, each in one rounding:
// Zc = A cos a and Zs = A sin a. The sample's fast value is y = Zs cos b_j + Zc sin b_j in
// double precision. With u = 2^-53, since |sin a cos b| + |cos a sin b| <= 1, the start's
// error adds at most |A| 2^-56.8, the tables' at most |A| sqrt 2 2^-61.9, and the four
// roundings (of Zs or Zc, of the table entry, of the product and of the sum; fewer where
// a fused multiply-add is used) at most |A| 4u: |y - A sin(w t)| < |A| 2^-50.8.
//
// The definition evaluates V = A S to 64 bits, S the correctly rounded sine of P, and P
// the product w t rounded to 64 bits: |P - w t| <= 2^-64 |w| t moves the value by up to
// |A| 2^-64 |w| t (1.5e-6 over the hour), the sine's rounding by |A| 2^-64, the product's
// by 2^-64 |V|. The margin is the sum of all of these, rounded up generously:
//   |A| (2^-49 + 2^-63 |w| tmax).
// A fast value farther than that from every half-integer rounds as the definition does.

namespace {

// Beyond this margin so many samples would be close calls that the fast path is not.
constexpr double WidestMargin = 1.0 / 64;
// The excess of w over whole turns, times the buffer's last time, stays within this.
constexpr double WidestExcessAngle = 0x1p-30;
// The error bound counts each double operation's rounding once: no wider evaluation.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
constexpr bool DoubleEvaluation = true;
#else
constexpr bool DoubleEvaluation = false;
#endif

}  // namespace

TonePlan PlanTone(const ToneSteps& steps, std::size_t count) {
    TonePlan plan;
    plan.steps = steps;
    plan.count = count;
    const double w = steps.angularStep, dt = steps.timeStep, peak = steps.peak;
    if (count == 0 || !(dt > 0.0 && dt < std::numeric_limits<double>::infinity())) return plan;
    plan.timeline = ToneTimeline(dt, count);
    if (!DoubleEvaluation || !(std::fabs(peak) <= 2147483647.0) || !(std::fabs(w) <= 0x1p31)) return plan;
    if (!exact::SplitTurns(w, &plan.turns, &plan.excess)) return plan;

    const ToneTimeRun& last = plan.timeline.back();
    const double lastTime = last.start + static_cast<double>(last.count - 1) * last.step;
    if (!(std::fabs(plan.excess) * lastTime <= WidestExcessAngle)) return plan;  // not a whole-turn step
    plan.tieMargin = std::fabs(peak) * (0x1p-49 + 0x1p-63 * std::fabs(w) * lastTime);
    plan.fast = plan.tieMargin <= WidestMargin;
    if (plan.fast) Turns256();  // made now, not by the first writer that needs it
    return plan;
}

}  // namespace wakelet
