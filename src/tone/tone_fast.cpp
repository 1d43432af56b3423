#include "tone/tone_fast.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

#include "tone/tone_math.h"

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

// ---------------------------------------------------------------------------------------
// The running time
//
// The reference adds dt to t in extended precision and rounds the sum to double
// (NextToneTime). Let t lie in the binade [2^k, 2^(k+1)), where doubles are the
// multiples of u = 2^(k-52), and call a step from t regular when the exact sum t + dt
// stays below 2^(k+1). Then the extended sum is t plus dt rounded to the grid u 2^-11 (t
// lies on that grid, and the tie rule sees only dt's part, t's share of the last bit
// being even), and the double result is t plus that rounded once more to the grid u.
// That last rounding is the same for every t of the binade, except when it is an exact
// tie: then the even neighbour wins, which depends on t. Even then, once two consecutive
// increments agree, t has reached the parity that keeps them agreeing. So from a t whose
// first two regular steps add the same increment, every regular step adds that
// increment, exactly; the irregular step out of the binade is taken serially and starts
// the next run.

std::vector<ToneTimeRun> ToneTimeline(double timeStep, std::size_t count) {
    std::vector<ToneTimeRun> runs;
    double t = 0.0;
    std::size_t index = 0;
    while (index < count) {
        std::size_t length = 1;
        double step = 0.0;
        if (t > 0.0) {
            int exponent;
            std::frexp(t, &exponent);
            const double room = std::ldexp(1.0, exponent) - t;  // exact: to the binade's top
            if (room > timeStep) {
                step = NextToneTime(t, timeStep) - t;  // exact: both lie in the binade or at its top
                // Regular steps start at t + m step for every m with room - m step > dt;
                // the products and differences are multiples of u below 2^(k+1), so exact.
                auto regular = [&](double m) { return room - m * step > timeStep; };
                double steps = std::max(1.0, std::floor((room - timeStep) / step));
                while (steps > 1.0 && !regular(steps - 1.0)) steps -= 1.0;
                while (regular(steps)) steps += 1.0;
                if (steps >= 2.0 && NextToneTime(t + step, timeStep) - (t + step) != step) steps = 1.0;
                length = static_cast<std::size_t>(steps) + 1;
            }
        }
        length = std::min(length, count - index);
        runs.push_back({index, length, t, step});
        t = NextToneTime(t + static_cast<double>(length - 1) * step, timeStep);
        index += length;
    }
    return runs;
}

// ---------------------------------------------------------------------------------------
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

// cos and sin, each as round(value 2^62).
struct Rotation {
    std::int64_t cos, sin;
};

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

struct TurnTable {
    Rotation entry[256];
};

// cos and sin of k/256 turn.
const TurnTable& Turns256() {
    static const TurnTable table = [] {
        TurnTable t;
        for (unsigned k = 0; k < 256; ++k)
            exact::TurnCosSinQ62(u64{k} << 56, &t.entry[k].cos, &t.entry[k].sin);
        return t;
    }();
    return table;
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

// cos and sin of w units 2^-shift, 0 <= shift <= 64.
Rotation RotationOfPhase(const TonePlan& plan, u64 units, int shift) noexcept {
    const u64 product = static_cast<u64>(plan.turns) * units;  // turns X mod 1, exact
    const u64 fraction = shift == 0 ? 0 : product << (64 - shift);
    return RotationOfTurn(fraction, plan.excess * std::ldexp(static_cast<double>(units), -shift));
}

// z turned by the angle of r: each part of the product rounded once to 2^-62.
Rotation Turned(const Rotation& z, const Rotation& r) noexcept {
    return {RoundedDown(Sum(MultiplySigned(z.cos, r.cos), Negated(MultiplySigned(z.sin, r.sin))), 62),
            RoundedDown(Sum(MultiplySigned(z.sin, r.cos), MultiplySigned(z.cos, r.sin)), 62)};
}

// a q 2^-62 rounded once to double.
double Scaled(double a, std::int64_t q) noexcept {
    const Extended x = exact::FromDouble(a);
    const u64 magnitude = q < 0 ? 0 - static_cast<u64>(q) : static_cast<u64>(q);
    if (x.mantissa == 0 || magnitude == 0) return 0.0;
    u64 hi, lo;
    Multiply64(x.mantissa, magnitude, &hi, &lo);
    return exact::Round128ToDouble(x.negative != (q < 0), hi, lo, x.exponent - 62);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The error bound, and the plan
//
// Within a block, sample j has the exact phase a + b_j, where a is the block's first
// phase and b_j = w j step. The tables hold cos b_j and sin b_j within 2^-61.9 each, then
// rounded to double. The block's start (cos a, sin a) is evaluated afresh (within
// 2^-61.4 as a complex number) and then turned at most 15 times by a rotation itself that
// close, each turn adding that and sqrt 2 2^-63 of rounding: within 2^-56.8. Rounded to
// double and scaled, each in one rounding: Zc = A cos a and Zs = A sin a. The sample's fast
// value is y = Zs cos b_j + Zc sin b_j in double precision. With u = 2^-53, since
// |sin a cos b| + |cos a sin b| <= 1, the start's error adds at most |A| 2^-56.8, the
// tables' at most |A| sqrt 2 2^-61.9, and the four roundings (of Zs or Zc, of the table
// entry, of the product and of the sum; fewer where a fused multiply-add is used) at most
// |A| 4u: |y - A sin(w t)| < |A| 2^-50.8.
//
// The definition evaluates V = A S to 64 bits, S the correctly rounded sine of P, and P
// the product w t rounded to 64 bits: |P - w t| <= 2^-64 |w| t moves the value by up to
// |A| 2^-64 |w| t (1.5e-6 over the hour), the sine's rounding by |A| 2^-64, the product's
// by 2^-64 |V|. The margin is the sum of all of these, rounded up generously:
//   |A| (2^-49 + 2^-63 |w| tmax).
// A fast value farther than that from every half-integer rounds as the definition does.

namespace {

// Fast values in blocks of this many samples share one table of rotations.
constexpr std::size_t BlockLength = 2048;
// A block's start is evaluated afresh once in this many blocks, and turned from the
// previous block's start in between.
constexpr std::size_t BlocksBetweenStarts = 16;
// Runs shorter than this (the first few samples and one at each binade's end) go to the
// reference: a table for them would cost more than it saves.
constexpr std::size_t ShortestFastRun = 32;
// Threads take the buffer in pieces of this many samples (2 MiB): large enough to keep
// the share-out cheap, small enough that a thread slowed by other work delays little.
constexpr std::size_t ChunkSamples = std::size_t{1} << 19;
// Beyond this margin so many samples would be close calls that the fast path is not.
constexpr double WidestMargin = 1.0 / 64;
// The excess of w over whole turns, times the buffer's last time, stays within this.
constexpr double WidestExcessAngle = 0x1p-30;
// The error bound counts each double operation's rounding once: no wider evaluation.
#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
constexpr bool DoubleEvaluation = true;
#else
constexpr bool DoubleEvaluation = false;
#endif

// The run's time in units of its binade's last place; false when the fast path cannot
// take it.
bool FastRun(const ToneTimeRun& run, int* shift, std::uint64_t* startUnits, std::uint64_t* stepUnits) {
    if (run.count < ShortestFastRun || !(run.start > 0.0) || !(run.step > 0.0)) return false;
    int exponent;
    std::frexp(run.start, &exponent);
    *shift = 53 - exponent;
    if (*shift < 0 || *shift > 64) return false;
    const double start = std::ldexp(run.start, *shift), step = std::ldexp(run.step, *shift);
    if (start != std::floor(start) || step != std::floor(step)) return false;
    *startUnits = static_cast<std::uint64_t>(start);
    *stepUnits = static_cast<std::uint64_t>(step);
    return true;
}

}  // namespace

TonePlan PlanTone(const ToneSteps& steps, std::size_t count) {
    TonePlan plan;
    plan.steps = steps;
    plan.count = count;
    const double w = steps.angularStep, dt = steps.timeStep, peak = steps.peak;
    if (count == 0 || !(dt > 0.0 && dt < std::numeric_limits<double>::infinity())) return plan;
    plan.timeline = ToneTimeline(dt, count);
    if (!DoubleEvaluation || !(std::fabs(peak) <= 2147483647.0) || !(std::fabs(w) <= 0x1p31)) return plan;
    if (!exact::SplitTurns(w, &plan.turns, &plan.excess)) return plan;

    const ToneTimeRun& last = plan.timeline.back();
    const double lastTime = last.start + static_cast<double>(last.count - 1) * last.step;
    if (!(std::fabs(plan.excess) * lastTime <= WidestExcessAngle)) return plan;  // not a whole-turn step
    plan.tieMargin = std::fabs(peak) * (0x1p-49 + 0x1p-63 * std::fabs(w) * lastTime);
    plan.fast = plan.tieMargin <= WidestMargin;
    if (plan.fast) Turns256();  // made now, not by the first writer that needs it
    return plan;
}

// ---------------------------------------------------------------------------------------
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

void ValuesScalar(double zc, double zs, const double* c, const double* s, std::size_t n, double* out) {
    for (std::size_t k = 0; k < n; ++k) out[k] = FastValue(zc, zs, c[k], s[k]);
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

void ValuesSse2(double zc, double zs, const double* c, const double* s, std::size_t n, double* out) {
    const __m128d vzc = _mm_set1_pd(zc), vzs = _mm_set1_pd(zs);
    std::size_t k = 0;
    for (; k + 2 <= n; k += 2) _mm_storeu_pd(out + k, FastValues2(vzc, vzs, c + k, s + k));
    ValuesScalar(zc, zs, c + k, s + k, n - k, out + k);
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

WAKELET_TARGET_AVX2 void ValuesAvx2(double zc, double zs, const double* c, const double* s, std::size_t n,
                                    double* out) {
    const __m256d vzc = _mm256_set1_pd(zc), vzs = _mm256_set1_pd(zs);
    std::size_t k = 0;
    for (; k + 4 <= n; k += 4) _mm256_storeu_pd(out + k, FastValues4(vzc, vzs, c + k, s + k));
    ValuesScalar(zc, zs, c + k, s + k, n - k, out + k);
}

bool HasAvx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
#endif

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

void ValueBlock(ToneKernel kernel, double zc, double zs, const double* c, const double* s, std::size_t n,
                double* out) {
    switch (kernel) {
#if defined(WAKELET_AVX2)
        case ToneKernel::Avx2: return ValuesAvx2(zc, zs, c, s, n, out);
#endif
#if defined(WAKELET_SSE2)
        case ToneKernel::Sse2: return ValuesSse2(zc, zs, c, s, n, out);
#endif
        default: return ValuesScalar(zc, zs, c, s, n, out);
    }
}

// Where Walk sends each block, and each sample it leaves to the reference.
struct RoundingSink {
    const ToneSteps& steps;
    std::int32_t* out;
    std::uint32_t* close;
    ToneKernel kernel;
    double limit;
    std::size_t referenced = 0;

    void Reference(std::size_t k, double t) {
        out[k] = ToneSample(steps, t);
        ++referenced;
    }
    // Samples k0 + i, i < n, at times start + (m0 + i) step.
    void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
               const ToneTimeRun& run, std::size_t m0) {
        const std::size_t closeCount = RoundBlock(kernel, zc, zs, c, s, n, limit, out + k0, close);
        for (std::size_t i = 0; i < closeCount; ++i)
            Reference(k0 + close[i], run.start + static_cast<double>(m0 + close[i]) * run.step);
    }
};

struct ValueSink {
    const ToneSteps& steps;
    double* out;
    ToneKernel kernel;

    void Reference(std::size_t k, double t) { out[k] = ToneValue(steps, t).ToDouble(); }
    void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
               const ToneTimeRun&, std::size_t) {
        ValueBlock(kernel, zc, zs, c, s, n, out + k0);
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Writers and threads

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

ToneWriter::ToneWriter(const TonePlan& plan) : ToneWriter(plan, ToneKernels().back()) {}

ToneWriter::ToneWriter(const TonePlan& plan, ToneKernel kernel)
    : plan_(plan), kernel_(kernel), cosTable_(BlockLength), sinTable_(BlockLength), closeCalls_(BlockLength) {
    const std::vector<ToneKernel> here = ToneKernels();
    if (std::find(here.begin(), here.end(), kernel) == here.end()) kernel_ = ToneKernel::Portable;
}

void ToneWriter::MakeTable(const ToneTimeRun& run, std::size_t length) noexcept {
    int shift;
    std::uint64_t startUnits, stepUnits;
    FastRun(run, &shift, &startUnits, &stepUnits);
    for (std::size_t j = 0; j < length; ++j) {
        const Rotation z = RotationOfPhase(plan_, j * stepUnits, shift);
        cosTable_[j] = Scaled(1.0, z.cos);
        sinTable_[j] = Scaled(1.0, z.sin);
    }
    tableStep_ = run.step;
    tableLength_ = length;
}

template <class Sink>
void ToneWriter::Walk(Sink& sink, std::size_t first, std::size_t count) noexcept {
    const std::vector<ToneTimeRun>& runs = plan_.timeline;
    auto run = std::upper_bound(runs.begin(), runs.end(), first,
                                [](std::size_t index, const ToneTimeRun& r) { return index < r.first; }) -
               1;
    const double peak = plan_.steps.peak;
    for (std::size_t done = 0; done < count; ++run) {
        const std::size_t begin = first + done - run->first;  // within the run
        const std::size_t end = begin + std::min(count - done, run->count - begin);
        int shift;
        std::uint64_t startUnits, stepUnits;
        if (!FastRun(*run, &shift, &startUnits, &stepUnits)) {
            for (std::size_t m = begin; m < end; ++m)
                sink.Reference(done + (m - begin), run->start + static_cast<double>(m) * run->step);
            done += end - begin;
            continue;
        }
        const std::size_t needed = std::min(BlockLength, run->count);
        if (run->step != tableStep_ || tableLength_ < needed) MakeTable(*run, needed);
        // Block starts: evaluated afresh every few blocks, turned from block to block between.
        const Rotation blockTurn = RotationOfPhase(plan_, BlockLength * stepUnits, shift);
        Rotation z{};
        for (std::size_t m = begin, blocks = 0; m < end; ++blocks) {
            const std::size_t block = m / BlockLength * BlockLength;
            const std::size_t stop = std::min(end, block + BlockLength);
            z = blocks % BlocksBetweenStarts == 0
                    ? RotationOfPhase(plan_, startUnits + block * stepUnits, shift)
                    : Turned(z, blockTurn);
            const double zc = Scaled(peak, z.cos), zs = Scaled(peak, z.sin);
            const std::size_t j = m - block;
            sink.Block(zc, zs, cosTable_.data() + j, sinTable_.data() + j, stop - m, done + (m - begin), *run,
                       m);
            m = stop;
        }
        done += end - begin;
    }
}

std::size_t ToneWriter::Write(std::int32_t* out, std::size_t first, std::size_t count) noexcept {
    RoundingSink sink{plan_.steps, out, closeCalls_.data(), kernel_, 0.5 - plan_.tieMargin};
    Walk(sink, first, count);
    return sink.referenced;
}

void ToneWriter::Values(double* out, std::size_t first, std::size_t count) noexcept {
    ValueSink sink{plan_.steps, out, kernel_};
    Walk(sink, first, count);
}

ToneSynthesizer::ToneSynthesizer(const ToneSteps& steps, std::size_t count, unsigned threads)
    : ToneSynthesizer(steps, count, threads, ToneKernels().back()) {}

ToneSynthesizer::ToneSynthesizer(const ToneSteps& steps, std::size_t count, unsigned threads,
                                 ToneKernel kernel)
    : plan_(PlanTone(steps, count)) {
    if (!plan_.fast) return;
    const std::size_t chunks = (count + ChunkSamples - 1) / ChunkSamples;
    const std::size_t writers = std::max<std::size_t>(1, std::min<std::size_t>(threads, chunks));
    writers_.reserve(writers);
    for (std::size_t i = 0; i < writers; ++i) writers_.emplace_back(plan_, kernel);
}

std::size_t ToneSynthesizer::Run(std::int32_t* out) {
    if (!plan_.fast) {
        SynthesizeToneReference(plan_.steps, out, plan_.count);
        return plan_.count;
    }
    const std::size_t chunks = (plan_.count + ChunkSamples - 1) / ChunkSamples;
    std::atomic<std::size_t> next{0}, referenced{0};
    auto work = [&](ToneWriter& writer) {
        std::size_t mine = 0;
        for (std::size_t chunk; (chunk = next.fetch_add(1, std::memory_order_relaxed)) < chunks;) {
            const std::size_t first = chunk * ChunkSamples;
            mine += writer.Write(out + first, first, std::min(ChunkSamples, plan_.count - first));
        }
        referenced.fetch_add(mine, std::memory_order_relaxed);
    };

    std::vector<std::thread> helpers;
    try {
        helpers.reserve(writers_.size() - 1);
        for (std::size_t i = 1; i < writers_.size(); ++i) helpers.emplace_back(work, std::ref(writers_[i]));
    } catch (const std::system_error&) {
        // Fewer threads: the ones running share the rest.
    } catch (const std::bad_alloc&) {
    }
    work(writers_[0]);
    for (std::thread& helper : helpers) helper.join();
    return referenced.load();
}

unsigned ToneThreads() noexcept {
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace wakelet
