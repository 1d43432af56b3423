#include "tone/tone_rotation.h"

#include <cmath>

#include "tone/tone_math.h"

namespace wakelet {

// Sines of exact phases
//
// Every phase the fast path needs is w X, with X = units 2^-shift exactly (a time, or a
// multiple of a time step, counted in units of its binade's last place). Writing
// w = 2 pi turns + excess, w X is 2 pi (turns X mod 1) + excess X, and turns X mod 1 is a
// whole number of units computed exactly in integers: no argument reduction loses a bit.
// Held as a 64-bit fraction F of a turn, F is split at the nearest 1/256 turn k, whose
// cosine and sine come from a table (each rounded to 2^-62 from the exact sine of
// tone_math.h), and a rest r of at most 1/512 turn. Together with excess X (at most 2^-30
// radians by the precondition) the rest is an angle x, |x| < 0.0123, in fixed point with
// 2^-69 resolution: within 1.5 2^-69 (2 pi r rounded, and excess X to a relative 2^-51).
// Its sine x - x^3/6 + x^5/120 - x^7/5040 (next term below 2^-75) comes out within 2^-67,
// and 1 - cos x = x^2/2 - ... + x^8/40320 within 2^-75. Turned by the table's entry in
// 128-bit sums and rounded once to 2^-62, each of cos and sin of w X is then within
// 2^-63 (1 + 0.013) (the table) + 2^-67 + 2^-75 + 2^-63 (the last rounding) < 2^-61.9.
// All of it is integer arithmetic, the same on every processor.

namespace {

using exact::Multiply64;
using u64 = std::uint64_t;

// A 128-bit two's complement integer.
struct Wide {
    u64 hi, lo;
};

Wide MultiplySigned(std::int64_t a, std::int64_t b) noexcept {
    u64 hi, lo;
    Multiply64(static_cast<u64>(a), static_cast<u64>(b), &hi, &lo);
    if (a < 0) hi -= static_cast<u64>(b);
    if (b < 0) hi -= static_cast<u64>(a);
    return {hi, lo};
}

Wide Sum(Wide a, Wide b) noexcept {
    const u64 lo = a.lo + b.lo;
    return {a.hi + b.hi + (lo < a.lo), lo};
}

Wide Negated(Wide a) noexcept {
    const u64 lo = ~a.lo + 1;
    return {~a.hi + (lo == 0), lo};
}

// floor(a / 2^s), 0 < s < 64.
Wide ShiftedDown(Wide a, int s) noexcept {
    return {static_cast<u64>(static_cast<std::int64_t>(a.hi) >> s), (a.lo >> s) | (a.hi << (64 - s))};
}

// round(a / 2^s), 0 < s < 64, for a result that fits 64 bits.
std::int64_t RoundedDown(Wide a, int s) noexcept {
    return static_cast<std::int64_t>(ShiftedDown(Sum(a, Wide{0, u64{1} << (s - 1)}), s).lo);
}

// round(a b / 2^62) for a, b >= 0 whose product stays below 2^126.
std::int64_t MultiplyQ62(std::int64_t a, std::int64_t b) noexcept {
    return RoundedDown(MultiplySigned(a, b), 62);
}

constexpr u64 TwoPiQ61 = 0xc90fdaa22168c235u;  // round(2 pi 2^61)
constexpr std::int64_t Q62 = std::int64_t{1} << 62;

// cos and sin of 2 pi fraction/2^64 + delta, |delta| <= 2^-30.
Rotation RotationOfTurn(u64 fraction, double delta) noexcept {
    const u64 k = (fraction + (u64{1} << 55)) >> 56;  // the nearest 1/256 turn (256 wraps to 0)
    const std::int64_t rest = static_cast<std::int64_t>(fraction - (k << 56));  // |rest| <= 2^55
    // x = 2 pi rest 2^-64 + delta, in units of 2^-69.
    const u64 magnitude = rest < 0 ? 0 - static_cast<u64>(rest) : static_cast<u64>(rest);
    u64 hi, lo;
    Multiply64(magnitude, TwoPiQ61, &hi, &lo);  // below 2^118
    lo += u64{1} << 55;
    hi += lo < (u64{1} << 55);
    const std::int64_t turned = static_cast<std::int64_t>((hi << 8) | (lo >> 56));
    const std::int64_t x = (rest < 0 ? -turned : turned) + std::llround(std::ldexp(delta, 69));

    // x^2, in units of 2^-75 (below 2^62.3 of them) and of 2^-62.
    const u64 ax = x < 0 ? 0 - static_cast<u64>(x) : static_cast<u64>(x);
    Multiply64(ax, ax, &hi, &lo);  // x^2 2^138
    const std::int64_t x2q75 = static_cast<std::int64_t>(((hi << 1) | (lo >> 63)) + ((lo >> 62) & 1));
    const std::int64_t x2 = static_cast<std::int64_t>((hi >> 12) + ((hi >> 11) & 1));

    // sin x = x - x h, h = x^2 (1/6 - x^2 (1/120 - x^2/5040)), units of 2^-62 (and x's).
    std::int64_t p = Q62 / 120 - MultiplyQ62(x2, Q62 / 5040);
    p = Q62 / 6 - MultiplyQ62(x2, p);
    const std::int64_t h = MultiplyQ62(x2, p);
    const std::int64_t sine = x - RoundedDown(MultiplySigned(x, h), 62);  // units of 2^-69
    // 1 - cos x = x^2 g, g = 1/2 - x^2 (1/24 - x^2 (1/720 - x^2/40320)), in units of 2^-75.
    std::int64_t g = Q62 / 720 - MultiplyQ62(x2, Q62 / 40320);
    g = Q62 / 24 - MultiplyQ62(x2, g);
    g = Q62 / 2 - MultiplyQ62(x2, g);
    const std::int64_t versine = MultiplyQ62(x2q75, g);

    // Turned by k/256: cos = C - C v - S s, sin = S - S v + C s, summed in units of 2^-124.
    const Rotation& t = Turns256().entry[k & 255];
    const Wide cq = Wide{static_cast<u64>(t.cos >> 2), static_cast<u64>(t.cos) << 62};
    const Wide sq = Wide{static_cast<u64>(t.sin >> 2), static_cast<u64>(t.sin) << 62};
    const Wide cv = ShiftedDown(MultiplySigned(t.cos, versine), 13),
               sv = ShiftedDown(MultiplySigned(t.sin, versine), 13);
    const Wide cs = ShiftedDown(MultiplySigned(t.cos, sine), 7),
               ss = ShiftedDown(MultiplySigned(t.sin, sine), 7);
    return {RoundedDown(Sum(Sum(cq, Negated(cv)), Negated(ss)), 62),
            RoundedDown(Sum(Sum(sq, Negated(sv)), cs), 62)};
}

}  // namespace

const TurnTable& Turns256() {
    static const TurnTable table = [] {
        TurnTable t;
        for (unsigned k = 0; k < 256; ++k)
            exact::TurnCosSinQ62(u64{k} << 56, &t.entry[k].cos, &t.entry[k].sin);
        return t;
    }();
    return table;
}

Rotation RotationOfPhase(const TonePlan& plan, u64 units, int shift) noexcept {
    const u64 product = static_cast<u64>(plan.turns) * units;  // turns X mod 1, exact
    const u64 fraction = shift == 0 ? 0 : product << (64 - shift);
    return RotationOfTurn(fraction, plan.excess * std::ldexp(static_cast<double>(units), -shift));
}

Rotation Turned(const Rotation& z, const Rotation& r) noexcept {
    return {RoundedDown(Sum(MultiplySigned(z.cos, r.cos), Negated(MultiplySigned(z.sin, r.sin))), 62),
            RoundedDown(Sum(MultiplySigned(z.sin, r.cos), MultiplySigned(z.cos, r.sin)), 62)};
}

double Scaled(double a, std::int64_t q) noexcept {
    const Extended x = exact::FromDouble(a);
    const u64 magnitude = q < 0 ? 0 - static_cast<u64>(q) : static_cast<u64>(q);
    if (x.mantissa == 0 || magnitude == 0) return 0.0;
    u64 hi, lo;
    Multiply64(x.mantissa, magnitude, &hi, &lo);
    return exact::Round128ToDouble(x.negative != (q < 0), hi, lo, x.exponent - 62);
}

}  // namespace wakelet
