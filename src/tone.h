// Sine tone synthesis, free of any platform: values in, samples out.
//
// The evaluation chain is fixed to the last bit, so that every build and every later,
// faster evaluation produces the same samples: extended precision (64-bit mantissa,
// round to nearest even) throughout, with the angular step, the time step, the peak and
// the running time each rounded to double where they are stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace wakelet {

static_assert(std::numeric_limits<long double>::digits == 64,
              "the tone is defined in x87 extended precision: this compiler's long double "
              "lacks a 64-bit mantissa (MSVC's is a plain double); use GCC or Clang on x86");

// The largest buffer: its size in bytes stays below 2^31.
constexpr std::uint32_t MaxToneSamples = 536870909;

struct ToneSteps {
    double angularStep;  // w = 2 pi f
    double timeStep;     // dt = 1 / sample rate
    double peak;         // A = 2147483647 x amplitude
};

ToneSteps MakeToneSteps(std::int32_t frequency, std::uint32_t sampleRate, double amplitude);

// round(durationMs / 1000 x sampleRate); throws ERangeError beyond MaxToneSamples.
std::uint32_t ToneSampleCount(std::uint32_t durationMs, std::uint32_t sampleRate);

// sin(w t) A before its rounding to an integer, as the reference evaluates it.
long double ToneValue(const ToneSteps& steps, double t);

// The sample at running time t: round(sin(w t) A), ties to even.
std::int32_t ToneSample(const ToneSteps& steps, double t);

// The reference evaluation: out[i] for i < count, with t accumulated from startTime by dt.
// A start other than 0 continues an accumulation begun elsewhere (the running time at
// the first index wanted), so that pieces of one buffer can be evaluated apart.
void SynthesizeToneReference(const ToneSteps& steps, std::int32_t* out, std::size_t count,
                             double startTime = 0.0);

}  // namespace wakelet
