// The ALSA route: a written buffer plays on a thread of its own, fed with non-blocking
// writes straight from the caller's buffer.
//
// The player never trusts a wake-up to mean the device wants data: it reads how much room
// the device has and, when that is less than a period, sleeps for the time the device
// needs to make room. Progress is what the device plays, not what it accepts: a plugin on
// a dead server keeps taking writes after each underrun recovery, so only room that opens
// up by itself counts. A device that stops playing holds the player in its waits until
// the output is reset or closed.
//
// A sound server's plugin can wait on its server with no bound, in a call that non-blocking
// mode does not cover (its stop, its drain, its readying of a stream). So every call into
// the PCM runs on a thread other than the caller's, and the caller waits for it only so
// long: a call that does not come back in time is given up, and the output counts as lost.
#include "audio/alsa_output.h"

#include <alsa/asoundlib.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "audio/limits.h"

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

// Standard error belongs to the program's last-resort report alone: libasound reports
// nothing there, from the first call that could.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}
std::once_flag silenced;
void SilenceAlsa() {
    std::call_once(silenced, [] { snd_lib_error_set_handler(SilentAlsaError); });
}

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

struct ErrandState {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;

    bool Await(Clock::duration limit) {
        std::unique_lock<std::mutex> lock(mutex);
        return ended.wait_for(lock, limit, [&] { return done; });
    }
};

// The last work given up, if it has not ended since. The next open waits a moment for it
// and opens nothing while it is still stuck, so that one device that never lets go costs
// one thread, not one a cycle. Touched by the calling thread only.
std::shared_ptr<ErrandState> stuck;

bool NothingStuck() {
    if (stuck && !stuck->Await(ReturnLimit)) return false;
    stuck.reset();
    return true;
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

// Work on a thread of its own, awaited for a bounded time. Work that does not end in time
// is given up: its thread goes on alone with what the work holds, and frees it if it ever
// ends.
class AlsaOutput::Errand {
public:
    Errand() = default;
    Errand(const Errand&) = delete;
    Errand& operator=(const Errand&) = delete;
    ~Errand() {
        if (!Await(ReturnLimit)) GiveUp();
    }

    // False when no thread can be had. The name (at most 15 bytes) tells the thread apart
    // from the threads a sound server's plugin starts, in top -H and the like.
    bool Start(const char* name, std::function<void()> work) {
        try {
            thread_ = std::thread([state = state_, name, work = std::move(work)]() mutable {
                pthread_setname_np(pthread_self(), name);
                work();
                work = nullptr;  // what it held goes before its end is told
                std::lock_guard<std::mutex> lock(state->mutex);
                state->done = true;
                state->ended.notify_all();
            });
        } catch (const std::system_error&) {
            return false;
        }
        return true;
    }
    bool Done() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->done;
    }
    // True once the work has ended, within `limit`; its thread is then joined.
    bool Await(Clock::duration limit) {
        if (!thread_.joinable()) return true;
        if (!state_->Await(limit)) return false;
        thread_.join();
        return true;
    }
    void GiveUp() {
        if (!thread_.joinable()) return;
        thread_.detach();
        stuck = state_;
    }

private:
    std::shared_ptr<ErrandState> state_ = std::make_shared<ErrandState>();
    std::thread thread_;
};

struct AlsaOutput::Player {
    Pcm pcm;
    unsigned frameBytes = 0;
    unsigned rate = 0;
    snd_pcm_uframes_t bufferFrames = 0;
    snd_pcm_uframes_t periodFrames = 0;
    StopSignal stop;
    int openError = -ETIMEDOUT;

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

    // libasound's error code, 0 once the default PCM is open in the format and, for a
    // sound server's plugin, has shown by `deadline` that it plays. Whatever failed is
    // closed here, on the opening thread.
    int Open(snd_pcm_format_t format, unsigned channels, Clock::time_point deadline) {
        snd_pcm_t* opened = nullptr;
        int error = snd_pcm_open(&opened, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
        if (error < 0) return error;
        pcm.reset(opened);
        error =
            snd_pcm_set_params(opened, format, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1, LatencyUs);
        if (error == 0) error = snd_pcm_get_params(opened, &bufferFrames, &periodFrames);
        if (error == 0 && (bufferFrames == 0 || periodFrames == 0)) error = -EINVAL;
        periodFrames = std::min(periodFrames, bufferFrames);
        if (error == 0 && snd_pcm_type(opened) == SND_PCM_TYPE_IOPLUG && !PlaysSilence(deadline))
            error = -ETIMEDOUT;
        if (error < 0) pcm.reset();
        return error;
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
            auto deadline = Clock::now() + ResumeLimit;
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
    // writes its file lazily, a sound server's plugin hands the server a latency's worth
    // ahead): let them out, without blocking on a device that stalls. A queue that ran dry
    // holds nothing more. A sound server's plugin is not drained, since its drain waits
    // with no bound should the server stop: what it still holds is its delay, which runs
    // out as the server plays. The delay is read once: PipeWire's plugin counts its
    // graph's latency into it afresh at every quantum, so it need never read 0.
    void Drain() {
        snd_pcm_t* p = pcm.get();
        if (snd_pcm_type(p) == SND_PCM_TYPE_IOPLUG) {
            snd_pcm_sframes_t delay = 0;
            if (snd_pcm_delay(p, &delay) == 0 && delay > 0)
                Pause(std::min(MillisecondsFor(static_cast<snd_pcm_uframes_t>(delay), rate),
                               static_cast<int>(DrainLimit.count())));
            return;
        }
        auto deadline = Clock::now() + DrainLimit;
        if (snd_pcm_drain(p) != -EAGAIN) return;
        while (snd_pcm_state(p) == SND_PCM_STATE_DRAINING && Clock::now() < deadline)
            if (!Pause(10)) return;
    }

    // A sound server's plugin can take a stream that nothing ever plays (PipeWire with no
    // session manager to link it). A moment of silence shows whether the server consumes
    // the stream; one that does not is no usable device. The silence is then dropped.
    bool PlaysSilence(Clock::time_point deadline) {
        snd_pcm_t* p = pcm.get();
        std::vector<char> silence(std::min<std::size_t>(bufferFrames, rate / 10) * frameBytes,
                                  frameBytes == 1 ? '\x80' : '\0');
        snd_pcm_uframes_t frames = silence.size() / frameBytes;
        if (snd_pcm_writei(p, silence.data(), frames) <= 0) return false;
        if (snd_pcm_state(p) == SND_PCM_STATE_PREPARED) snd_pcm_start(p);
        lastRoom = -1;
        Room();
        bool played = false;
        while (!played && Clock::now() < deadline) {
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
        snd_pcm_t* p = pcm.get();
        // An earlier buffer may have left the device running, draining or run dry.
        if (snd_pcm_state(p) != SND_PCM_STATE_PREPARED) {
            snd_pcm_drop(p);
            snd_pcm_prepare(p);
        }
        lastRoom = -1;
        recoveryPauseMs = 0;
        if (Queue(data, frames) && AwaitPlayed() == End::Played) Drain();
        // What a stopped buffer left in the device goes, and the PCM is ready for another.
        if (Stopped()) {
            snd_pcm_drop(p);
            snd_pcm_prepare(p);
        }
    }
};

MMRESULT AlsaOutput::Open(const WAVEFORMATEX& format, std::unique_ptr<Output>* out) {
    SilenceAlsa();

    snd_pcm_format_t alsaFormat;
    if (!AlsaFormat(format, &alsaFormat)) return WAVERR_BADFORMAT;
    if (!NothingStuck()) return TranslateAlsaError(-ETIMEDOUT);
    auto player = std::make_shared<Player>();
    if (player->stop.fd < 0) return TranslateAlsaError(-ENOMEM);
    player->frameBytes = format.nBlockAlign;
    player->rate = format.nSamplesPerSec;
    // A server that accepts the connection but never readies the stream (PipeWire without
    // its session manager does this) would leave its plugin waiting for good.
    auto deadline = Clock::now() + OpenLimit;
    unsigned channels = format.nChannels;
    Errand opening;
    if (!opening.Start("wakelet-open", [player, alsaFormat, channels, deadline] {
            player->openError = player->Open(alsaFormat, channels, deadline);
        }))
        return TranslateAlsaError(-ENOMEM);  // no thread to open it on
    if (!opening.Await(OpenLimit + ReturnLimit)) {
        opening.GiveUp();
        return TranslateAlsaError(-ETIMEDOUT);
    }
    if (player->openError < 0) return TranslateAlsaError(player->openError);
    out->reset(new AlsaOutput(std::move(player)));
    return MMSYSERR_NOERROR;
}

namespace {

// Whether the PCM `definition` (expanded, as snd_config_search_definition gives it) leads to
// a sound server: is a server's plugin, or wraps one (a `plug` that converts for it, say).
bool LeadsToAServer(snd_config_t* top, snd_config_t* definition, int depth = 0) {
    const char* type = nullptr;
    snd_config_t* node = nullptr;
    if (snd_config_search(definition, "type", &node) < 0 || snd_config_get_string(node, &type) < 0)
        return false;
    for (const char* plugin : {"pulse", "pipewire", "jack"})
        if (std::strcmp(type, plugin) == 0) return true;
    // A wrapper names its slave, or defines it in place.
    snd_config_t* slave = nullptr;
    if (depth >= 8 || snd_config_search(definition, "slave.pcm", &slave) < 0) return false;
    if (snd_config_get_type(slave) == SND_CONFIG_TYPE_COMPOUND) return LeadsToAServer(top, slave, depth + 1);
    const char* name = nullptr;
    snd_config_t* named = nullptr;
    if (snd_config_get_string(slave, &name) < 0 || snd_config_search_definition(top, "pcm", name, &named) < 0)
        return false;
    bool server = LeadsToAServer(top, named, depth + 1);
    snd_config_delete(named);
    return server;
}

// The definition comes expanded (aliases followed, arguments filled in), and is ours to delete.
bool DefaultLeadsToAServer(snd_config_t* top) {
    snd_config_t* definition = nullptr;
    if (snd_config_search_definition(top, "pcm", "default", &definition) < 0) return false;
    bool server = LeadsToAServer(top, definition);
    snd_config_delete(definition);
    return server;
}

}  // namespace

bool AlsaOutput::DefaultIsAServer() {
    SilenceAlsa();
    snd_config_t* top = nullptr;
    if (snd_config_update_ref(&top) < 0) return false;
    bool server = DefaultLeadsToAServer(top);
    snd_config_unref(top);
    return server;
}

bool AlsaOutput::MayOpenDefault(bool serverExpected) {
    return !serverExpected || DefaultIsAServer();
}

AlsaOutput::AlsaOutput(std::shared_ptr<Player> player) : player_(std::move(player)) {}

AlsaOutput::~AlsaOutput() {
    Reset();
    // A player given up holds the PCM, and closes it should it ever come back. Otherwise the
    // PCM is dropped and closed on a thread of its own too: a plugin may wait on its server.
    if (lost_) return;
    Errand closing;
    if (!closing.Start("wakelet-close", [player = std::move(player_)]() mutable { player.reset(); })) return;
    if (!closing.Await(ReturnLimit)) closing.GiveUp();
}

bool AlsaOutput::Start(const char* data, std::size_t bytes) {
    // The thread of an earlier buffer ends before another begins.
    Reset();
    if (lost_) return false;
    frames_ = bytes / player_->frameBytes;
    player_->played = 0;
    auto playing = std::make_unique<Errand>();
    if (!playing->Start("wakelet-play",
                        [player = player_, data, frames = frames_] { player->Play(data, frames); }))
        return false;
    playing_ = std::move(playing);
    return true;
}

bool AlsaOutput::Finished() {
    return lost_ || playing_ == nullptr || playing_->Done();
}

std::uint64_t AlsaOutput::Position() const {
    return std::min<std::uint64_t>(player_->played, frames_) * player_->frameBytes;
}

void AlsaOutput::Reset() {
    if (playing_ == nullptr) return;
    player_->stop.Raise();
    if (playing_->Await(ReturnLimit)) {
        player_->stop.Lower();
    } else {
        playing_->GiveUp();
        lost_ = true;
    }
    playing_.reset();
}

}  // namespace wakelet
