#include "program/playback.h"

#include <cstdint>
#include <utility>

#include "audio/limits.h"
#include "audio/waveout.h"
#include "console/console.h"
#include "program/settings.h"
#include "tone/tone_buffer.h"

namespace wakelet {

namespace {

constexpr DWORD FirstWaitMs = 500;
constexpr DWORD PollMs = 100;

// The cycle's headers. A driver that still holds one after its device was reset and closed
// may write to it at any time, so such a header is kept, with the tone it points into, for
// as long as the process lives, and the next cycle takes another. Kept headers stay linked
// here, so that nothing loses sight of them.
struct HeaderSlot {
    WAVEHDR header;
    HeaderSlot* next;
};
HeaderSlot firstSlot{};
HeaderSlot* freeSlot = &firstSlot;
HeaderSlot* keptSlots = nullptr;

// Closes the device on every way out of the cycle. A buffer that has not come back is taken
// back first, since winmm closes no device that still plays; a driver that does not hand it
// back within ReturnLimit keeps its header, and the device is left to it.
class DeviceCloser {
public:
    explicit DeviceCloser(HWAVEOUT device) : device_(device) {}
    ~DeviceCloser() {
        bool held = false;
        if (queued_) {
            // Wine's driver whose sound server went fails the reset and keeps the buffer.
            waveOutReset(device_);
            DWORD waited = 0;
            while ((held = waveOutUnprepareHeader(device_, &freeSlot->header, sizeof(WAVEHDR)) ==
                           WAVERR_STILLPLAYING) &&
                   waited < static_cast<DWORD>(ReturnLimit.count())) {
                Sleep(PollMs);
                waited += PollMs;
            }
        }
        waveOutClose(device_);
        if (held) {
            freeSlot->next = keptSlots;
            keptSlots = freeSlot;
            freeSlot = nullptr;
        }
    }
    DeviceCloser(const DeviceCloser&) = delete;
    DeviceCloser& operator=(const DeviceCloser&) = delete;
    HWAVEOUT get() const { return device_; }
    // Whether the device holds the header until it hands it back.
    void Queued(bool queued) { queued_ = queued; }

private:
    HWAVEOUT device_;
    bool queued_ = false;
};

// Where the device is; false when it cannot say.
bool Position(HWAVEOUT device, MMTIME* time) {
    *time = MMTIME{};
    time->wType = TIME_BYTES;
    return waveOutGetPosition(device, time, sizeof *time) == MMSYSERR_NOERROR;
}

bool SamePosition(const MMTIME& a, const MMTIME& b) {
    return a.wType == b.wType && a.u.cb == b.u.cb;
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

enum class Ended { Played, Stopped, PlayedNothing };

// Waits until the device hands the buffer back. A device whose position stands still for
// StallLimitMs has stopped playing or gone away and may never hand it back; one whose
// position cannot be read is not taken to stand still. Either way no buffer is waited for
// longer than its length and a margin: past that the device is reset.
Ended AwaitBuffer(HWAVEOUT device, WAVEHDR& header) {
    DWORD lengthMs =
        static_cast<DWORD>(std::uint64_t{header.dwBufferLength} * 1000 / WaveFormat.nAvgBytesPerSec);
    DWORD boundMs = lengthMs + lengthMs / 10 + CycleMarginMs;
    MMTIME last{};
    bool known = Position(device, &last);
    bool played = known && last.u.cb != 0;
    DWORD stillMs = SleepCounted(FirstWaitMs);  // slept since the position last moved
    DWORD waitedMs = stillMs;
    while (waveOutUnprepareHeader(device, &header, sizeof header) == WAVERR_STILLPLAYING) {
        MMTIME now;
        bool readable = Position(device, &now);
        if (!readable || !known || !SamePosition(now, last)) {
            played = played || (readable && now.u.cb != 0);
            known = readable;
            last = now;
            stillMs = 0;
        } else if (stillMs >= StallLimitMs) {
            return played ? Ended::Stopped : Ended::PlayedNothing;
        }
        if (waitedMs >= boundMs) return played ? Ended::Stopped : Ended::PlayedNothing;
        DWORD slept = SleepCounted(PollMs);
        stillMs += slept;
        waitedMs += slept;
    }
    return Ended::Played;
}

void NoDevice() {
    if (Verbose) WriteLine("no audio device found.");
    Sleep(CycleInterval);
}

// The default output for WaveFormat. A driver that refuses its plain description gets the
// same samples once more in the extensible one, which Windows' drivers expect for samples
// wider than 16 bits (Wine's PulseAudio driver takes them only so). Once a driver has taken
// the one it was offered second, later opens offer that one first: before refusing, the
// mapper tries every conversion it knows, opening the device for some, which costs a third
// of a second a cycle under Wine.
MMRESULT OpenDefaultOutput(HWAVEOUT* handle) {
    WAVEFORMATEXTENSIBLE extensible{};
    extensible.Format = WaveFormat;
    extensible.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    extensible.Format.cbSize = 22;  // the fields after Format
    extensible.Samples.wValidBitsPerSample = WaveFormat.wBitsPerSample;
    extensible.dwChannelMask = SPEAKER_FRONT_CENTER;
    extensible.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    const WAVEFORMATEX* offers[] = {&WaveFormat, &extensible.Format};
    if (OfferExtensibleFirst) std::swap(offers[0], offers[1]);
    MMRESULT result = waveOutOpen(handle, WAVE_MAPPER, offers[0], 0, 0, CALLBACK_NULL);
    if (result != WAVERR_BADFORMAT) return result;
    result = waveOutOpen(handle, WAVE_MAPPER, offers[1], 0, 0, CALLBACK_NULL);
    if (result == MMSYSERR_NOERROR) OfferExtensibleFirst = !OfferExtensibleFirst;
    return result;
}

}  // namespace

bool OfferExtensibleFirst = false;

void PlayCycle() {
    if (Samples.empty()) GenerateTone(10, CycleInterval, 0.1);
    if (Samples.empty()) {
        WriteLine("audio data error.");
        WriteLine("exiting application.");
        Running = false;
        return;
    }

    if (freeSlot == nullptr) freeSlot = new HeaderSlot{};
    HWAVEOUT handle{};
    if (OpenDefaultOutput(&handle) != MMSYSERR_NOERROR) return NoDevice();
    Ended ended;
    {
        DeviceCloser device(handle);
        if (Verbose) WriteLine("audio device found.");

        WAVEHDR& header = freeSlot->header;
        header = WAVEHDR{};
        header.lpData = reinterpret_cast<LPSTR>(Samples.data());
        header.dwBufferLength =
            static_cast<DWORD>(Samples.size() * WaveFormat.nChannels * sizeof(Samples[0]));
        header.dwFlags = 0;
        waveOutPrepareHeader(device.get(), &header, sizeof header);
        device.Queued(true);
        waveOutWrite(device.get(), &header, sizeof header);
        ended = AwaitBuffer(device.get(), header);
        // A buffer that stopped is handed back by the closer's reset.
        device.Queued(ended != Ended::Played);
    }
    // A device that took the buffer and played none of it is no device: it is tried again
    // only after a cycle's wait. One that stopped after playing has gone away, and the next
    // default output may play at once.
    if (ended == Ended::PlayedNothing) NoDevice();
}

}  // namespace wakelet
