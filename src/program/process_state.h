// The process-wide settings and buffers that the driver and the tone engine share. The
// driver sets Running, Verbose and CycleInterval before the first cycle; the tone engine
// owns WaveFormat and Samples, which live for the whole process and which the device
// reads in place while it plays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/waveout.h"

namespace wakelet {

extern bool Running;                 // the loop goes on while set; the tone engine may clear it
extern bool Verbose;                 // per-cycle device messages
extern std::uint32_t CycleInterval;  // ms: tone length, and the wait after a failed open

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
    // when it would not fit under the process's memory cgroup limit once it is written.
    void Reset(std::size_t count);

private:
    std::unique_ptr<std::int32_t[]> data_;
    std::size_t size_ = 0;
};

extern WAVEFORMATEX WaveFormat;
extern TWaveformSamples Samples;

}  // namespace wakelet
