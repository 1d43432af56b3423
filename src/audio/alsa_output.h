// Playback through libasound's "default" PCM: the route when no sound server answers, or
// when ALSA's default is the server's own plugin and the server speaks no PulseAudio.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <thread>

#include "audio/waveout.h"

namespace wakelet {

class AlsaOutput {
public:
    // Opens ALSA's default PCM for `format`. MMSYSERR_NOERROR and an output only once the
    // device has taken the format and, for a sound server's plugin, shown that it plays.
    static MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<AlsaOutput>* out);
    // Whether ALSA's default PCM is a sound server's plugin rather than a way to a sound
    // card, as the configuration says; nothing is opened to tell.
    static bool DefaultIsAServer();

    AlsaOutput(const AlsaOutput&) = delete;
    AlsaOutput& operator=(const AlsaOutput&) = delete;
    // Stops the player promptly, whatever the device does, then drops and closes the PCM.
    ~AlsaOutput();

    // Plays `frames` frames from `data` on a thread of its own; `data` is read in place
    // and must stay until Finished() or destruction. False when the thread cannot start.
    bool Start(const char* data, std::size_t frames);
    // True once the buffer has been played, or ended early because the device went away.
    bool Finished() const noexcept { return finished_; }
    // Frames of the buffer the device has played.
    std::uint64_t Position() const noexcept;
    // Stops the player promptly; Finished() is true from then on.
    void Reset();

    struct Player;  // the PCM and the state of the thread that feeds it

private:
    explicit AlsaOutput(std::unique_ptr<Player> player);

    std::unique_ptr<Player> player_;
    std::thread thread_;
    std::size_t frames_ = 0;  // of the buffer playing
    std::atomic<bool> finished_{false};
};

}  // namespace wakelet
