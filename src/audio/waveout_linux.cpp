// The wave-out calls on Linux. The default output is the sound server's default output
// when a PulseAudio or PipeWire server answers (through libpulse, which both speak), and
// ALSA's "default" PCM otherwise, which also reaches a server through ALSA's own plugins.
#include <cerrno>
#include <csignal>
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
    std::unique_ptr<PulseOutput> pulse;
    std::unique_ptr<AlsaOutput> alsa;
    unsigned frameBytes = 0;
    WAVEHDR* playing = nullptr;  // the header written and not yet unprepared

    // Not const: through libpulse, asking is what feeds the server and reads its clock.
    bool Finished() { return pulse ? pulse->Finished() : alsa->Finished(); }
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

    std::unique_ptr<WaveOutDevice> opened(new (std::nothrow) WaveOutDevice);
    if (!opened) return MMSYSERR_NOMEM;
    MMRESULT result = MMSYSERR_NOERROR;
    if (PulseOutput::Open(*format, &opened->pulse, &result) == PulseOutput::Reach::NoServer)
        result = AlsaOutput::Open(*format, &opened->alsa);
    if (result != MMSYSERR_NOERROR) return result;
    opened->frameBytes = format->nBlockAlign;
    *device = opened.release();
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

    if (device->pulse) {
        device->pulse->Start(header->lpData, header->dwBufferLength);
    } else if (!device->alsa->Start(header->lpData, header->dwBufferLength / device->frameBytes)) {
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
        if (!device->Finished()) return WAVERR_STILLPLAYING;
        device->playing = nullptr;
        header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    }
    header->dwFlags &= ~WHDR_PREPARED;
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

}  // namespace wakelet
