// The ALSA route: a written buffer plays on a thread of its own, fed with non-blocking
// writes straight from the caller's buffer.
//
// The player never trusts a wake-up to mean the device wants data: it reads how much room
// the device has and, when that is less than a period, sleeps for the time the device
// needs to make room. Progress is what the device plays, not what it accepts: a plugin on
// a dead server keeps taking writes after each underrun recovery, so only room that opens
// up by itself counts. A device that stops playing holds the player in its waits until
// the output is reset or closed.
#include "audio/alsa_output.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "audio/output_limits.h"

namespace wakelet {

namespace {

using Clock = std::chrono::steady_clock;

// A deep buffer lets the player (and the sound server) sleep for long stretches.
constexpr unsigned LatencyUs = 2000000;
// The longest the player sleeps without looking at the device.
constexpr int LongestWaitMs = 1000;
// How often the end of a fully queued buffer is looked for.
constexpr int EndPollMs = 100;
// Repeated underruns with nothing played between them are spaced out, up to this.
constexpr int LongestRecoveryPauseMs = 1000;
// How long a suspended device may take to resume, and a played buffer to leave the
// plugins, before the player goes on without them.
constexpr std::chrono::seconds LongestResume{5};
constexpr std::chrono::seconds LongestDrain{5};

// Standard error belongs to the program's last-resort report alone.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

// libasound's negative errno codes, as wave-out results. A format ALSA cannot express
// never gets this far: a refusal here (EINVAL, say) would refuse any description of it.
MMRESULT TranslateAlsaError(int error) {
    switch (-error) {
        case 0: return MMSYSERR_NOERROR;
        case ENOMEM: return MMSYSERR_NOMEM;
        case EBUSY:
        case EAGAIN: return MMSYSERR_ALLOCATED;
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ECONNREFUSED: return MMSYSERR_NODRIVER;
        default: return MMSYSERR_ERROR;
    }
}

// The sample layout of a format waveOutOpen has already checked.
bool AlsaFormat(const WAVEFORMATEX& format, snd_pcm_format_t* out) {
    switch (format.wBitsPerSample) {
        case 8: *out = SND_PCM_FORMAT_U8; return true;
        case 16: *out = SND_PCM_FORMAT_S16_LE; return true;
        case 24: *out = SND_PCM_FORMAT_S24_3LE; return true;
        case 32: *out = SND_PCM_FORMAT_S32_LE; return true;
        default: return false;
    }
}

struct PcmCloser {
    void operator()(snd_pcm_t* pcm) const {
        snd_pcm_drop(pcm);
        snd_pcm_close(pcm);
    }
};
using Pcm = std::unique_ptr<snd_pcm_t, PcmCloser>;

// Opening the default PCM and setting its format. A sound server that accepts the
// connection but never readies the stream (PipeWire without its session manager does
// this) would leave a plugin waiting forever, so the open runs on a thread of its own and
// is given up after OpenTimeout. A given-up attempt is waited for again by the next open
// instead of starting another, so at most one can be stuck at a time; should it ever
// finish, it closes what it opened.
struct OpenAttempt {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    snd_pcm_t* pcm = nullptr;
    int error = -ETIMEDOUT;
};

std::shared_ptr<OpenAttempt> stuckOpen;  // touched by the opening thread only

bool AwaitOpen(OpenAttempt& attempt) {
    std::unique_lock<std::mutex> lock(attempt.mutex);
    return attempt.finished.wait_for(lock, OpenTimeout, [&] { return attempt.done; });
}

// libasound's error code, 0 once the PCM is open in the format.
int OpenDefaultPcm(snd_pcm_format_t alsaFormat, unsigned channels, unsigned rate, Pcm* out) {
    if (stuckOpen) {
        if (!AwaitOpen(*stuckOpen)) return -ETIMEDOUT;
        stuckOpen.reset();
    }
    auto attempt = std::make_shared<OpenAttempt>();
    try {
        std::thread([attempt, alsaFormat, channels, rate] {
            snd_pcm_t* pcm = nullptr;
            int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
            if (error < 0) {
                pcm = nullptr;
            } else if ((error = snd_pcm_set_params(pcm, alsaFormat, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                                   rate, 1, LatencyUs)) < 0) {
                snd_pcm_close(pcm);
                pcm = nullptr;
            }
            std::lock_guard<std::mutex> lock(attempt->mutex);
            if (attempt->abandoned && pcm != nullptr) snd_pcm_close(pcm);
            attempt->pcm = attempt->abandoned ? nullptr : pcm;
            attempt->error = error;
            attempt->done = true;
            attempt->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return -ENOMEM;  // no thread to open it on
    }
    if (!AwaitOpen(*attempt)) {
        std::lock_guard<std::mutex> lock(attempt->mutex);
        if (!attempt->done) {
            attempt->abandoned = true;
            stuckOpen = attempt;
            return -ETIMEDOUT;
        }
    }
    out->reset(attempt->pcm);
    return attempt->error;
}

// Wakes the player out of any wait when the output is being closed.
struct StopSignal {
    int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::atomic<bool> raised{false};

    StopSignal() = default;
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;
    ~StopSignal() {
        if (fd >= 0) close(fd);
    }
    void Raise() {
        raised = true;
        std::uint64_t one = 1;
        if (write(fd, &one, sizeof one) < 0) {
            // The flag alone still stops the player at its next wake-up.
        }
    }
    // Once the player has ended: the next one starts unstopped.
    void Lower() {
        std::uint64_t count;
        if (read(fd, &count, sizeof count) < 0) {
            // Nothing was raised.
        }
        raised = false;
    }
};

int MillisecondsFor(snd_pcm_uframes_t frames, unsigned rate) {
    auto ms = static_cast<long long>(frames) * 1000 / rate + 1;
    return static_cast<int>(std::min<long long>(ms, LongestWaitMs));
}

}  // namespace

struct AlsaOutput::Player {
    Pcm pcm;
    unsigned frameBytes = 0;
    unsigned rate = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    StopSignal stop;

    // Room in the device's buffer when the player last looked; -1 when unknown (just
    // opened or recovered), so that the next look sets it without counting as progress.
    snd_pcm_sframes_t lastRoom = -1;
    // Frames of the buffer played: the room that opened up by itself.
    std::atomic<std::uint64_t> played{0};
    int recoveryPauseMs = 0;

    bool Stopped() const { return stop.raised; }

    // Sleeps up to `ms`, or until the output is closed; false once it is.
    bool Pause(int ms) {
        pollfd fd{stop.fd, POLLIN, 0};
        poll(&fd, 1, ms);
        return !Stopped();
    }

    // Room the device has now, or a negative error. Room that opened up since the last
    // look is what the device has played: that is progress.
    snd_pcm_sframes_t Room() {
        snd_pcm_sframes_t room = snd_pcm_avail_update(pcm.get());
        if (room < 0) return room;
        if (lastRoom >= 0 && room > lastRoom) {
            played += static_cast<std::uint64_t>(room - lastRoom);
            recoveryPauseMs = 0;
        }
        lastRoom = room;
        return room;
    }

    // Underruns and suspends are mended in place; anything else means the device is gone.
    // Underruns that come back with nothing played between them are spaced out, so that a
    // device that only fails costs neither CPU nor the memory each restart queues.
    bool Recover(int error) {
        snd_pcm_t* p = pcm.get();
        lastRoom = -1;
        if (error == -EINTR || error == -EAGAIN) return true;
        if (recoveryPauseMs > 0 && !Pause(recoveryPauseMs)) return false;
        recoveryPauseMs = std::min(std::max(2 * recoveryPauseMs, 20), LongestRecoveryPauseMs);
        if (error == -EPIPE) return snd_pcm_prepare(p) == 0;
        if (error == -ESTRPIPE) {
            auto deadline = Clock::now() + LongestResume;
            int result;
            while ((result = snd_pcm_resume(p)) == -EAGAIN && Clock::now() < deadline)
                if (!Pause(100)) return false;
            return result == 0 || snd_pcm_prepare(p) == 0;
        }
        return false;
    }

    // Queues all of the buffer; false when the buffer ended early.
    bool Queue(const char* data, snd_pcm_uframes_t frames) {
        snd_pcm_t* p = pcm.get();
        snd_pcm_uframes_t done = 0;
        while (done < frames) {
            if (Stopped()) return false;
            snd_pcm_sframes_t room = Room();
            if (room < 0) {
                if (!Recover(static_cast<int>(room))) return false;
                continue;
            }
            snd_pcm_uframes_t wanted = std::min(periodFrames, frames - done);
            if (static_cast<snd_pcm_uframes_t>(room) < wanted) {
                // A device that is not running makes no room by itself: start it.
                if (snd_pcm_state(p) == SND_PCM_STATE_PREPARED) snd_pcm_start(p);
                if (!Pause(MillisecondsFor(wanted - static_cast<snd_pcm_uframes_t>(room), rate)))
                    return false;
                continue;
            }
            snd_pcm_uframes_t chunk = std::min(static_cast<snd_pcm_uframes_t>(room), frames - done);
            snd_pcm_sframes_t n = snd_pcm_writei(p, data + done * frameBytes, chunk);
            if (n > 0) {
                done += static_cast<snd_pcm_uframes_t>(n);
                lastRoom -= std::min(lastRoom, static_cast<snd_pcm_sframes_t>(n));
            } else if (n == 0 || n == -EAGAIN) {
                if (!Pause(MillisecondsFor(wanted, rate))) return false;
            } else if (!Recover(static_cast<int>(n))) {
                return false;
            }
        }
        // A buffer shorter than the start threshold has not started yet.
        if (snd_pcm_state(p) == SND_PCM_STATE_PREPARED) snd_pcm_start(p);
        return true;
    }

    enum class End { Played, RanDry, Lost };

    // Waits until the device has played what is queued, from its own state: the queue
    // ran dry (an underrun after the last write is the end) or the room is the whole buffer.
    End AwaitPlayed() {
        snd_pcm_t* p = pcm.get();
        for (;;) {
            if (Stopped()) return End::Lost;
            snd_pcm_state_t state = snd_pcm_state(p);
            if (state == SND_PCM_STATE_XRUN || state == SND_PCM_STATE_SETUP) return End::RanDry;
            if (state == SND_PCM_STATE_DISCONNECTED) return End::Lost;
            snd_pcm_sframes_t room = Room();
            if (room == -EPIPE) return End::RanDry;
            if (room < 0) {
                if (!Recover(static_cast<int>(room))) return End::Lost;
                continue;
            }
            if (static_cast<snd_pcm_uframes_t>(room) >= bufferFrames) return End::Played;
            // Plugins report room in coarse steps, so the end is looked for at every poll
            // of the cycle's length rather than only when the room says it is due.
            int due = MillisecondsFor(bufferFrames - static_cast<snd_pcm_uframes_t>(room), rate);
            if (!Pause(std::min(due, EndPollMs))) return End::Lost;
        }
    }

    // Plugins may still hold frames the device has counted as played (a file plugin
    // writes its file lazily): let them out, without blocking on a device that stalls. A
    // queue that ran dry holds nothing more, and a server's plugin would wait out its own
    // output latency here.
    void Drain() {
        snd_pcm_t* p = pcm.get();
        if (snd_pcm_drain(p) != -EAGAIN) return;
        auto deadline = Clock::now() + LongestDrain;
        while (snd_pcm_state(p) == SND_PCM_STATE_DRAINING && Clock::now() < deadline)
            if (!Pause(10)) return;
    }

    // A sound server's plugin can take a stream that nothing ever plays (PipeWire with no
    // session manager to link it). A moment of silence shows whether the server consumes
    // the stream; one that does not is no usable device. The silence is then dropped.
    bool PlaysSilence(Clock::duration timeout) {
        snd_pcm_t* p = pcm.get();
        std::vector<char> silence(std::min<std::size_t>(bufferFrames, rate / 10) * frameBytes,
                                  frameBytes == 1 ? '\x80' : '\0');
        snd_pcm_uframes_t frames = silence.size() / frameBytes;
        if (snd_pcm_writei(p, silence.data(), frames) <= 0) return false;
        if (snd_pcm_state(p) == SND_PCM_STATE_PREPARED) snd_pcm_start(p);
        lastRoom = -1;
        Room();
        auto start = Clock::now();
        bool played = false;
        while (!played && Clock::now() - start < timeout) {
            if (!Pause(10)) break;
            snd_pcm_sframes_t room = snd_pcm_avail_update(p);
            played = room == -EPIPE || (room > lastRoom && lastRoom >= 0);
            if (room < 0 && room != -EPIPE) break;
        }
        snd_pcm_drop(p);
        lastRoom = -1;
        return played && snd_pcm_prepare(p) == 0;
    }

    void Play(const char* data, snd_pcm_uframes_t frames) {
        if (Queue(data, frames) && AwaitPlayed() == End::Played) Drain();
    }
};

MMRESULT AlsaOutput::Open(const WAVEFORMATEX& format, std::unique_ptr<AlsaOutput>* out) {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(SilentAlsaError); });

    snd_pcm_format_t alsaFormat;
    if (!AlsaFormat(format, &alsaFormat)) return WAVERR_BADFORMAT;
    auto player = std::make_unique<Player>();
    if (player->stop.fd < 0) return TranslateAlsaError(-ENOMEM);
    int error = OpenDefaultPcm(alsaFormat, format.nChannels, format.nSamplesPerSec, &player->pcm);
    if (error == 0)
        error = snd_pcm_get_params(player->pcm.get(), &player->bufferFrames, &player->periodFrames);
    if (error == 0 && (player->bufferFrames == 0 || player->periodFrames == 0)) error = -EINVAL;
    if (error < 0) return TranslateAlsaError(error);
    player->periodFrames = std::min(player->periodFrames, player->bufferFrames);
    player->frameBytes = format.nBlockAlign;
    player->rate = format.nSamplesPerSec;
    if (snd_pcm_type(player->pcm.get()) == SND_PCM_TYPE_IOPLUG && !player->PlaysSilence(OpenTimeout))
        return TranslateAlsaError(-ETIMEDOUT);
    out->reset(new AlsaOutput(std::move(player)));
    return MMSYSERR_NOERROR;
}

bool AlsaOutput::DefaultIsAServer() {
    snd_config_t* top = nullptr;
    if (snd_config_update_ref(&top) < 0) return false;
    // The definition comes expanded (aliases followed, arguments filled in); it is ours to
    // delete, and the tree's reference ours to drop.
    snd_config_t* definition = nullptr;
    const char* type = nullptr;
    bool server = false;
    if (snd_config_search_definition(top, "pcm", "default", &definition) >= 0) {
        snd_config_t* node = nullptr;
        if (snd_config_search(definition, "type", &node) >= 0 && snd_config_get_string(node, &type) >= 0)
            for (const char* plugin : {"pulse", "pipewire", "jack"})
                server = server || std::strcmp(type, plugin) == 0;
        snd_config_delete(definition);
    }
    snd_config_unref(top);
    return server;
}

AlsaOutput::AlsaOutput(std::unique_ptr<Player> player) : player_(std::move(player)) {}

AlsaOutput::~AlsaOutput() {
    if (thread_.joinable()) {
        player_->stop.Raise();
        thread_.join();
    }
}

bool AlsaOutput::Start(const char* data, std::size_t frames) {
    // The thread of an earlier buffer ends before another begins.
    if (thread_.joinable()) Reset();
    player_->played = 0;
    frames_ = frames;
    finished_ = false;
    try {
        thread_ = std::thread([this, data, frames] {
            player_->Play(data, frames);
            finished_ = true;
        });
    } catch (const std::exception&) {
        finished_ = true;
        return false;
    }
    return true;
}

std::uint64_t AlsaOutput::Position() const noexcept {
    return std::min<std::uint64_t>(player_->played, frames_);
}

void AlsaOutput::Reset() {
    if (thread_.joinable()) {
        player_->stop.Raise();
        thread_.join();
    }
    // What the device still holds goes, and the PCM is ready for another buffer.
    player_->stop.Lower();
    snd_pcm_drop(player_->pcm.get());
    snd_pcm_prepare(player_->pcm.get());
    player_->lastRoom = -1;
    player_->recoveryPauseMs = 0;
    finished_ = true;
}

}  // namespace wakelet
