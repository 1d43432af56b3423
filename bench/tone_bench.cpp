// Times the tone build against its floor and against the reference, in one run, so that
// every figure shares the machine's load of the moment.
//
//   wakelet_bench [ROUNDS] [--no-hour-reference] [--cold SECONDS] [--kernel portable|sse2|avx2]
//
// Each round times, one after the other and each on freshly allocated memory:
//   floor, heap      new[] of the buffer and a fill on one thread (the plain way)
//   floor, buffer    the buffer's own allocation, filled by as many threads as the build
//   fast             GenerateTone, the program's build of the buffer
// for the hour and for the minute, and the reference evaluation of the minute. The
// reference of the hour (about 25 s) runs once, at the end, and its buffer is compared
// with the fast one.
//
// --cold waits that long before each timing of the hour, so that memory the previous
// timing gave back has gone cold again, as it has when the program starts: a virtual
// machine whose balloon reports free memory to its host must fetch such memory anew.
//
// --kernel builds with that kernel instead of the fastest this processor has.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "tone/tone.h"
#include "tone/tone_buffer.h"
#include "tone/tone_fast.h"

namespace {

using wakelet::Samples;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the compiler from dropping a fill nobody reads.
volatile std::int32_t Sink;

double HeapFloor(std::size_t count) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<std::int32_t[]> block(new std::int32_t[count]);
    std::fill(block.get(), block.get() + count, 1);
    const double seconds = Since(start);
    Sink = block[count / 3];
    return seconds;
}

double BufferFloor(std::size_t count) {
    Samples.Reset(0);
    const Clock::time_point start = Clock::now();
    Samples.Reset(count);
    std::int32_t* const block = Samples.data();
    // The build's own share-out: 2 MiB pieces from a counter, every core.
    constexpr std::size_t Piece = std::size_t{1} << 19;
    std::atomic<std::size_t> next{0};
    auto fill = [&] {
        for (std::size_t first; (first = next.fetch_add(Piece)) < count;)
            std::fill(block + first, block + std::min(count, first + Piece), 1);
    };
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < wakelet::ToneThreads(); ++i) helpers.emplace_back(fill);
    fill();
    for (std::thread& helper : helpers) helper.join();
    const double seconds = Since(start);
    Sink = block[count / 3];
    Samples.Reset(0);
    return seconds;
}

double coldSeconds = 0;

void LetMemoryCool() {
    if (coldSeconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(coldSeconds));
}

const wakelet::ToneKernel* kernelChosen = nullptr;

double Fast(std::uint32_t durationMs) {
    Samples.Reset(0);
    const Clock::time_point start = Clock::now();
    if (kernelChosen) {  // GenerateTone's steps, with the kernel given
        const std::size_t count = wakelet::ToneSampleCount(durationMs, 44100);
        wakelet::ToneSynthesizer synthesizer(wakelet::MakeToneSteps(10, 44100, 0.1), count,
                                             wakelet::ToneThreads(), *kernelChosen);
        Samples.Reset(count);
        synthesizer.Run(Samples.data());
    } else {
        wakelet::GenerateTone(10, durationMs, 0.1);
    }
    return Since(start);
}

double Reference(std::size_t count, std::vector<std::int32_t>& out) {
    const wakelet::ToneSteps steps = wakelet::MakeToneSteps(10, 44100, 0.1);
    out.assign(count, 0);  // touched before timing: this is the evaluation's own cost
    const Clock::time_point start = Clock::now();
    wakelet::SynthesizeToneReference(steps, out.data(), count);
    return Since(start);
}

struct Series {
    const char* name;
    std::vector<double> seconds;
    double Median() const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    void Print() const {
        const auto [low, high] = std::minmax_element(seconds.begin(), seconds.end());
        std::printf("  %-26s median %9.4f s   min %9.4f   max %9.4f\n", name, Median(), *low, *high);
    }
};

// The ratio a / b taken round by round, so each pair shares its moment's load.
Series Ratio(const char* name, const Series& a, const Series& b) {
    Series ratio{name, {}};
    for (std::size_t i = 0; i < a.seconds.size(); ++i) ratio.seconds.push_back(a.seconds[i] / b.seconds[i]);
    return ratio;
}

void PrintRatio(const Series& ratio) {
    const auto [low, high] = std::minmax_element(ratio.seconds.begin(), ratio.seconds.end());
    std::printf("  %-26s median %9.2f     min %9.2f   max %9.2f\n", ratio.name, ratio.Median(), *low, *high);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 7;
    bool hourReference = true;
    wakelet::ToneKernel kernel = wakelet::ToneKernels().back();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-hour-reference") == 0) {
            hourReference = false;
        } else if (std::strcmp(argv[i], "--cold") == 0 && i + 1 < argc) {
            coldSeconds = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--kernel") == 0 && i + 1 < argc) {
            ++i;
            bool known = false;
            for (wakelet::ToneKernel k : wakelet::ToneKernels()) {
                std::string name = wakelet::ToneKernelName(k);
                for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                if (name == argv[i]) {
                    kernel = k;
                    known = true;
                }
            }
            if (!known) {
                std::fprintf(stderr, "no kernel %s on this processor\n", argv[i]);
                return 2;
            }
            kernelChosen = &kernel;
        } else {
            rounds = std::max(1, std::atoi(argv[i]));
        }
    }
#if defined(__GLIBC__)
    // Every timing gets memory fresh from the system, as the program's one build does,
    // not blocks the allocator kept from the timing before.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
    wakelet::InitWaveFormat();
    const std::size_t hour = wakelet::ToneSampleCount(3600000, 44100);
    const std::size_t minute = wakelet::ToneSampleCount(60000, 44100);
    const wakelet::TonePlan plan = wakelet::PlanTone(wakelet::MakeToneSteps(10, 44100, 0.1), hour);
    std::printf("Tone build, %u threads, %s kernels, %d rounds (seconds of wall time)%s\n",
                wakelet::ToneThreads(), wakelet::ToneKernelName(wakelet::ToneWriter(plan, kernel).Kernel()),
                rounds, coldSeconds > 0 ? ", memory left to cool before each hour" : "");

    Series hourHeap{"hour: floor, heap", {}}, hourFloor{"hour: floor, buffer", {}},
        hourFast{"hour: fast", {}};
    Series minuteFloor{"minute: floor, buffer", {}}, minuteFast{"minute: fast", {}};
    Series minuteReference{"minute: reference", {}};
    std::vector<std::int32_t> reference;
    for (int round = 0; round < rounds; ++round) {
        Samples.Reset(0);
        LetMemoryCool();
        hourHeap.seconds.push_back(HeapFloor(hour));
        LetMemoryCool();
        hourFloor.seconds.push_back(BufferFloor(hour));
        LetMemoryCool();
        hourFast.seconds.push_back(Fast(3600000));
        minuteFloor.seconds.push_back(BufferFloor(minute));
        minuteFast.seconds.push_back(Fast(60000));
        minuteReference.seconds.push_back(Reference(minute, reference));
    }
    for (const Series* series :
         {&hourHeap, &hourFloor, &hourFast, &minuteFloor, &minuteFast, &minuteReference})
        series->Print();
    std::printf("Ratios, round by round\n");
    PrintRatio(Ratio("hour: fast / floor, buffer", hourFast, hourFloor));
    PrintRatio(Ratio("hour: fast / floor, heap", hourFast, hourHeap));
    PrintRatio(Ratio("minute: fast / floor", minuteFast, minuteFloor));
    PrintRatio(Ratio("minute: reference / fast", minuteReference, minuteFast));

    {
        wakelet::ToneSynthesizer synthesizer(wakelet::MakeToneSteps(10, 44100, 0.1), hour,
                                             wakelet::ToneThreads(), kernel);
        wakelet::Samples.Reset(hour);
        std::printf("hour: %zu samples left to the reference (close calls and run edges), margin %.3g\n",
                    synthesizer.Run(wakelet::Samples.data()), synthesizer.Plan().tieMargin);
    }
    if (hourReference) {
        Series hourReferenceTime{"hour: reference", {Reference(hour, reference)}};
        Series hourFastOnce{"hour: fast", {Fast(3600000)}};
        hourReferenceTime.Print();
        PrintRatio(Ratio("hour: reference / fast", hourReferenceTime, hourFastOnce));
        const bool same = std::equal(reference.begin(), reference.end(), Samples.data());
        std::printf("hour: fast buffer %s the reference\n", same ? "identical to" : "DIFFERS FROM");
        return same ? 0 : 1;
    }
    return 0;
}
