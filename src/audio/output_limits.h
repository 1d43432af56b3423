// The limits both Linux routes hold an output to, so that the wave-out calls keep their
// promises whichever route plays: an open returns within a few seconds, and a buffer that
// stops playing ends.
#pragma once

#include <chrono>

namespace wakelet {

// How long connecting to an output and readying a stream may take before the output counts
// as unusable.
constexpr std::chrono::seconds OpenTimeout{5};
// An output that plays nothing of the buffer for this long has gone away or stopped: the
// buffer ends, and the next cycle opens the default output again.
constexpr std::chrono::seconds StallLimit{5};

}  // namespace wakelet
