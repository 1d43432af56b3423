#include "tone/tone_kernels.h"

#include <cmath>

#if defined(__SSE2__) || defined(_M_X64)
#include <immintrin.h>
#define WAKELET_SSE2 1
#endif
// The AVX2 kernels are chosen at run time, on processors that have AVX2 and FMA. Not on
// Windows: GCC there cannot align the stack for 32-byte spills.
#if defined(WAKELET_SSE2) && defined(__GNUC__) && !defined(_WIN32)
#define WAKELET_AVX2 1
#endif

namespace wakelet {

// Kernels: one block's samples from its start (zc, zs) and the table.

namespace {

inline double FastValue(double zc, double zs, double c, double s) {
    return zs * c + zc * s;
}

// Rounds n fast values into out; the offsets of close calls go to close. Returns their number.
std::size_t RoundScalar(double zc, double zs, const double* c, const double* s, std::size_t n, double limit,
                        std::int32_t* out, std::uint32_t* close) {
    std::size_t closeCount = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double y = FastValue(zc, zs, c[k], s[k]);
        const double nearest = std::nearbyint(y);
        out[k] = static_cast<std::int32_t>(nearest);
        if (!(std::fabs(y - nearest) < limit)) close[closeCount++] = static_cast<std::uint32_t>(k);
    }
    return closeCount;
}

// Plain C++ for any processor, in a shape compilers vectorise (NEON on ARM64): the block
// is rounded in one pass with no branch, its close calls only noted as a whole; a block
// that has any (about one in fifty) is gone through again by RoundScalar to find them.
std::size_t RoundPortable(double zc, double zs, const double* c, const double* s, std::size_t n, double limit,
                          std::int32_t* out, std::uint32_t* close) {
    unsigned near = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const double y = FastValue(zc, zs, c[k], s[k]);
        const double nearest = std::nearbyint(y);
        out[k] = static_cast<std::int32_t>(nearest);
        near |= !(std::fabs(y - nearest) < limit);
    }
    return near ? RoundScalar(zc, zs, c, s, n, limit, out, close) : 0;
}

#if defined(WAKELET_SSE2)
inline __m128d FastValues2(__m128d zc, __m128d zs, const double* c, const double* s) {
    return _mm_add_pd(_mm_mul_pd(zs, _mm_loadu_pd(c)), _mm_mul_pd(zc, _mm_loadu_pd(s)));
}

std::size_t RoundSse2(double zc, double zs, const double* c, const double* s, std::size_t n, double limit,
                      std::int32_t* out, std::uint32_t* close) {
    const __m128d vzc = _mm_set1_pd(zc), vzs = _mm_set1_pd(zs), vlimit = _mm_set1_pd(limit);
    const __m128d sign = _mm_set1_pd(-0.0);
    std::size_t closeCount = 0, k = 0;
    for (; k + 2 <= n; k += 2) {
        const __m128d y = FastValues2(vzc, vzs, c + k, s + k);
        const __m128i nearest = _mm_cvtpd_epi32(y);  // to nearest, as the rounding mode is
        const __m128d distance = _mm_andnot_pd(sign, _mm_sub_pd(y, _mm_cvtepi32_pd(nearest)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), nearest);
        if (const int bad = _mm_movemask_pd(_mm_cmpnlt_pd(distance, vlimit))) {
            if (bad & 1) close[closeCount++] = static_cast<std::uint32_t>(k);
            if (bad & 2) close[closeCount++] = static_cast<std::uint32_t>(k + 1);
        }
    }
    const std::size_t tail = RoundScalar(zc, zs, c + k, s + k, n - k, limit, out + k, close + closeCount);
    for (std::size_t i = 0; i < tail; ++i) close[closeCount + i] += static_cast<std::uint32_t>(k);
    return closeCount + tail;
}
#endif

#if defined(WAKELET_AVX2)
#define WAKELET_TARGET_AVX2 __attribute__((target("avx2,fma")))

WAKELET_TARGET_AVX2 inline __m256d FastValues4(__m256d zc, __m256d zs, const double* c, const double* s) {
    return _mm256_fmadd_pd(zs, _mm256_loadu_pd(c), _mm256_mul_pd(zc, _mm256_loadu_pd(s)));
}

WAKELET_TARGET_AVX2 std::size_t RoundAvx2(double zc, double zs, const double* c, const double* s,
                                          std::size_t n, double limit, std::int32_t* out,
                                          std::uint32_t* close) {
    const __m256d vzc = _mm256_set1_pd(zc), vzs = _mm256_set1_pd(zs), vlimit = _mm256_set1_pd(limit);
    const __m256d sign = _mm256_set1_pd(-0.0);
    std::size_t closeCount = 0, k = 0;
    for (; k + 4 <= n; k += 4) {
        const __m256d y = FastValues4(vzc, vzs, c + k, s + k);
        const __m256d nearest = _mm256_round_pd(y, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m256d distance = _mm256_andnot_pd(sign, _mm256_sub_pd(y, nearest));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm256_cvtpd_epi32(nearest));
        if (const int bad = _mm256_movemask_pd(_mm256_cmp_pd(distance, vlimit, _CMP_NLT_UQ))) {
            for (int lane = 0; lane < 4; ++lane)
                if (bad & (1 << lane)) close[closeCount++] = static_cast<std::uint32_t>(k + lane);
        }
    }
    const std::size_t tail = RoundScalar(zc, zs, c + k, s + k, n - k, limit, out + k, close + closeCount);
    for (std::size_t i = 0; i < tail; ++i) close[closeCount + i] += static_cast<std::uint32_t>(k);
    return closeCount + tail;
}

bool HasAvx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif

}  // namespace

std::size_t RoundBlock(ToneKernel kernel, double zc, double zs, const double* c, const double* s,
                       std::size_t n, double limit, std::int32_t* out, std::uint32_t* close) {
    switch (kernel) {
#if defined(WAKELET_AVX2)
        case ToneKernel::Avx2: return RoundAvx2(zc, zs, c, s, n, limit, out, close);
#endif
#if defined(WAKELET_SSE2)
        case ToneKernel::Sse2: return RoundSse2(zc, zs, c, s, n, limit, out, close);
#endif
        default: return RoundPortable(zc, zs, c, s, n, limit, out, close);
    }
}

std::vector<ToneKernel> ToneKernels() {
    std::vector<ToneKernel> kernels{ToneKernel::Portable};
#if defined(WAKELET_SSE2)
    kernels.push_back(ToneKernel::Sse2);
#endif
#if defined(WAKELET_AVX2)
    if (HasAvx2()) kernels.push_back(ToneKernel::Avx2);
#endif
    return kernels;
}

const char* ToneKernelName(ToneKernel kernel) noexcept {
    switch (kernel) {
        case ToneKernel::Avx2: return "AVX2";
        case ToneKernel::Sse2: return "SSE2";
        default: return "portable";
    }
}

}  // namespace wakelet
