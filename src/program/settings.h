// The program's settings, shared by the driver and the playback cycle. The driver sets
// them before the first cycle; the cycle clears Running to end the loop.
#pragma once

#include <cstdint>

namespace wakelet {

extern bool Running;                 // the loop goes on while set; the playback cycle may clear it
extern bool Verbose;                 // per-cycle device messages
extern std::uint32_t CycleInterval;  // ms: tone length, and the wait after a failed open

}  // namespace wakelet
