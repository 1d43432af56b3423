// The program's entry: settings from the command line, the banner, the keep-alive loop
// and the one place where a failure of the run is reported.
#pragma once

#include <cstdint>

namespace wakelet {

constexpr std::uint32_t VerboseCycleInterval = 60000;
constexpr std::uint32_t NormalCycleInterval = 3600000;

// Runs the program to its end and returns the exit status. `verboseRequested` is whether
// the first argument was the word "verbose".
int RunProgram(bool verboseRequested);

}  // namespace wakelet
