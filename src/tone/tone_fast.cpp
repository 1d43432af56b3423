#include "tone/tone_fast.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <new>
#include <system_error>
#include <thread>

#include "tone/tone_kernels.h"
#include "tone/tone_rotation.h"

namespace wakelet {

namespace {

// Fast values in blocks of this many samples share one table of rotations.
constexpr std::size_t BlockLength = 2048;
// A block's start is evaluated afresh once in this many blocks, and turned from the
// previous block's start in between. The error bound (tone_plan.cpp) counts those turns.
constexpr std::size_t BlocksBetweenStarts = 16;
// Runs shorter than this (the first few samples and one at each binade's end) go to the
// reference: a table for them would cost more than it saves.
constexpr std::size_t ShortestFastRun = 32;
// Threads take the buffer in pieces of this many samples (2 MiB): large enough to keep
// the share-out cheap, small enough that a thread slowed by other work delays little.
constexpr std::size_t ChunkSamples = std::size_t{1} << 19;

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

// Write's sink: rounds each block, and leaves its close calls to the reference.
class RoundingSink final : public ToneBlockSink {
public:
    RoundingSink(const ToneSteps& steps, std::int32_t* out, std::uint32_t* close, ToneKernel kernel,
                 double limit)
        : steps_(steps), out_(out), close_(close), kernel_(kernel), limit_(limit) {}
    std::size_t Referenced() const noexcept { return referenced_; }

    void Reference(std::size_t k, double t) override {
        out_[k] = ToneSample(steps_, t);
        ++referenced_;
    }
    void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
               const ToneTimeRun& run, std::size_t m0) override {
        const std::size_t closeCount = RoundBlock(kernel_, zc, zs, c, s, n, limit_, out_ + k0, close_);
        for (std::size_t i = 0; i < closeCount; ++i)
            Reference(k0 + close_[i], run.start + static_cast<double>(m0 + close_[i]) * run.step);
    }

private:
    const ToneSteps& steps_;
    std::int32_t* out_;
    std::uint32_t* close_;
    ToneKernel kernel_;
    double limit_;
    std::size_t referenced_ = 0;
};

}  // namespace

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

void ToneWriter::Walk(ToneBlockSink& sink, std::size_t first, std::size_t count) noexcept {
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
    RoundingSink sink(plan_.steps, out, closeCalls_.data(), kernel_, 0.5 - plan_.tieMargin);
    Walk(sink, first, count);
    return sink.Referenced();
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
