// The output format and the one tone buffer the device plays, both process-wide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "waveout.h"

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
    // Throws EOutOfMemory and keeps the old contents when the memory cannot be had.
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
