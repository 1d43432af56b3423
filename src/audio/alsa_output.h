// Playback through libasound's "default" PCM: the route when no sound server answers, or
// when ALSA's default is the server's own plugin and the server speaks no PulseAudio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/output.h"
#include "audio/waveout.h"

namespace wakelet {

class AlsaOutput final : public Output {
public:
    // Opens ALSA's default PCM for `format`. MMSYSERR_NOERROR and an output only once the
    // device has taken the format and, for a sound server's plugin, shown that it plays,
    // within OpenLimit.
    static MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<Output>* out);
    // Whether ALSA's default PCM leads to a sound server (is its plugin, or wraps one)
    // rather than to a sound card, as the configuration says; nothing is opened to tell.
    static bool DefaultIsAServer();
    // Whether ALSA's default may be opened: where a sound server belongs here though none
    // answered, the card behind it is the server's, and the default is taken only where it
    // leads to a server of its own.
    static bool MayOpenDefault(bool serverExpected);

    ~AlsaOutput() override;

    // The buffer plays on a thread of its own; false when that thread cannot start or the
    // device has been given up.
    bool Start(const char* data, std::size_t bytes) override;
    bool Finished() override;
    std::uint64_t Position() const override;
    void Reset() override;

    struct Player;  // the PCM and the state of the thread that feeds it
    class Errand;   // a thread whose end is awaited for a bounded time

private:
    explicit AlsaOutput(std::shared_ptr<Player> player);
    void GiveUp();

    std::shared_ptr<Player> player_;  // shared with the thread that plays, which may outlive us
    std::unique_ptr<Errand> playing_;
    std::size_t frames_ = 0;  // of the buffer playing
    bool lost_ = false;       // a call into the device did not come back in time
};

}  // namespace wakelet
