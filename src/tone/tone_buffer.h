// Builds the tone engine's process-wide state: the output format and the tone buffer.
#pragma once

#include <cstdint>

#include "program/process_state.h"

namespace wakelet {

void InitWaveFormat();

// Replaces Samples with DurationMs of a sine of Frequency hertz at Amplitude of full scale.
void GenerateTone(std::int32_t Frequency, std::uint32_t DurationMs, double Amplitude);

}  // namespace wakelet
