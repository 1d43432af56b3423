// The wave-out calls on Linux. The default output is the sound server's default output
// when a PulseAudio or PipeWire server answers (through libpulse, which both speak), and
// ALSA's "default" PCM otherwise, which also reaches a server through ALSA's own plugins.
//
// Both routes count in bytes and stop playing when they are closed, a buffer still queued or
// not: waveOutClose always closes, and touches the header no more. A buffer ends once its
// last sample has reached the output, which the cycle, polling every 100 ms, sees within
// about 100 ms. Through a sound server the layer hands the server a few seconds ahead at a
// time, when it is polled: a caller that stops polling for more than about three seconds
// lets the stream run dry. An open returns within OpenLimit (see limits.h), counting an
// output that takes a stream but does not start playing it in that time as no device.
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>

#include "audio/alsa_output.h"
#include "audio/pulse_output.h"
#include "audio/waveout.h"

namespace wakelet {

struct WaveOutDevice {
    std::unique_ptr<Output> output;
    WAVEHDR* playing = nullptr;  // the header written and not yet unprepared
};

namespace {

bool IsPcm(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_PCM) return true;
    if (format.wFormatTag != WAVE_FORMAT_EXTENSIBLE || format.cbSize < 22) return false;
    const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
    return extensible.Samples.wValidBitsPerSample == format.wBitsPerSample &&
           std::memcmp(&extensible.SubFormat, &KSDATAFORMAT_SUBTYPE_PCM, sizeof(GUID)) == 0;
}

}  // namespace

MMRESULT waveOutOpen(HWAVEOUT* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR, DWORD_PTR,
                     DWORD flags) {
    if (device == nullptr || format == nullptr) return MMSYSERR_INVALPARAM;
    *device = nullptr;
    if (deviceId != WAVE_MAPPER && deviceId != 0) return MMSYSERR_BADDEVICEID;
    if (flags != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
    // PCM whose block is one sample of each channel, described plainly or as extensible PCM
    // whose samples use all their bits; the outputs map its sample size.
    if (!IsPcm(*format) || format->nChannels == 0 || format->nSamplesPerSec == 0 ||
        format->nBlockAlign != format->nChannels * format->wBitsPerSample / 8)
        return WAVERR_BADFORMAT;

    // A sound server that vanishes closes its socket under us: that must end the buffer,
    // not the process.
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });

    try {
        auto opened = std::make_unique<WaveOutDevice>();
        MMRESULT result = PulseOutput::Open(*format, &opened->output);
        if (result == MMSYSERR_NODRIVER) {
            // No PulseAudio service answers. Where a server belongs here all the same, it is
            // away for the moment or speaks only its own protocol (PipeWire without its
            // PulseAudio service), and the sound card behind it is left to it.
            if (!AlsaOutput::MayOpenDefault(PulseOutput::ServerExpected())) return MMSYSERR_NODRIVER;
            result = AlsaOutput::Open(*format, &opened->output);
        }
        if (result != MMSYSERR_NOERROR) return result;
        *device = opened.release();
        return MMSYSERR_NOERROR;
    } catch (const std::bad_alloc&) {
        return MMSYSERR_NOMEM;
    } catch (const std::exception&) {
        return MMSYSERR_ERROR;
    }
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

    if (!device->output->Start(header->lpData, header->dwBufferLength)) return MMSYSERR_NOMEM;
    header->dwFlags = (header->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    device->playing = header;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (header == nullptr || headerSize < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    if (device->playing == header) {
        if (!device->output->Finished()) return WAVERR_STILLPLAYING;
        device->playing = nullptr;
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    }
    header->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT timeSize) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (time == nullptr || timeSize < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
    // Bytes are what the layer counts in; a caller that asked for another unit sees so.
    time->wType = TIME_BYTES;
    time->u.cb = device->playing ? static_cast<DWORD>(device->output->Position()) : 0;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    if (device->playing != nullptr) {
        device->output->Reset();
        device->playing->dwFlags = (device->playing->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
        device->playing = nullptr;
    }
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT device) {
    if (device == nullptr) return MMSYSERR_INVALHANDLE;
    delete device;  // stops whatever still plays, then closes the output
    return MMSYSERR_NOERROR;
}

void Sleep(DWORD milliseconds) {
    timespec left{static_cast<time_t>(milliseconds / 1000),
                  static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
}

DWORD GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<std::uint64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
}

}  // namespace wakelet
