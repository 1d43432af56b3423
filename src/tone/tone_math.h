// Exact arithmetic for the tone, in integers: values held to a 64-bit mantissa, rounded to
// nearest with ties to even as the tone's chain prescribes, and a correctly rounded sine.
// Nothing here depends on the processor's floating-point types beyond IEEE double, which
// is only ever taken apart and put together exactly, so every build computes the same
// bits. tone.cpp evaluates the tone's chain with it; the fast evaluation takes from it the
// sines its tables start from (tone_rotation.cpp), the split of the angular step into whole
// turns (tone_plan.cpp), and exact roundings.
#pragma once

#include <cstdint>

#include "tone/tone.h"

namespace wakelet {
namespace exact {

// hi:lo = a * b, the full 128-bit product.
inline void Multiply64(std::uint64_t a, std::uint64_t b, std::uint64_t* hi, std::uint64_t* lo) noexcept {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    *hi = static_cast<std::uint64_t>(product >> 64);
    *lo = static_cast<std::uint64_t>(product);
#else
    const std::uint64_t a0 = a & 0xffffffffu, a1 = a >> 32, b0 = b & 0xffffffffu, b1 = b >> 32;
    const std::uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xffffffffu) + (p10 & 0xffffffffu);
    *lo = (middle << 32) | (p00 & 0xffffffffu);
    *hi = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
#endif
}

// The same product from 32-bit pieces, whatever the compiler offers: the branch above that
// builds without a 128-bit type, kept callable so that the tests check it everywhere.
void Multiply64Portable(std::uint64_t a, std::uint64_t b, std::uint64_t* hi, std::uint64_t* lo) noexcept;

// A finite double, exactly.
Extended FromDouble(double x) noexcept;

// (hi:lo) x 2^exponent rounded to a 64-bit mantissa; sticky says that nonzero bits lie
// below lo (they break a tie upwards).
Extended Round128(bool negative, std::uint64_t hi, std::uint64_t lo, int exponent,
                  bool sticky = false) noexcept;

// The double nearest to x, ties to even, with IEEE double's subnormals and overflow.
double ToDouble(const Extended& x) noexcept;

// The double nearest to (hi:lo) x 2^exponent, in one rounding.
double Round128ToDouble(bool negative, std::uint64_t hi, std::uint64_t lo, int exponent) noexcept;

// a x b rounded to a 64-bit mantissa.
Extended Multiply(const Extended& a, const Extended& b) noexcept;

// sin x correctly rounded to a 64-bit mantissa: computed in fixed point to 128 bits after
// an exact reduction by 1/(2 pi) (to 256 and then 512 bits in the rare case that this
// cannot decide the rounding).
Extended Sine(const Extended& x) noexcept;

// x rounded to an integer, ties to even, as the x87 store to a 64-bit integer does it:
// a value out of the 64-bit range gives the "integer indefinite" INT64_MIN.
std::int64_t RoundToInteger(const Extended& x) noexcept;

// w = 2 pi turns + excess, turns the whole number nearest w / 2 pi and excess to a relative
// 2^-52. False when w is not finite or lies so far from a whole number of turns (an
// eighth of a turn or more) that turns would be ambiguous.
bool SplitTurns(double w, std::int64_t* turns, double* excess) noexcept;

// cos and sin of fraction / 2^64 turns, each rounded to the nearest multiple of 2^-62
// (exact to 2^-120 before that rounding): the start of the fast path's own sines.
void TurnCosSinQ62(std::uint64_t fraction, std::int64_t* cosine, std::int64_t* sine) noexcept;

}  // namespace exact
}  // namespace wakelet
