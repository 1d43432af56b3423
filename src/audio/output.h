// What the Linux wave-out layer asks of a route to the default output: libpulse to a sound
// server, or ALSA's default PCM. The route is chosen once, at the open; every call comes
// from the thread that opened it, and none waits on the device for longer than the limits
// in limits.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wakelet {

class Output {
public:
    // Stops whatever still plays and closes the route. A device that does not let go in
    // time is left to finish on its own, if ever; the caller's buffer is then no longer read.
    virtual ~Output() = default;

    // Plays `bytes` bytes from `data`, read in place: `data` must stay until Finished() or
    // destruction. False when the buffer cannot be played at all.
    virtual bool Start(const char* data, std::size_t bytes) = 0;
    // True once the buffer has played, or has ended early because the device went away or
    // was given up. Not const: asking may be what feeds the device.
    virtual bool Finished() = 0;
    // Bytes of the buffer the device has played; it goes back when a sound server moves the
    // stream to another output, and stands still while nothing plays it.
    virtual std::uint64_t Position() const = 0;
    // Stops the buffer promptly; Finished() is true from then on.
    virtual void Reset() = 0;

protected:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
};

}  // namespace wakelet
