// The limit both Linux routes hold an output to, so that an open returns within a few
// seconds whichever route plays. A buffer that stops playing is the playback cycle's to end.
#pragma once

#include <chrono>

namespace wakelet {

// How long connecting to an output and readying a stream may take before the output counts
// as unusable.
constexpr std::chrono::seconds OpenTimeout{5};

}  // namespace wakelet
