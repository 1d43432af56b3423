// Sine tone synthesis, free of any platform: values in, samples out.
//
// The evaluation chain is fixed to the last bit, so that every build and every later,
// faster evaluation produces the same samples: extended precision (64-bit mantissa,
// round to nearest even) throughout, with the angular step, the time step, the peak and
// the running time each rounded to double where they are stored. This is the one
// definition of the tone. It evaluates that chain exactly, in integer arithmetic (see
// tone_math.h), with a correctly rounded sine, so it needs no extended type from the
// compiler and gives the same samples on every processor; they are those of the x87
// evaluation on x86-64 Linux (glibc's sinl), which the tests keep as their oracle.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wakelet {

// The largest buffer: its size in bytes stays below 2^31.
constexpr std::uint32_t MaxToneSamples = 536870909;

// A value held to a 64-bit mantissa, as the chain holds its intermediate values:
// (negative ? -1 : 1) x mantissa x 2^exponent, the mantissa 0 or in [2^63, 2^64).
struct Extended {
    bool negative = false;
    std::uint64_t mantissa = 0;
    int exponent = 0;
};

struct ToneSteps {
    double angularStep;  // w = 2 pi f
    double timeStep;     // dt = 1 / sample rate
    double peak;         // A = 2147483647 x amplitude
};

ToneSteps MakeToneSteps(std::int32_t frequency, std::uint32_t sampleRate, double amplitude);

// round(durationMs / 1000 x sampleRate); throws ERangeError beyond MaxToneSamples.
std::uint32_t ToneSampleCount(std::uint32_t durationMs, std::uint32_t sampleRate);

// The running time's step: t + dt in extended precision, held as double.
double NextToneTime(double t, double dt) noexcept;

// sin(w t) A before its rounding to an integer, for finite steps and t.
Extended ToneValue(const ToneSteps& steps, double t) noexcept;

// The sample at running time t: round(sin(w t) A), ties to even; a value beyond 32 bits
// keeps its low 32 bits, and one beyond 64 bits (or not finite) gives 0, as the x87
// conversion does.
std::int32_t ToneSample(const ToneSteps& steps, double t) noexcept;

// The reference evaluation: out[i] for i < count, with t accumulated from startTime by dt.
// A start other than 0 continues an accumulation begun elsewhere (the running time at
// the first index wanted), so that pieces of one buffer can be evaluated apart.
void SynthesizeToneReference(const ToneSteps& steps, std::int32_t* out, std::size_t count,
                             double startTime = 0.0);

}  // namespace wakelet
