#include "tone/tone_buffer.h"

#include <new>
#include <optional>

#include "base/failure.h"
#include "base/memory_room.h"
#include "tone/tone.h"
#include "tone/tone_fast.h"

namespace wakelet {

WAVEFORMATEX WaveFormat{};
TWaveformSamples Samples;

void TWaveformSamples::Reset(std::size_t count) {
    if (count == 0) {
        data_.reset();
        size_ = 0;
        return;
    }
    // Beyond a memory cgroup's limit, or what the machine can still give, the allocation
    // succeeds and filling it gets the process killed.
    if (!MemoryAllows(std::uint64_t{count} * sizeof(std::int32_t))) throw EOutOfMemory();
    // Left unset on purpose: the caller writes every element, and a fresh block of this
    // size is not touched until then (the threads that fill it take its page faults).
    std::unique_ptr<std::int32_t[]> block(new (std::nothrow) std::int32_t[count]);
    if (!block) throw EOutOfMemory();
    data_ = std::move(block);
    size_ = count;
}

void InitWaveFormat() {
    WaveFormat = WAVEFORMATEX{};
    WaveFormat.wFormatTag = WAVE_FORMAT_PCM;
    WaveFormat.nChannels = 1;
    WaveFormat.nSamplesPerSec = 44100;
    WaveFormat.wBitsPerSample = 32;
    WaveFormat.nAvgBytesPerSec =
        WaveFormat.nChannels * WaveFormat.nSamplesPerSec * WaveFormat.wBitsPerSample / 8;
    WaveFormat.nBlockAlign = static_cast<WORD>(WaveFormat.nChannels * WaveFormat.wBitsPerSample / 8);
    WaveFormat.cbSize = 0;
}

void GenerateTone(std::int32_t Frequency, std::uint32_t DurationMs, double Amplitude) {
    const ToneSteps steps = MakeToneSteps(Frequency, WaveFormat.nSamplesPerSec, Amplitude);
    const std::uint32_t count = ToneSampleCount(DurationMs, WaveFormat.nSamplesPerSec);
    // The samples are those of SynthesizeToneReference, built on every core. What the
    // build needs besides the buffer is had first, so a failure leaves Samples as it was.
    std::optional<ToneSynthesizer> synthesizer;
    try {
        synthesizer.emplace(steps, count, ToneThreads());
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    }
    Samples.Reset(count);
    synthesizer->Run(Samples.data());
}

}  // namespace wakelet
