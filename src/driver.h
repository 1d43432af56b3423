// The program's entry: settings from the command line, the banner, the keep-alive loop
// and the one place where a failure of the run is reported.
#pragma once

#include <cstdint>
#include <string>

namespace wakelet {

extern bool Running;               // the loop goes on while set; the tone engine may clear it
extern bool Verbose;               // per-cycle device messages
extern std::uint32_t CycleInterval;  // ms: tone length, and the wait after a failed open

constexpr std::uint32_t VerboseCycleInterval = 60000;
constexpr std::uint32_t NormalCycleInterval = 3600000;

// Runs the program to its end and returns the exit status. `verboseRequested` is whether
// the first argument was the word "verbose".
int RunProgram(bool verboseRequested);

class Exception;
// What standard error gets when a failure escapes the report: the class name, the module's
// file name, the code location, and the message ending in one full stop.
std::string LastResortText(const Exception& failure, const std::string& module, std::uint32_t location);

}  // namespace wakelet
