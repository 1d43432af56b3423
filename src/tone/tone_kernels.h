// The fast evaluation's kernels: the loops that turn one block's start (zc, zs) and its
// table of rotations (c, s) into the block's samples, y = zs c + zc s in double precision.
// One for any processor and two for x86-64. They give the same samples; the AVX2 one fuses
// the multiply and the add, which the error bound (tone_plan.cpp) allows for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wakelet {

// The kernels that turn a block's start and its table into samples.
enum class ToneKernel {
    Portable,  // plain C++ that compilers vectorise (NEON on ARM64); any processor
    Sse2,      // x86-64
    Avx2,      // x86-64 with AVX2 and FMA, chosen at run time
};

// The kernels this build runs on this processor, the fastest last.
std::vector<ToneKernel> ToneKernels();
const char* ToneKernelName(ToneKernel kernel) noexcept;

// Rounds the n fast values of a block into out, and notes in close the offsets of the
// close calls: values at least `limit` from their nearest integer. Returns their number.
std::size_t RoundBlock(ToneKernel kernel, double zc, double zs, const double* c, const double* s,
                       std::size_t n, double limit, std::int32_t* out, std::uint32_t* close);

}  // namespace wakelet
