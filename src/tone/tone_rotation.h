// Sines of exact phases, in integer arithmetic: the starts of the fast evaluation's blocks
// and its tables of rotations, each within 2^-61.9 of the exact cosine and sine (the
// derivation is in tone_rotation.cpp), the same on every processor.
#pragma once

#include <cstdint>

#include "tone/tone_plan.h"

namespace wakelet {

// cos and sin, each as round(value 2^62).
struct Rotation {
    std::int64_t cos, sin;
};

struct TurnTable {
    Rotation entry[256];
};

// cos and sin of k/256 turn, made on the first call.
const TurnTable& Turns256();

// cos and sin of w units 2^-shift, 0 <= shift <= 64, for the plan's w.
Rotation RotationOfPhase(const TonePlan& plan, std::uint64_t units, int shift) noexcept;

// z turned by the angle of r: each part of the product rounded once to 2^-62.
Rotation Turned(const Rotation& z, const Rotation& r) noexcept;

// a q 2^-62 rounded once to double.
double Scaled(double a, std::int64_t q) noexcept;

}  // namespace wakelet
