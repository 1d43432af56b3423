// The tests' oracle: the tone's chain in x87 extended precision with glibc's sinl, as the
// program computed it before the exact definition (tone.h), which must give its samples.
// Only on x86 Linux: MinGW's sinl moves 3 of the hour's, and elsewhere long double is
// another type, so those builds compare with the Linux build's samples instead.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "tone/tone.h"

#if LDBL_MANT_DIG == 64 && defined(__GLIBC__) && (defined(__x86_64__) || defined(__i386__))
#define WAKELET_TONE_ORACLE 1

namespace wakelet {
namespace oracle {

constexpr long double TwoPi = 6.283185307179586477L;

inline ToneSteps MakeSteps(std::int32_t frequency, std::uint32_t sampleRate, double amplitude) {
    ToneSteps steps;
    steps.angularStep = static_cast<double>(TwoPi * frequency);
    steps.timeStep = static_cast<double>(1.0L / sampleRate);
    steps.peak = static_cast<double>(2147483647.0L * static_cast<long double>(amplitude));
    return steps;
}

// round(durationMs / 1000 x sampleRate), before the range check.
inline long double SampleCount(std::uint32_t durationMs, std::uint32_t sampleRate) {
    return std::nearbyint(static_cast<long double>(durationMs) / 1000.0L * sampleRate);
}

inline double NextTime(double t, double dt) {
    return static_cast<double>(static_cast<long double>(t) + dt);
}

inline long double Value(const ToneSteps& steps, double t) {
    const long double phase = static_cast<long double>(steps.angularStep) * t;
    return std::sin(phase) * static_cast<long double>(steps.peak);
}

inline std::int32_t Sample(const ToneSteps& steps, double t) {
    return static_cast<std::int32_t>(std::llrint(Value(steps, t)));
}

}  // namespace oracle
}  // namespace wakelet
#endif
