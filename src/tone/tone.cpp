#include "tone/tone.h"

#include <cmath>
#include <limits>
#include <utility>

#include "base/failure.h"
#include "tone/tone_math.h"

namespace wakelet {

namespace {

using exact::FromDouble;
using exact::Multiply;
using exact::ToDouble;

// 6.283185307179586477, the extended-precision 2 pi: 0xc90fdaa22168c235 x 2^-61 (the
// decimal's nearest 64-bit value, and also 2 pi's).
constexpr Extended TwoPi{false, 0xc90fdaa22168c235u, -61};

Extended FromInteger(std::uint64_t magnitude, bool negative = false) {
    return exact::Round128(negative, 0, magnitude, 0);
}

// (hi:lo) / divisor, the quotient and the remainder; divisor below 2^32.
void Divide128(std::uint64_t* hi, std::uint64_t* lo, std::uint32_t divisor, std::uint64_t* remainder) {
    std::uint64_t rest = 0;
    std::uint64_t* words[2] = {hi, lo};
    for (std::uint64_t* word : words) {
        std::uint64_t quotient = 0;
        for (int half = 1; half >= 0; --half) {
            const std::uint64_t part = (rest << 32) | ((*word >> (32 * half)) & 0xffffffffu);
            quotient |= (part / divisor) << (32 * half);
            rest = part % divisor;
        }
        *word = quotient;
    }
    *remainder = rest;
}

}  // namespace

ToneSteps MakeToneSteps(std::int32_t frequency, std::uint32_t sampleRate, double amplitude) {
    ToneSteps steps;
    // w = 2 pi f in extended precision, held as double: rounded to 64 bits, then to 53.
    const std::uint64_t f = frequency < 0
                                ? 0 - static_cast<std::uint64_t>(static_cast<std::int64_t>(frequency))
                                : static_cast<std::uint64_t>(frequency);
    steps.angularStep = ToDouble(Multiply(TwoPi, FromInteger(f, frequency < 0)));
    // dt = 1 / rate: 2^127 / rate rounded to 64 bits, then to 53.
    if (sampleRate == 0) {
        steps.timeStep = std::numeric_limits<double>::infinity();
    } else {
        std::uint64_t hi = std::uint64_t{1} << 63, lo = 0, remainder;
        Divide128(&hi, &lo, sampleRate, &remainder);
        steps.timeStep = ToDouble(exact::Round128(false, hi, lo, -127, remainder != 0));
    }
    // A = 2147483647 x amplitude: rounded to 64 bits, then to 53. Not-a-number and the
    // infinities pass through the product unchanged, as zeros do with their sign.
    if (!std::isfinite(amplitude) || amplitude == 0.0)
        steps.peak = 2147483647.0 * amplitude;
    else
        steps.peak = ToDouble(Multiply(FromInteger(2147483647u), FromDouble(amplitude)));
    return steps;
}

std::uint32_t ToneSampleCount(std::uint32_t durationMs, std::uint32_t sampleRate) {
    // durationMs / 1000 to 64 bits: durationMs 2^96 / 1000, its remainder breaking ties.
    std::uint64_t hi = static_cast<std::uint64_t>(durationMs) << 32, lo = 0, remainder;
    Divide128(&hi, &lo, 1000, &remainder);
    const Extended seconds = exact::Round128(false, hi, lo, -96, remainder != 0);
    // Times the rate, to 64 bits; then to the nearest integer, ties to even.
    const std::int64_t count = exact::RoundToInteger(Multiply(seconds, FromInteger(sampleRate)));
    if (count > static_cast<std::int64_t>(MaxToneSamples)) throw ERangeError();
    return static_cast<std::uint32_t>(count);
}

double NextToneTime(double t, double dt) noexcept {
    if (!(std::isfinite(t) && std::isfinite(dt)) || t == 0.0 || dt == 0.0) return t + dt;  // exact
    // The exact sum of the two 53-bit mantissas on the grid of the smaller's last place,
    // then rounded to 64 bits and to 53, as the extended sum held as double is.
    Extended a = FromDouble(t), b = FromDouble(dt);
    if (a.exponent < b.exponent || (a.exponent == b.exponent && a.mantissa < b.mantissa)) std::swap(a, b);
    const int apart = a.exponent - b.exponent;
    // b below 2^-74 of a: far below a quarter of a's last 64-bit place, so the sum rounds to a.
    if (apart > 75) return ToDouble(a);
    const std::uint64_t ma = a.mantissa >> 11, mb = b.mantissa >> 11;  // 53 bits each
    std::uint64_t hi = apart >= 64 ? ma << (apart - 64) : apart == 0 ? 0 : ma >> (64 - apart);
    std::uint64_t lo = apart >= 64 ? 0 : ma << apart;
    if (a.negative == b.negative) {
        lo += mb;
        hi += lo < mb;
    } else {
        hi -= lo < mb;
        lo -= mb;
        if (hi == 0 && lo == 0) return 0.0;  // t - t is +0 when rounding to nearest
    }
    return ToDouble(exact::Round128(a.negative, hi, lo, b.exponent + 11));
}

Extended ToneValue(const ToneSteps& steps, double t) noexcept {
    const Extended phase = Multiply(FromDouble(steps.angularStep), FromDouble(t));  // w t, to 64 bits
    return Multiply(exact::Sine(phase), FromDouble(steps.peak));  // sin, to 64 bits; times A, to 64 bits
}

std::int32_t ToneSample(const ToneSteps& steps, double t) noexcept {
    if (!(std::isfinite(steps.angularStep) && std::isfinite(t) && std::isfinite(steps.peak)))
        return 0;  // not a number or infinite: the x87 "integer indefinite", whose low 32 bits are 0
    const std::uint64_t bits = static_cast<std::uint64_t>(exact::RoundToInteger(ToneValue(steps, t)));
    // The low 32 bits, as two's complement.
    const std::uint32_t low = static_cast<std::uint32_t>(bits);
    return low <= 0x7fffffffu ? static_cast<std::int32_t>(low) : -static_cast<std::int32_t>(~low) - 1;
}

void SynthesizeToneReference(const ToneSteps& steps, std::int32_t* out, std::size_t count, double startTime) {
    double t = startTime;
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = ToneSample(steps, t);
        t = NextToneTime(t, steps.timeStep);
    }
}

}  // namespace wakelet
