#include "tone/tone_math.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

namespace wakelet {
namespace exact {

static_assert(std::numeric_limits<double>::is_iec559 && sizeof(double) == sizeof(std::uint64_t),
              "doubles are taken apart as IEEE 754 binary64");

namespace {

using u64 = std::uint64_t;

int LeadingZeros(u64 x) noexcept {  // x != 0
#if defined(__GNUC__)
    return __builtin_clzll(x);
#else
    int n = 0;
    for (; !(x >> 63); x <<= 1) ++n;
    return n;
#endif
}

// The double nearest to (negative ? -1 : 1) (mantissa + a fraction below it) 2^exponent,
// mantissa in [2^63, 2^64); sticky says that fraction is not zero.
double RoundToDouble(bool negative, u64 mantissa, int exponent, bool sticky) noexcept {
    const int top = exponent + 63;                            // the value lies in [2^top, 2^(top+1))
    const int kept = top >= -1022 ? 53 : 53 - (-1022 - top);  // fewer bits when subnormal
    double magnitude;
    if (kept < 0) {
        magnitude = 0.0;     // below half the smallest subnormal
    } else if (kept == 0) {  // in [2^-1075, 2^-1074): a tie only at 2^-1075 itself, which goes to 0
        magnitude = mantissa == u64{1} << 63 && !sticky ? 0.0 : 0x1p-1074;
    } else {
        const int dropped = 64 - kept;  // 11 or more
        u64 q = mantissa >> dropped;
        const u64 rest = mantissa & ((u64{1} << dropped) - 1), half = u64{1} << (dropped - 1);
        if (rest > half || (rest == half && (sticky || (q & 1)))) ++q;
        if (kept == 53 && top <= 1023) {
            // Normal: the bits directly. A carry out of the mantissa moves into the exponent
            // field, as it should (up to infinity).
            const u64 bits = (static_cast<u64>(top + 1023) << 52) + (q - (u64{1} << 52));
            std::memcpy(&magnitude, &bits, sizeof magnitude);
        } else {
            magnitude = std::ldexp(static_cast<double>(q), exponent + dropped);  // exact, or overflow
        }
    }
    return negative ? -magnitude : magnitude;
}

// hi:lo normalised so that bit 127 is set; returns the shift applied.
int Normalize(u64* hi, u64* lo) noexcept {
    const int shift = *hi ? LeadingZeros(*hi) : 64 + LeadingZeros(*lo);
    if (shift >= 64) {
        *hi = *lo << (shift - 64);
        *lo = 0;
    } else if (shift > 0) {
        *hi = (*hi << shift) | (*lo >> (64 - shift));
        *lo <<= shift;
    }
    return shift;
}

// ---------------------------------------------------------------------------------------
// Multi-word fixed point: N little-endian words (word 0 the least significant) hold a
// fraction in units of 2^-64N.

template <std::size_t N>
using Words = std::array<u64, N>;

template <std::size_t N>
u64 AddTo(Words<N>& a, const Words<N>& b) noexcept {
    u64 carry = 0;
    for (std::size_t k = 0; k < N; ++k) {
        const u64 sum = a[k] + carry;
        const u64 c1 = sum < carry;
        a[k] = sum + b[k];
        carry = c1 | (a[k] < sum);
    }
    return carry;
}

template <std::size_t N>
u64 SubtractFrom(Words<N>& a, const Words<N>& b) noexcept {
    u64 borrow = 0;
    for (std::size_t k = 0; k < N; ++k) {
        const u64 difference = a[k] - b[k];
        const u64 b1 = a[k] < b[k];
        a[k] = difference - borrow;
        borrow = b1 | (difference < borrow);
    }
    return borrow;
}

template <std::size_t N>
void Negate(Words<N>& a) noexcept {
    u64 carry = 1;
    for (std::size_t k = 0; k < N; ++k) {
        a[k] = ~a[k] + carry;
        carry = carry && a[k] == 0;
    }
}

// The top N words of the 2N-word product: a b for fractions, truncated (short by less
// than one unit).
template <std::size_t N>
inline Words<N> MultiplyHigh(const Words<N>& a, const Words<N>& b) noexcept {
    if constexpr (N == 2) {  // the common case, written out
        u64 h00, l00, h01, l01, h10, l10, h11, l11;
        Multiply64(a[0], b[0], &h00, &l00);
        Multiply64(a[0], b[1], &h01, &l01);
        Multiply64(a[1], b[0], &h10, &l10);
        Multiply64(a[1], b[1], &h11, &l11);
        (void)l00;
        u64 word1 = h00 + l01;
        u64 carry = word1 < l01;
        word1 += l10;
        carry += word1 < l10;
        u64 word2 = h01 + carry;
        u64 carry2 = word2 < carry;
        word2 += h10;
        carry2 += word2 < h10;
        word2 += l11;
        carry2 += word2 < l11;
        return Words<N>{word2, h11 + carry2};
    }
    u64 product[2 * N] = {};
    for (std::size_t i = 0; i < N; ++i) {
        u64 carry = 0;
        for (std::size_t j = 0; j < N; ++j) {
            u64 hi, lo;
            Multiply64(a[i], b[j], &hi, &lo);
            lo += carry;
            hi += lo < carry;
            lo += product[i + j];
            hi += lo < product[i + j];
            product[i + j] = lo;
            carry = hi;
        }
        product[i + N] = carry;
    }
    Words<N> high;
    for (std::size_t k = 0; k < N; ++k) high[k] = product[N + k];
    return high;
}

// The first N words of a constant written most significant word first.
template <int N>
Words<N> Leading(const u64* words) noexcept {
    Words<N> value;
    for (int k = 0; k < N; ++k) value[N - 1 - k] = words[k];
    return value;
}

// 1 / (2 pi) = 0.1591..., 48 words after the binary point, most significant first: enough
// for the reduction of any product of two doubles (below 2^2048) at the widest precision.
// From mpmath with 4000 bits: floor(2^3072 / (2 pi)).
constexpr u64 InverseTwoPi[48] = {
    0x28be60db9391054a, 0x7f09d5f47d4d3770, 0x36d8a5664f10e410, 0x7f9458eaf7aef158, 0x6dc91b8e909374b8,
    0x01924bba82746487, 0x3f877ac72c4a69cf, 0xba208d7d4baed121, 0x3a671c09ad17df90, 0x4e64758e60d4ce7d,
    0x272117e2ef7e4a0e, 0xc7fe25fff7816603, 0xfbcbc462d6829b47, 0xdb4d9fb3c9f2c26d, 0xd3d18fd9a797fa8b,
    0x5d49eeb1faf97c5e, 0xcf41ce7de294a4ba, 0x9afed7ec47e35742, 0x1580cc11bf1edaea, 0xfc33ef0826bd0d87,
    0x6a78e45857b986c2, 0x19666157c5281a10, 0x237ff620135cc9cc, 0x41818555b29cea32, 0x58389ef0231ad1f1,
    0x0670d9f3773a024a, 0xa0d6711da2e58729, 0xb76bd13455c6414f, 0xa97fc1c14fdf8cfa, 0x0cb0b793e60c9f6e,
    0xf0cf49bbdac797be, 0x27ce87cd72bc9fc7, 0x61fc48641f1f091a, 0xbe9bb55dcb4c10ce, 0xc571852d674670f0,
    0xb12b50534b174003, 0x119f618b5c78e6b1, 0xa6c0188cdf34ad25, 0xe9ed35554dfd8fb5, 0xc60428ff1d934aa7,
    0x592af5dc3e1f18d5, 0xec1eb9c545d59270, 0x36758ece2129f2c8, 0xc91de2b588d516ae, 0x47c006c2bc77f386,
    0x7fcc67da87999855, 0xe651feeb361fdfad, 0xd948a27a0c982ff9,
};

// pi / 2 - 1 = 0.5707..., 8 words after the binary point, most significant first.
constexpr u64 HalfPiLessOne[8] = {
    0x921fb54442d18469, 0x898cc51701b839a2, 0x52049c1114cf98e8, 0x04177d4c76273644,
    0xa29410f31c6809bb, 0xdf2a33679a748636, 0x605614dbe4be286e, 0x9fc26adadaa3848b,
};

// 1/n! to 8 words (most significant first), each short of the true value by less than
// two units of 2^-512: 1/2 exactly, then each from the one before by a long division.
constexpr int MaxFactorial = 110;
struct InverseFactorials {
    u64 words[MaxFactorial + 1][8] = {};
    constexpr InverseFactorials() {
        words[2][0] = u64{1} << 63;
        for (int n = 3; n <= MaxFactorial; ++n) {
            u64 remainder = 0;
            for (int k = 0; k < 8; ++k) {
                const u64 w = words[n - 1][k];
                u64 part = (remainder << 32) | (w >> 32);
                const u64 high = part / static_cast<u64>(n);
                remainder = part % static_cast<u64>(n);
                part = (remainder << 32) | (w & 0xffffffffu);
                const u64 low = part / static_cast<u64>(n);
                remainder = part % static_cast<u64>(n);
                words[n][k] = (high << 32) | low;
            }
        }
    }
};
constexpr InverseFactorials Factorials;

// Terms of the series for sin x / x (and cos x) beyond k = Levels(bits) lie below
// 2^-bits for |x| up to pi/4 and a little.
constexpr int SeriesLevels(int bits) {
    double bound = 1.0;
    for (int i = 0; i < bits; ++i) bound *= 0.5;
    double term = 1.0;
    int k = 0;
    while (term >= bound) {
        ++k;
        term *= 0.62 / ((2.0 * k) * (2.0 * k + 1.0));
    }
    return k - 1;
}

// sin of 2 pi f turns, f an N-word fraction of a turn, as an (N+1)-word fixed-point value
// (the top word its whole part) and a sign.
//
// Error, in units U = 2^-64N, for f exact: the quarter turns are taken out exactly, leaving
// |y| <= 1/8; x = 2 pi |y| = u pi/2 with u = 4|y| is short by under 2U (the constant and the
// product each truncated). x^2 is within 2 x 2U + 1U < 5U; the Horner steps (each
// truncated, each constant short by under 1U and a little, each level's error damped by
// x^2 < 0.62) stay within 8U; the result (x - x h, or 1 - h) within 9U, which the callers
// count as 16U. An error d in f moves the result by at most 2 pi d more.
template <int N>
void SinOfTurns(Words<N> f, bool* negative, Words<N + 1>* value) noexcept {
    constexpr int Levels = SeriesLevels(64 * N + 8);
    static_assert(2 * Levels + 2 <= MaxFactorial, "the series needs more factorials");
    // The nearest quarter turn q, and y = f - q/4 in [-1/8, 1/8].
    const unsigned q = static_cast<unsigned>(((f[N - 1] >> 61) + 1) >> 1) & 3;
    f[N - 1] -= static_cast<u64>(q) << 62;
    const bool yNegative = f[N - 1] >> 63;
    if (yNegative) Negate(f);
    // u = 4 |y| <= 1/2, then x = u pi/2 = u + u (pi/2 - 1) <= pi/4.
    for (int k = N - 1; k > 0; --k) f[k] = (f[k] << 2) | (f[k - 1] >> 62);
    f[0] <<= 2;
    Words<N> x = MultiplyHigh(f, Leading<N>(HalfPiLessOne));
    AddTo(x, f);
    const Words<N> x2 = MultiplyHigh(x, x);

    auto factorial = [](int n) { return Leading<N>(Factorials.words[n]); };
    Words<N + 1> result{};
    if (q & 1) {
        // cos x = 1 - x^2 (1/2! - x^2 (1/4! - ...)), every partial sum positive.
        Words<N> c = factorial(2 * Levels + 2);
        for (int k = Levels - 1; k >= 0; --k) {
            const Words<N> t = MultiplyHigh(x2, c);
            c = factorial(2 * k + 2);
            SubtractFrom(c, t);
        }
        const Words<N> h = MultiplyHigh(x2, c);
        result[N] = 1;
        u64 borrow = 0;
        for (int k = 0; k < N; ++k) {
            const u64 difference = result[k] - h[k];
            const u64 b1 = result[k] < h[k];
            result[k] = difference - borrow;
            borrow = b1 | (difference < borrow);
        }
        result[N] -= borrow;
    } else {
        // sin x = x - x (x^2 (1/3! - x^2 (1/5! - ...))).
        Words<N> s = factorial(2 * Levels + 1);
        for (int k = Levels - 1; k >= 1; --k) {
            const Words<N> t = MultiplyHigh(x2, s);
            s = factorial(2 * k + 1);
            SubtractFrom(s, t);
        }
        const Words<N> h = MultiplyHigh(x2, s);
        Words<N> sine = x;
        SubtractFrom(sine, MultiplyHigh(x, h));
        for (int k = 0; k < N; ++k) result[k] = sine[k];
    }
    // Quarter turns 2 and 3 turn the sign; in 0 and 2 so does a negative y.
    *negative = (q >= 2) != (!(q & 1) && yNegative);
    *value = result;
}

// The fraction of a turn in x = m 2^e (m of 64 bits), f = x / (2 pi) mod 1, to N words:
// short of the true fraction by less than 2U. Payne and Hanek's reduction: the words of
// 1/(2 pi) whose products with m lie wholly above the binary point are skipped, and
// N + 2 words from there on give f with two words to spare.
template <int N>
Words<N> TurnFraction(u64 m, int e) noexcept {
    constexpr int K = N + 2;
    int first, shift;  // the window's first word, and x = m 2^shift 2^(64 first)
    if (e >= 0) {
        first = e >> 6;
        shift = e & 63;
    } else {
        first = 0;
        shift = e;
    }
    u64 product[K + 1];
    u64 carry = 0;
    for (int k = 0; k < K; ++k) {
        u64 hi, lo;
        Multiply64(m, InverseTwoPi[first + K - 1 - k], &hi, &lo);
        lo += carry;
        hi += lo < carry;
        product[k] = lo;
        carry = hi;
    }
    product[K] = carry;
    // f = product 2^(shift - 64K) mod 1: its bits from 128 - shift up. The words left out of
    // the window add less than 2^(64 + shift - 64K) <= 2^-1 U, the bits cut off below
    // less than 1 U.
    const int low = 128 - shift;
    Words<N> f{};
    for (int k = 0; k < N; ++k) {
        const int bit = low + 64 * k, word = bit >> 6, offset = bit & 63;
        const u64 below = word <= K ? product[word] : 0, above = word + 1 <= K ? product[word + 1] : 0;
        f[k] = offset ? (below >> offset) | (above << (64 - offset)) : below;
    }
    return f;
}

// The (N+1)-word fixed-point value v (units 2^-64N), rounded to a 64-bit mantissa.
template <int N>
Extended RoundFixed(bool negative, const Words<N + 1>& v) noexcept {
    int top = N;
    while (top > 0 && v[top] == 0) --top;
    if (v[top] == 0) return Extended{negative, 0, 0};
    bool sticky = false;
    for (int k = 0; k + 1 < top; ++k) sticky = sticky || v[k] != 0;
    const u64 lo = top > 0 ? v[top - 1] : 0;
    return Round128(negative, v[top], lo, 64 * (top - 1) - 64 * N, sticky);
}

// sin(m 2^e) to a 64-bit mantissa, |m 2^e| >= 2^-33, from N words. False when the value's
// error bound straddles a rounding boundary, unless this is the last attempt.
template <int N>
bool SineAttempt(u64 m, int e, bool last, Extended* out) noexcept {
    bool negative;
    Words<N + 1> value;
    SinOfTurns<N>(TurnFraction<N>(m, e), &negative, &value);
    // f is short by under 2U, which moves the sine by under 2 pi 2U; with the evaluation's
    // own 16U, the error is below 29U. 256U leaves ample room.
    Words<N + 1> margin{};
    margin[0] = 256;
    Words<N + 1> low = value, high = value;
    if (!SubtractFrom(low, margin)) {
        AddTo(high, margin);
        // Rounding is monotonic: when both ends of the interval round alike, so does all of it.
        const Extended a = RoundFixed<N>(negative, low), b = RoundFixed<N>(negative, high);
        if (a.mantissa != 0 && a.mantissa == b.mantissa && a.exponent == b.exponent) {
            *out = a;
            return true;
        }
    }
    if (!last) return false;
    *out = RoundFixed<N>(negative, value);
    return true;
}

}  // namespace

void Multiply64Portable(std::uint64_t a, std::uint64_t b, std::uint64_t* hi, std::uint64_t* lo) noexcept {
    const u64 a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
    const u64 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const u64 middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
    *lo = (middle << 32) | (p00 & 0xffffffffu);
    *hi = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

Extended FromDouble(double x) noexcept {
    u64 bits;
    std::memcpy(&bits, &x, sizeof bits);
    Extended value;
    value.negative = bits >> 63;
    const int biased = static_cast<int>((bits >> 52) & 0x7ff);
    const u64 fraction = bits & ((u64{1} << 52) - 1);
    if (biased == 0) {
        if (fraction == 0) return value;
        const int shift = LeadingZeros(fraction);
        value.mantissa = fraction << shift;
        value.exponent = -1074 - shift;
        return value;
    }
    value.mantissa = ((u64{1} << 52) | fraction) << 11;
    value.exponent = biased - 1075 - 11;
    return value;
}

Extended Round128(bool negative, std::uint64_t hi, std::uint64_t lo, int exponent, bool sticky) noexcept {
    if (hi == 0 && lo == 0) return Extended{negative, 0, 0};
    exponent += 64 - Normalize(&hi, &lo);
    if ((lo >> 63) && ((lo << 1) != 0 || sticky || (hi & 1))) {
        if (++hi == 0) {
            hi = u64{1} << 63;
            ++exponent;
        }
    }
    return Extended{negative, hi, exponent};
}

double ToDouble(const Extended& x) noexcept {
    if (x.mantissa == 0) return x.negative ? -0.0 : 0.0;
    return RoundToDouble(x.negative, x.mantissa, x.exponent, false);
}

double Round128ToDouble(bool negative, std::uint64_t hi, std::uint64_t lo, int exponent) noexcept {
    if (hi == 0 && lo == 0) return negative ? -0.0 : 0.0;
    exponent += 64 - Normalize(&hi, &lo);
    return RoundToDouble(negative, hi, exponent, lo != 0);
}

Extended Multiply(const Extended& a, const Extended& b) noexcept {
    const bool negative = a.negative != b.negative;
    if (a.mantissa == 0 || b.mantissa == 0) return Extended{negative, 0, 0};
    u64 hi, lo;
    Multiply64(a.mantissa, b.mantissa, &hi, &lo);
    return Round128(negative, hi, lo, a.exponent + b.exponent);
}

Extended Sine(const Extended& x) noexcept {
    // Below 2^-32, sin x = x (1 - x^2/6 ...) lies within a quarter unit of x's last place.
    if (x.mantissa == 0 || x.exponent + 64 <= -32) return x;
    // Beyond the table of 1/(2 pi): far beyond any product of two doubles.
    if (x.exponent > 64 * (48 - 11)) return Extended{x.negative, 0, 0};
    Extended result;
    if (!SineAttempt<2>(x.mantissa, x.exponent, false, &result) &&
        !SineAttempt<4>(x.mantissa, x.exponent, false, &result))
        SineAttempt<8>(x.mantissa, x.exponent, true, &result);
    result.negative = result.negative != x.negative;
    return result;
}

std::int64_t RoundToInteger(const Extended& x) noexcept {
    constexpr std::int64_t Indefinite = std::numeric_limits<std::int64_t>::min();
    if (x.mantissa == 0 || x.exponent <= -65) return 0;  // below one half
    if (x.exponent >= 0) return Indefinite;              // 2^63 or more
    const int shift = -x.exponent;                       // 1 to 64
    u64 q, rest, half;
    if (shift == 64) {
        q = 0;
        rest = x.mantissa;
        half = u64{1} << 63;
    } else {
        q = x.mantissa >> shift;
        rest = x.mantissa & ((u64{1} << shift) - 1);
        half = u64{1} << (shift - 1);
    }
    if (rest > half || (rest == half && (q & 1))) ++q;
    if (q >> 63) return Indefinite;  // 2^63 itself: out of range, or -2^63, the same bits
    return x.negative ? -static_cast<std::int64_t>(q) : static_cast<std::int64_t>(q);
}

bool SplitTurns(double w, std::int64_t* turns, double* excess) noexcept {
    const double magnitude = std::fabs(w);
    if (!(magnitude <= 0x1p40)) return false;  // not finite, or beyond what a double turn count holds
    if (magnitude < 1.0) {                     // under a sixth of a turn
        *turns = 0;
        *excess = w;
        return true;
    }
    const Extended x = FromDouble(magnitude);
    Words<2> y = TurnFraction<2>(x.mantissa, x.exponent);
    // The turn fraction taken to the nearest whole turn: y in [-1/2, 1/2).
    const bool below = y[1] >> 63;
    if (below) Negate(y);
    if (y[1] >= u64{1} << 61) return false;  // an eighth of a turn or more from a whole one
    const double fraction = Round128ToDouble(below, y[1], y[0], -128);
    const double whole = std::nearbyint(magnitude / 6.283185307179586 - fraction);
    // The double quotient is within 2^-12 of the exact one here, so the whole number of turns
    // it gives can be off only when something above is wrong.
    if (!(std::fabs(magnitude / 6.283185307179586 - fraction - whole) < 0.25)) return false;
    const double signedFraction = w < 0 ? -fraction : fraction;
    *turns = static_cast<std::int64_t>(w < 0 ? -whole : whole);
    *excess = signedFraction * 6.283185307179586;  // 2 pi to double: within 2^-52 of itself
    return true;
}

void TurnCosSinQ62(std::uint64_t fraction, std::int64_t* cosine, std::int64_t* sine) noexcept {
    auto toQ62 = [](std::uint64_t turn) {
        bool negative;
        Words<3> value;
        SinOfTurns<2>(Words<2>{0, turn}, &negative, &value);
        // value in units of 2^-128, at most 1: to units of 2^-62, to nearest.
        const u64 q = (value[2] << 62) | (value[1] >> 2);
        const std::int64_t rounded = static_cast<std::int64_t>(q + ((value[1] >> 1) & 1));
        return negative ? -rounded : rounded;
    };
    *sine = toQ62(fraction);
    *cosine = toQ62(fraction + (u64{1} << 62));  // cos a = sin(a + a quarter turn)
}

}  // namespace exact

}  // namespace wakelet
