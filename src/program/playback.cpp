#include "program/playback.h"

#include "audio/waveout.h"
#include "console/console.h"
#include "program/settings.h"
#include "tone/tone_buffer.h"

namespace wakelet {

namespace {

constexpr DWORD FirstWaitMs = 500;
constexpr DWORD PollMs = 100;

// Closes the device on every way out of the cycle.
class DeviceCloser {
public:
    explicit DeviceCloser(HWAVEOUT device) : device_(device) {}
    ~DeviceCloser() { waveOutClose(device_); }
    DeviceCloser(const DeviceCloser&) = delete;
    DeviceCloser& operator=(const DeviceCloser&) = delete;
    HWAVEOUT get() const { return device_; }

private:
    HWAVEOUT device_;
};

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
    waveOutWrite(device.get(), &header, sizeof header);

    Sleep(FirstWaitMs);
    while (waveOutUnprepareHeader(device.get(), &header, sizeof header) == WAVERR_STILLPLAYING) Sleep(PollMs);
}

}  // namespace wakelet
