// The tone buffer, fast: the same samples as the reference evaluation of tone.h, bit for
// bit, at a cost close to that of writing the memory.
//
// Within a run of samples over which the running time grows by one exact step, the exact
// phase w t is an arithmetic progression, so sin(w t) A is a rotation: every sample is the
// first phase of its block, (A cos, A sin), turned by a tabulated angle. That takes two
// products and a sum in double precision per sample, with a proven error bound (see
// tone_plan.cpp). A sample whose fast value lies so close to a half-integer that this
// bound and the definition's own roundings (of w t to 64 bits, of the sine and of the
// product) could tip the rounding is a close call: it is evaluated by the definition
// (ToneSample) itself. Every other sample rounds to what the definition gives.
//
// A tone outside the fast path's precondition (tone_plan.h) is built by the definition,
// sample by sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tone/tone.h"
#include "tone/tone_kernels.h"
#include "tone/tone_plan.h"

namespace wakelet {

// What a walk over a piece of a planned buffer hands out, in the order of its samples:
// blocks of samples for the fast path, as the kernels (tone_kernels.h) take them, and the
// samples the fast path leaves to the reference. k counts from the piece's first sample.
class ToneBlockSink {
public:
    // Sample k, at running time t, for the reference.
    virtual void Reference(std::size_t k, double t) = 0;
    // Samples k0 + i, i < n, at times run.start + (m0 + i) run.step: the block's start
    // (zc, zs) and its table of rotations (c, s).
    virtual void Block(double zc, double zs, const double* c, const double* s, std::size_t n, std::size_t k0,
                       const ToneTimeRun& run, std::size_t m0) = 0;

protected:
    ~ToneBlockSink() = default;
};

// Writes pieces of one planned buffer; one writer a thread. A writer keeps the rotation
// table of the last time step it worked with.
class ToneWriter {
public:
    explicit ToneWriter(const TonePlan& plan);  // the fastest kernel here
    ToneWriter(const TonePlan& plan, ToneKernel kernel);
    ToneKernel Kernel() const noexcept { return kernel_; }

    // out[k] = sample first + k, for k < count. Returns the number of close calls.
    std::size_t Write(std::int32_t* out, std::size_t first, std::size_t count) noexcept;

    // Hands sink the samples first + k, k < count, as Write takes them.
    void Walk(ToneBlockSink& sink, std::size_t first, std::size_t count) noexcept;

private:
    void MakeTable(const ToneTimeRun& run, std::size_t length) noexcept;

    const TonePlan& plan_;
    ToneKernel kernel_;
    double tableStep_ = 0;
    std::size_t tableLength_ = 0;
    std::vector<double> cosTable_, sinTable_;
    std::vector<std::uint32_t> closeCalls_;
};

// Plans one buffer and gets a writer ready for each thread, so that every allocation the
// build needs is made before the buffer is touched.
class ToneSynthesizer {
public:
    ToneSynthesizer(const ToneSteps& steps, std::size_t count, unsigned threads);
    ToneSynthesizer(const ToneSteps& steps, std::size_t count, unsigned threads, ToneKernel kernel);
    ToneSynthesizer(const ToneSynthesizer&) = delete;
    ToneSynthesizer& operator=(const ToneSynthesizer&) = delete;

    const TonePlan& Plan() const noexcept { return plan_; }

    // Writes out[0, count) on up to `threads` threads, the calling one among them. A
    // thread that cannot be started leaves its share to the others. Returns the number
    // of close calls.
    std::size_t Run(std::int32_t* out);

private:
    TonePlan plan_;
    std::vector<ToneWriter> writers_;
};

// The number of threads the build uses: every core the system reports.
unsigned ToneThreads() noexcept;

}  // namespace wakelet
