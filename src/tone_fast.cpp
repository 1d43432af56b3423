#include "tone_fast.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <system_error>
#include <thread>

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
// The reference adds dt to t in extended precision and rounds the sum to double. Let t lie
// in the binade [2^k, 2^(k+1)), where doubles are the multiples of u = 2^(k-52), and call a
// step from t regular when the exact sum t + dt stays below 2^(k+1). Then the extended sum
// is t plus dt rounded to the grid u 2^-11 (t lies on that grid, and the tie rule sees only
// dt's part, t's share of the last bit being even), and the double result is t plus that
// rounded once more to the grid u. That last rounding is the same for every t of the
// binade, except when it is an exact tie: then the even neighbour wins, which depends on
// t. Even then, once two consecutive increments agree, t has reached the parity that keeps
// them agreeing. So from a t whose first two regular steps add the same increment, every
// regular step adds that increment, exactly; the irregular step out of the binade is taken
// serially and starts the next run.

namespace {

double Advance(double t, double timeStep) {
    return static_cast<double>(static_cast<long double>(t) + timeStep);
}

}  // namespace

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
                step = Advance(t, timeStep) - t;  // exact: both lie in the binade or at its top
                // Regular steps start at t + m step for every m with room - m step > dt;
                // the products and differences are multiples of u below 2^(k+1), so exact.
                auto regular = [&](double m) { return room - m * step > timeStep; };
                double steps = std::max(1.0, std::floor((room - timeStep) / step));
                while (steps > 1.0 && !regular(steps - 1.0)) steps -= 1.0;
                while (regular(steps)) steps += 1.0;
                if (steps >= 2.0 && Advance(t + step, timeStep) - (t + step) != step) steps = 1.0;
                length = static_cast<std::size_t>(steps) + 1;
            }
        }
        length = std::min(length, count - index);
        runs.push_back({index, length, t, step});
        t = Advance(t + static_cast<double>(length - 1) * step, timeStep);
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
// The remaining angle, at most an eighth of a turn after taking out whole quarters, goes
// through Taylor series in extended precision. Each of cos and sin comes out within 2^-61
// of the true value: reduction 2^-63, series truncation below 2^-76, and the nested
// evaluation under 2^-62, as each level's correction is below a third and so shrinks the
// rounding errors made beneath it.

namespace {

constexpr long double TwoPi = 0xc90fdaa22168c235p-61L;
// 2 pi in three pieces, the first two of 32 bits, so that turns times either is exact for
// |turns| <= 2^32; together they carry 2 pi to 2^-128 of itself.
constexpr long double TwoPi1 = 0xc90fdaa2p-29L;
constexpr long double TwoPi2 = 0x85a308d3p-63L;
constexpr long double TwoPi3 = 0x98cc51701b839a25p-130L;

constexpr int SeriesLevels = 10;

struct SeriesFactors {
    long double sin[SeriesLevels + 1] = {};
    long double cos[SeriesLevels + 1] = {};
    constexpr SeriesFactors() {
        for (int k = 1; k <= SeriesLevels; ++k) {
            sin[k] = 1.0L / ((2.0L * k) * (2.0L * k + 1));
            cos[k] = 1.0L / ((2.0L * k - 1) * (2.0L * k));
        }
    }
};
constexpr SeriesFactors Factors;

struct Turn {
    long double cos, sin;
};

// |x| <= pi/4 and a little: sin x = x (1 - x^2/(2 3) (1 - x^2/(4 5) (...))), and so cos.
Turn SinCosNearZero(long double x) {
    const long double x2 = x * x;
    long double s = 1.0L, c = 1.0L;
    for (int k = SeriesLevels; k >= 1; --k) {
        s = 1.0L - x2 * Factors.sin[k] * s;
        c = 1.0L - x2 * Factors.cos[k] * c;
    }
    return {c, x * s};
}

// cos and sin of w units 2^-shift, for 3 <= shift <= 64; unit is 2^-shift.
Turn SinCosOfPhase(const TonePlan& plan, std::uint64_t units, int shift, long double unit) {
    const std::uint64_t mask = shift == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << shift) - 1;
    const std::uint64_t fraction = (static_cast<std::uint64_t>(plan.turns) * units) & mask;
    const std::uint64_t quarters = ((fraction >> (shift - 3)) + 1) >> 1;  // nearest, 0 to 4
    // Exact: a multiple of 2^-shift no larger than 1/8.
    const long double rest =
        static_cast<long double>(fraction) * unit - static_cast<long double>(quarters) * 0.25L;
    const long double x = TwoPi * rest + plan.excess * (static_cast<long double>(units) * unit);
    const Turn z = SinCosNearZero(x);
    switch (quarters & 3) {
        case 0: return z;
        case 1: return {-z.sin, z.cos};
        case 2: return {-z.cos, -z.sin};
        default: return {z.sin, -z.cos};
    }
}

// z turned by the angle of r.
Turn Turned(const Turn& z, const Turn& r) {
    return {z.cos * r.cos - z.sin * r.sin, z.sin * r.cos + z.cos * r.sin};
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The error bound, and the plan
//
// Within a block, sample j has the exact phase a + b_j, where a is the block's first
// phase and b_j = w j step. The tables hold cos b_j and sin b_j within 2^-61. The block's
// start (cos a, sin a) is within 2^-55.5: it is evaluated afresh (2^-60.5 as a complex
// number) and then turned at most 15 times by a rotation itself that close, each turn
// adding that and 2^-61 of rounding. Rounded to double and scaled: Zc = A cos a and
// Zs = A sin a. The sample's fast value is y = Zs cos b_j + Zc sin b_j in double
// precision. With u = 2^-53, as |sin a cos b| + |cos a sin b| <= 1 and |cos| + |sin| <=
// sqrt 2, the two products differ from A sin(a + b) by at most
// |A| (2u + sqrt 2 (2^-55.5 + 2^-61)) < |A| (2u + 2^-54.9), and the roundings of the
// products and of their sum add at most |A| 2u. So |y - A sin(w t)| < |A| 2^-50.
//
// The reference evaluates A sinl(P) with P = w t rounded to 64 bits: |P - w t| is at most
// 2^-64 |w t|, which moves the sample by up to |A| 2^-64 |w| t (1.5e-6 over the hour).
// Its sine is allowed 2^-52 of error (measured on every 64th sample of the hour against a
// quadruple-precision sine: under one unit in the last place, 2^-63; the allowance is two
// thousand of those), and its product with A half a unit in the last place, 2^-64 |A|.
// The margin is the sum of all of these, rounded up generously:
//   |A| (2^-49 + 2^-63 |w| tmax).
// A fast value farther than that from every half-integer rounds as the reference does.

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

// The run's time in units of its binade's last place; false when the fast path cannot
// take it.
bool FastRun(const ToneTimeRun& run, int* shift, std::uint64_t* startUnits, std::uint64_t* stepUnits) {
    if (run.count < ShortestFastRun || !(run.start > 0.0) || !(run.step > 0.0)) return false;
    int exponent;
    std::frexp(run.start, &exponent);
    *shift = 53 - exponent;
    if (*shift < 3 || *shift > 64) return false;
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
    if (!(std::fabs(peak) <= 2147483647.0) || !(std::fabs(w) <= 0x1p31)) return plan;

    const long double turns = std::nearbyint(static_cast<long double>(w) / TwoPi);
    plan.turns = static_cast<std::int64_t>(turns);
    plan.excess = ((static_cast<long double>(w) - turns * TwoPi1) - turns * TwoPi2) - turns * TwoPi3;

    const ToneTimeRun& last = plan.timeline.back();
    const double lastTime = last.start + static_cast<double>(last.count - 1) * last.step;
    plan.tieMargin = std::fabs(peak) * (0x1p-49 + 0x1p-63 * std::fabs(w) * lastTime);
    plan.fast = plan.tieMargin <= WidestMargin;
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
#else
bool HasAvx2() {
    return false;
}
#endif

std::size_t RoundBlock(bool wide, double zc, double zs, const double* c, const double* s, std::size_t n,
                       double limit, std::int32_t* out, std::uint32_t* close) {
#if defined(WAKELET_AVX2)
    if (wide) return RoundAvx2(zc, zs, c, s, n, limit, out, close);
#endif
    (void)wide;
#if defined(WAKELET_SSE2)
    return RoundSse2(zc, zs, c, s, n, limit, out, close);
#else
    return RoundScalar(zc, zs, c, s, n, limit, out, close);
#endif
}

void ValueBlock(bool wide, double zc, double zs, const double* c, const double* s, std::size_t n,
                double* out) {
#if defined(WAKELET_AVX2)
    if (wide) return ValuesAvx2(zc, zs, c, s, n, out);
#endif
    (void)wide;
#if defined(WAKELET_SSE2)
    ValuesSse2(zc, zs, c, s, n, out);
#else
    ValuesScalar(zc, zs, c, s, n, out);
#endif
}

// Where Walk sends each block, and each sample it leaves to the reference.
struct RoundingSink {
    const ToneSteps& steps;
    std::int32_t* out;
    std::uint32_t* close;
    bool wide;
    double limit;
    std::size_t referenced = 0;

    void Reference(std::size_t k, double t) {
        out[k] = ToneSample(steps, t);
        ++referenced;
    }
    // Samples k0 + i, i < n, at times start + (m0 + i) step.
    void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
               const ToneTimeRun& run, std::size_t m0) {
        const std::size_t closeCount = RoundBlock(wide, zc, zs, c, s, n, limit, out + k0, close);
        for (std::size_t i = 0; i < closeCount; ++i)
            Reference(k0 + close[i], run.start + static_cast<double>(m0 + close[i]) * run.step);
    }
};

struct ValueSink {
    const ToneSteps& steps;
    double* out;
    bool wide;

    void Reference(std::size_t k, double t) { out[k] = static_cast<double>(ToneValue(steps, t)); }
    void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
               const ToneTimeRun&, std::size_t) {
        ValueBlock(wide, zc, zs, c, s, n, out + k0);
    }
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Writers and threads

ToneWriter::ToneWriter(const TonePlan& plan, bool wide)
    : plan_(plan),
      wide_(wide && HasAvx2()),
      cosTable_(BlockLength),
      sinTable_(BlockLength),
      closeCalls_(BlockLength) {}

void ToneWriter::MakeTable(const ToneTimeRun& run, std::size_t length) noexcept {
    int shift;
    std::uint64_t startUnits, stepUnits;
    FastRun(run, &shift, &startUnits, &stepUnits);
    const long double unit = std::ldexp(1.0L, -shift);
    for (std::size_t j = 0; j < length; ++j) {
        const Turn z = SinCosOfPhase(plan_, j * stepUnits, shift, unit);
        cosTable_[j] = static_cast<double>(z.cos);
        sinTable_[j] = static_cast<double>(z.sin);
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
    const long double peak = plan_.steps.peak;
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
        const long double unit = std::ldexp(1.0L, -shift);
        // Block starts: evaluated afresh every few blocks, turned from block to block between.
        const Turn blockTurn = SinCosOfPhase(plan_, BlockLength * stepUnits, shift, unit);
        Turn z{};
        for (std::size_t m = begin, blocks = 0; m < end; ++blocks) {
            const std::size_t block = m / BlockLength * BlockLength;
            const std::size_t stop = std::min(end, block + BlockLength);
            z = blocks % BlocksBetweenStarts == 0
                    ? SinCosOfPhase(plan_, startUnits + block * stepUnits, shift, unit)
                    : Turned(z, blockTurn);
            const double zc = static_cast<double>(peak * z.cos), zs = static_cast<double>(peak * z.sin);
            const std::size_t j = m - block;
            sink.Block(zc, zs, cosTable_.data() + j, sinTable_.data() + j, stop - m, done + (m - begin), *run,
                       m);
            m = stop;
        }
        done += end - begin;
    }
}

std::size_t ToneWriter::Write(std::int32_t* out, std::size_t first, std::size_t count) noexcept {
    RoundingSink sink{plan_.steps, out, closeCalls_.data(), wide_, 0.5 - plan_.tieMargin};
    Walk(sink, first, count);
    return sink.referenced;
}

void ToneWriter::Values(double* out, std::size_t first, std::size_t count) noexcept {
    ValueSink sink{plan_.steps, out, wide_};
    Walk(sink, first, count);
}

ToneSynthesizer::ToneSynthesizer(const ToneSteps& steps, std::size_t count, unsigned threads)
    : plan_(PlanTone(steps, count)) {
    if (!plan_.fast) return;
    const std::size_t chunks = (count + ChunkSamples - 1) / ChunkSamples;
    const std::size_t writers = std::max<std::size_t>(1, std::min<std::size_t>(threads, chunks));
    writers_.reserve(writers);
    for (std::size_t i = 0; i < writers; ++i) writers_.emplace_back(plan_);
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
