// The tone's output format and buffer, which live for the whole process and which the
// device reads in place while it plays, and what builds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/waveout.h"

namespace wakelet {

// One 32-bit sample a frame of the single channel, in one contiguous block.
class TWaveformSamples {
public:
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::int32_t* data() noexcept { return data_.get(); }
    const std::int32_t* data() const noexcept { return data_.get(); }
    std::int32_t operator[](std::size_t i) const noexcept { return data_[i]; }

    // Gives the array `count` elements of new, unset storage; the old contents are gone.
    // Throws EOutOfMemory and keeps the old contents when the memory cannot be had, also
    // when it would not fit under the process's memory cgroup limit, or in what the machine
    // can still give, once it is written.
    void Reset(std::size_t count);

private:
    std::unique_ptr<std::int32_t[]> data_;
    std::size_t size_ = 0;
};

extern WAVEFORMATEX WaveFormat;
extern TWaveformSamples Samples;

void InitWaveFormat();

// Replaces Samples with DurationMs of a sine of Frequency hertz at Amplitude of full scale.
void GenerateTone(std::int32_t Frequency, std::uint32_t DurationMs, double Amplitude);

}  // namespace wakelet
