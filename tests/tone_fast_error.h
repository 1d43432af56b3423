// How far the fast path's values stray from the definition's: its error bound, the plan's
// tieMargin, must cover it.
#pragma once

#include <algorithm>
#include <cmath>

#include "tone/tone_fast.h"

namespace wakelet {

// The largest |fast value - the value the definition rounds| over every `every`th of samples
// first .. first + count - 1 that the fast path takes, in either form the kernels compute a
// fast value in: two products and a sum, or a fused multiply-add (AVX2). The definition's
// value is exact in long double, which has 64 bits of mantissa or more on every target here.
inline double LargestFastError(const TonePlan& plan, std::size_t first, std::size_t count,
                               std::size_t every) {
    struct Sink final : ToneBlockSink {
        Sink(const ToneSteps& steps, std::size_t every) : steps(steps), every(every) {}
        const ToneSteps& steps;
        const std::size_t every;
        long double largest = 0;
        void Reference(std::size_t, double) override {}
        void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
                   const ToneTimeRun& run, std::size_t m0) override {
            for (std::size_t i = (every - k0 % every) % every; i < n; i += every) {
                const Extended x = ToneValue(steps, run.start + static_cast<double>(m0 + i) * run.step);
                const long double value = std::ldexp(static_cast<long double>(x.mantissa), x.exponent);
                for (double y : {zs * c[i] + zc * s[i], std::fma(zs, c[i], zc * s[i])})
                    largest = std::max(largest, std::fabs((x.negative ? -value : value) - y));
            }
        }
    } sink(plan.steps, every);
    ToneWriter(plan).Walk(sink, first, count);
    return static_cast<double>(sink.largest);
}

}  // namespace wakelet
