// Memory for the tone buffer: one contiguous block, on the system's large pages where it
// has them, so that first touching the 635 MB of the hour costs some three hundred page
// faults instead of 155,000. Anywhere else, and in sanitized builds, a plain heap block.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wakelet {

// Room for `count` samples, left unset; null when the memory cannot be had.
std::int32_t* AllocateSampleBlock(std::size_t count) noexcept;

// Gives back a block that AllocateSampleBlock(count) returned; null is ignored.
void FreeSampleBlock(std::int32_t* block, std::size_t count) noexcept;

}  // namespace wakelet
