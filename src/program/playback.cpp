#include "program/playback.h"

#include "audio/waveout.h"
#include "console/console.h"
#include "program/settings.h"
#include "tone/tone_buffer.h"

namespace wakelet {

namespace {

constexpr DWORD FirstWaitMs = 500;
constexpr DWORD PollMs = 100;
// A device whose position stands still for this long, counted over the cycle's own sleeps,
// has stopped playing or gone away and may never hand the buffer back: it is reset, and
// the next cycle opens the default output again.
constexpr DWORD StallLimitMs = 5000;

// Closes the device on every way out of the cycle; a buffer that has not come back is
// taken back first, since winmm does not close a device that still plays.
class DeviceCloser {
public:
    explicit DeviceCloser(HWAVEOUT device) : device_(device) {}
    ~DeviceCloser() {
        if (queued_ != nullptr) {
            waveOutReset(device_);
            waveOutUnprepareHeader(device_, queued_, sizeof *queued_);
        }
        waveOutClose(device_);
    }
    DeviceCloser(const DeviceCloser&) = delete;
    DeviceCloser& operator=(const DeviceCloser&) = delete;
    HWAVEOUT get() const { return device_; }
    // The header the device holds until it hands it back (nullptr once it has).
    void Queued(WAVEHDR* header) { queued_ = header; }

private:
    HWAVEOUT device_;
    WAVEHDR* queued_ = nullptr;
};

bool SamePosition(const MMTIME& a, const MMTIME& b) {
    return a.wType == b.wType && a.u.cb == b.u.cb;
}

// Where the device is; a device that cannot say is taken to stand still, so that the
// wait still ends.
MMTIME Position(HWAVEOUT device, const MMTIME& last) {
    MMTIME time{};
    time.wType = TIME_BYTES;
    return waveOutGetPosition(device, &time, sizeof time) == MMSYSERR_NOERROR ? time : last;
}

// Sleeps, and returns how long that took. Sleeps run late on a busy machine, and that time
// counts; a sleep that ran later than one more poll was a process frozen for a while, and
// the freeze is no stall of the device, so it counts as one poll late.
DWORD SleepCounted(DWORD milliseconds) {
    DWORD started = GetTickCount();
    Sleep(milliseconds);
    DWORD slept = GetTickCount() - started;
    return slept < milliseconds + PollMs ? slept : milliseconds + PollMs;
}

// The default output for WaveFormat. A driver that refuses its plain description gets the
// same samples once more in the extensible one, which Windows' drivers expect for samples
// wider than 16 bits.
MMRESULT OpenDefaultOutput(HWAVEOUT* handle) {
    MMRESULT result = waveOutOpen(handle, WAVE_MAPPER, &WaveFormat, 0, 0, CALLBACK_NULL);
    if (result != WAVERR_BADFORMAT) return result;
    WAVEFORMATEXTENSIBLE extensible{};
    extensible.Format = WaveFormat;
    extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    extensible.Format.cbSize = 22;  // the fields after Format
    extensible.Samples.wValidBitsPerSample = WaveFormat.wBitsPerSample;
    extensible.dwChannelMask = SPEAKER_FRONT_CENTER;
    extensible.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return waveOutOpen(handle, WAVE_MAPPER, &extensible.Format, 0, 0, CALLBACK_NULL);
}

}  // namespace

void PlayCycle() {
    if (Samples.empty()) GenerateTone(10, CycleInterval, 0.1);
    if (Samples.empty()) {
        WriteLine("audio data error.");
        WriteLine("exiting application.");
        Running = false;
        return;
    }

    // Declared before the device, so it outlives the device's hold on it.
    WAVEHDR header{};
    HWAVEOUT handle{};
    if (OpenDefaultOutput(&handle) != MMSYSERR_NOERROR) {
        if (Verbose) WriteLine("no audio device found.");
        Sleep(CycleInterval);
        return;
    }
    DeviceCloser device(handle);
    if (Verbose) WriteLine("audio device found.");

    header.lpData = reinterpret_cast<LPSTR>(Samples.data());
    header.dwBufferLength = static_cast<DWORD>(Samples.size() * WaveFormat.nChannels * sizeof(Samples[0]));
    header.dwFlags = 0;
    waveOutPrepareHeader(device.get(), &header, sizeof header);
    device.Queued(&header);
    waveOutWrite(device.get(), &header, sizeof header);

    MMTIME last = Position(device.get(), MMTIME{});
    DWORD stillMs = SleepCounted(FirstWaitMs);  // slept since the position last moved
    while (waveOutUnprepareHeader(device.get(), &header, sizeof header) == WAVERR_STILLPLAYING) {
        MMTIME now = Position(device.get(), last);
        if (!SamePosition(now, last)) {
            last = now;
            stillMs = 0;
        } else if (stillMs >= StallLimitMs) {
            return;  // the closer resets the device, which hands the buffer back
        }
        stillMs += SleepCounted(PollMs);
    }
    device.Queued(nullptr);
}

}  // namespace wakelet
