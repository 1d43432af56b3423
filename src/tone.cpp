#include "tone.h"

#include <cmath>

#include "failure.h"

namespace wakelet {

namespace {
constexpr long double TwoPi = 6.283185307179586477L;
constexpr long double FullScale = 2147483647.0L;
}  // namespace

ToneSteps MakeToneSteps(std::int32_t frequency, std::uint32_t sampleRate, double amplitude) {
    ToneSteps steps;
    steps.angularStep = static_cast<double>(TwoPi * frequency);
    steps.timeStep = static_cast<double>(1.0L / sampleRate);
    steps.peak = static_cast<double>(FullScale * static_cast<long double>(amplitude));
    return steps;
}

std::uint32_t ToneSampleCount(std::uint32_t durationMs, std::uint32_t sampleRate) {
    long double count = std::nearbyint(static_cast<long double>(durationMs) / 1000.0L * sampleRate);
    if (count > MaxToneSamples) throw ERangeError();
    return static_cast<std::uint32_t>(count);
}

long double ToneValue(const ToneSteps& steps, double t) {
    long double phase = static_cast<long double>(steps.angularStep) * t;
    return std::sin(phase) * static_cast<long double>(steps.peak);
}

std::int32_t ToneSample(const ToneSteps& steps, double t) {
    return static_cast<std::int32_t>(std::llrint(ToneValue(steps, t)));
}

void SynthesizeToneReference(const ToneSteps& steps, std::int32_t* out, std::size_t count, double startTime) {
    double t = startTime;
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = ToneSample(steps, t);
        t = static_cast<double>(static_cast<long double>(t) + steps.timeStep);
    }
}

}  // namespace wakelet
