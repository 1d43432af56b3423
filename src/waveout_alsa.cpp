// The wave-out calls on Linux, on libasound's "default" PCM, so that playback follows
// the user's default output and goes through PipeWire or PulseAudio when they run.
//
// A written buffer plays on a thread of its own, fed with non-blocking writes straight
// from the caller's buffer. The thread sleeps until the device wants data; waveOutClose
// wakes it through an eventfd, so that closing stops playback promptly.
#include <alsa/asoundlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <csignal>
#include <ctime>
#include <memory>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "waveout.h"

namespace wakelet {

namespace {

constexpr int PollMs = 100;
// A deep buffer lets the player (and the sound server) sleep for long stretches.
constexpr unsigned LatencyUs = 2000000;
// How often a player with nothing to do checks that the device still moves.
constexpr int StallCheckMs = 1000;
// How long an open may take before the device counts as unusable.
constexpr std::chrono::seconds OpenTimeout{5};
// A device that takes no data and plays nothing for this long has gone away.
constexpr std::chrono::seconds StallLimit{5};

// Standard error belongs to the program's last-resort report alone.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

void PrepareProcess() {
    static std::once_flag once;
    std::call_once(once, [] {
        snd_lib_error_set_handler(SilentAlsaError);
        // A sound server that vanishes closes its socket under us: that must end the
        // buffer, not the process.
        std::signal(SIGPIPE, SIG_IGN);
    });
}

// libasound's negative errno codes, as wave-out results.
MMRESULT TranslateAlsaError(int error) {
    switch (-error) {
        case 0: return MMSYSERR_NOERROR;
        case ENOMEM: return MMSYSERR_NOMEM;
        case EINVAL: return WAVERR_BADFORMAT;
        case EBUSY:
        case EAGAIN: return 4;  // MMSYSERR_ALLOCATED
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ECONNREFUSED: return MMSYSERR_NODRIVER;
        default: return MMSYSERR_ERROR;
    }
}

bool AlsaFormat(const WAVEFORMATEX& format, snd_pcm_format_t* out) {
    if (format.wFormatTag != WAVE_FORMAT_PCM || format.nChannels == 0 || format.nSamplesPerSec == 0)
        return false;
    if (format.nBlockAlign != format.nChannels * format.wBitsPerSample / 8) return false;
    switch (format.wBitsPerSample) {
        case 8: *out = SND_PCM_FORMAT_U8; return true;
        case 16: *out = SND_PCM_FORMAT_S16_LE; return true;
        case 24: *out = SND_PCM_FORMAT_S24_3LE; return true;
        case 32: *out = SND_PCM_FORMAT_S32_LE; return true;
        default: return false;
    }
}

// Wakes the player out of any wait when the device is being closed.
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
    bool Raised() const { return raised; }
};

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
    MMRESULT result = MMSYSERR_ERROR;
};

std::shared_ptr<OpenAttempt> stuckOpen;  // touched by the calling thread only

// Waits for `attempt` up to OpenTimeout; true once it has finished.
bool AwaitOpen(OpenAttempt& attempt) {
    std::unique_lock<std::mutex> lock(attempt.mutex);
    return attempt.finished.wait_for(lock, OpenTimeout, [&] { return attempt.done; });
}

MMRESULT OpenDefaultPcm(snd_pcm_format_t alsaFormat, const WAVEFORMATEX& format, Pcm* out) {
    if (stuckOpen) {
        if (!AwaitOpen(*stuckOpen)) return MMSYSERR_ERROR;
        stuckOpen.reset();
    }
    auto attempt = std::make_shared<OpenAttempt>();
    unsigned channels = format.nChannels, rate = format.nSamplesPerSec;
    try {
        std::thread([attempt, alsaFormat, channels, rate] {
            snd_pcm_t* pcm = nullptr;
            MMRESULT result = MMSYSERR_NOERROR;
            int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
            if (error < 0) {
                pcm = nullptr;
                result = TranslateAlsaError(error);
            } else if (snd_pcm_set_params(pcm, alsaFormat, SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1,
                                          LatencyUs) < 0) {
                snd_pcm_close(pcm);
                pcm = nullptr;
                result = WAVERR_BADFORMAT;
            }
            std::lock_guard<std::mutex> lock(attempt->mutex);
            if (attempt->abandoned && pcm != nullptr) snd_pcm_close(pcm);
            attempt->pcm = attempt->abandoned ? nullptr : pcm;
            attempt->result = result;
            attempt->done = true;
            attempt->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return MMSYSERR_NOMEM;
    }
    if (!AwaitOpen(*attempt)) {
        std::lock_guard<std::mutex> lock(attempt->mutex);
        if (!attempt->done) {
            attempt->abandoned = true;
            stuckOpen = attempt;
            return MMSYSERR_ERROR;
        }
    }
    out->reset(attempt->pcm);
    return attempt->result;
}

}  // namespace

struct WaveOutDevice {
    Pcm pcm;
    unsigned frameBytes = 0;
    unsigned rate = 0;
    StopSignal stop;

    WAVEHDR* playing = nullptr;  // the header written and not yet unprepared
    std::thread player;
    std::atomic<bool> finished{false};

    ~WaveOutDevice() {
        if (player.joinable()) {
            stop.Raise();
            player.join();
        }
    }

    // Waits until the device wants data, an error shows, or `ms` pass. The player sleeps
    // here between the device's periods; false once the device is being closed.
    bool WaitForDevice(std::vector<pollfd>& fds, int ms) {
        snd_pcm_t* p = pcm.get();
        int count = snd_pcm_poll_descriptors(p, fds.data(), static_cast<unsigned>(fds.size() - 1));
        fds[static_cast<std::size_t>(count)] = {stop.fd, POLLIN, 0};
        if (poll(fds.data(), static_cast<nfds_t>(count + 1), ms) < 0 && errno != EINTR) return Pause(PollMs);
        if (stop.Raised()) return false;
        unsigned short revents = 0;
        snd_pcm_poll_descriptors_revents(p, fds.data(), static_cast<unsigned>(count), &revents);
        // An error the next write does not report would have the player spin; slow it down.
        if ((revents & (POLLERR | POLLHUP)) && snd_pcm_state(p) != SND_PCM_STATE_XRUN &&
            snd_pcm_state(p) != SND_PCM_STATE_SUSPENDED)
            return Pause(PollMs);
        return true;
    }

    // Waits `ms`; false once the device is being closed.
    bool Pause(int ms) {
        pollfd fd{stop.fd, POLLIN, 0};
        poll(&fd, 1, ms);
        return !stop.Raised();
    }

    // Underruns and suspends are mended in place; anything else means the device is gone.
    bool Recover(int error) {
        snd_pcm_t* p = pcm.get();
        if (error == -EINTR || error == -EAGAIN) return true;
        if (error == -EPIPE) return snd_pcm_prepare(p) == 0;
        if (error == -ESTRPIPE) {
            int result;
            while ((result = snd_pcm_resume(p)) == -EAGAIN)
                if (!Pause(PollMs)) return false;
            return result == 0 || snd_pcm_prepare(p) == 0;
        }
        return false;
    }

    void Play(const char* data, snd_pcm_uframes_t frames) {
        snd_pcm_t* p = pcm.get();
        int descriptors = snd_pcm_poll_descriptors_count(p);
        if (descriptors < 0) return;
        std::vector<pollfd> fds(static_cast<std::size_t>(descriptors) + 1);
        snd_pcm_uframes_t done = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        auto stalled = [&] { return std::chrono::steady_clock::now() - lastProgress > StallLimit; };

        while (done < frames && !stop.Raised()) {
            snd_pcm_sframes_t n = snd_pcm_writei(p, data + done * frameBytes, frames - done);
            if (n > 0) {
                done += static_cast<snd_pcm_uframes_t>(n);
                lastProgress = std::chrono::steady_clock::now();
            } else if (n == 0 || n == -EAGAIN) {
                if (!WaitForDevice(fds, StallCheckMs) || stalled()) return;
            } else if (!Recover(static_cast<int>(n))) {
                return;
            }
        }

        // Everything is queued. A buffer shorter than the start threshold has not started yet.
        if (snd_pcm_state(p) == SND_PCM_STATE_PREPARED) snd_pcm_start(p);
        snd_pcm_sframes_t lastDelay = -1;
        while (!stop.Raised()) {
            snd_pcm_sframes_t delay = 0;
            int error = snd_pcm_delay(p, &delay);
            if (error == -EPIPE) {
                delay = 0;  // ran dry: all of it has been played
            } else if (error < 0) {
                if (!Recover(error)) return;
                continue;
            }
            if (delay <= 0) {
                // Plugins may still hold frames the device has already counted as played
                // (a file plugin writes its file lazily): let them finish. Nothing is left
                // to play, so this does not block for long.
                snd_pcm_nonblock(p, 0);
                snd_pcm_drain(p);
                return;
            }
            if (delay != lastDelay) {
                lastDelay = delay;
                lastProgress = std::chrono::steady_clock::now();
            } else if (stalled()) {
                return;
            }
            long ms = static_cast<long>(delay * 1000 / rate) + 1;
            if (!Pause(static_cast<int>(ms < StallCheckMs ? ms : StallCheckMs))) return;
        }
    }
};

MMRESULT waveOutOpen(HWAVEOUT* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR,
                     DWORD_PTR, DWORD flags) {
    if (device == nullptr || format == nullptr) return MMSYSERR_INVALPARAM;
    *device = nullptr;
    if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
    if (flags != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
    snd_pcm_format_t alsaFormat;
    if (!AlsaFormat(*format, &alsaFormat)) return WAVERR_BADFORMAT;

    PrepareProcess();
    Pcm pcm;
    MMRESULT result = OpenDefaultPcm(alsaFormat, *format, &pcm);
    if (result != MMSYSERR_NOERROR) return result;

    auto* opened = new (std::nothrow) WaveOutDevice;
    if (opened == nullptr) return MMSYSERR_NOMEM;
    if (opened->stop.fd < 0) {
        delete opened;
        return MMSYSERR_NOMEM;
    }
    opened->pcm = std::move(pcm);
    opened->frameBytes = format->nBlockAlign;
    opened->rate = format->nSamplesPerSec;
    *device = opened;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    header->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (device->playing != nullptr) return WAVERR_STILLPLAYING;  // one buffer at a time

    const char* data = header->lpData;
    snd_pcm_uframes_t frames = header->dwBufferLength / device->frameBytes;
    device->finished = false;
    try {
        device->player = std::thread([device, data, frames] {
            device->Play(data, frames);
            device->finished = true;
        });
    } catch (const std::system_error&) {
        return MMSYSERR_NOMEM;
    }
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    device->playing = header;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    if (device->playing == header) {
        if (!device->finished) return WAVERR_STILLPLAYING;
        device->player.join();
        device->playing = nullptr;
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    }
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    delete device;  // stops the player, then drops and closes the PCM
    return MMSYSERR_NOERROR;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

}  // namespace wakelet
