#include "fake_waveout.h"

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>

namespace wakelet {

struct WaveOutDevice {
    WAVEHDR* queued = nullptr;
    bool reset = false;
    std::uint64_t writtenAt = 0;
    std::uint64_t doneAt = 0;
};

namespace {

FakeWaveOut fake;
std::set<WaveOutDevice*> devices;

// Far more calls than any test's cycles make: a cycle that never ends fails here, before
// its record fills memory.
constexpr std::size_t MaxCalls = 2000000;

MMRESULT Record(FakeCall::Kind kind, MMRESULT result, std::uint64_t value = 0) {
    if (fake.calls.size() >= MaxCalls)
        throw std::length_error("the fake's call log is full: a cycle that never ends");
    fake.calls.push_back({kind, fake.now, value, result});
    return result;
}

bool Known(HWAVEOUT device) {
    if (devices.count(device)) return true;
    ++fake.misuses;
    return false;
}

}  // namespace

FakeWaveOut& Fake() {
    return fake;
}

void ResetFakeWaveOut() {
    for (WaveOutDevice* device : devices) {
        // A driver that kept a header writes to it at last: it must still be there.
        if (device->queued != nullptr) device->queued->dwFlags |= WHDR_DONE;
        delete device;
    }
    devices.clear();
    fake = FakeWaveOut{};
}

MMRESULT waveOutOpen(HWAVEOUT* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags) {
    if (deviceId != WAVE_MAPPER || callback != 0 || instance != 0 || flags != CALLBACK_NULL) ++fake.misuses;
    fake.offered = WAVEFORMATEXTENSIBLE{};
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE)
        fake.offered = *reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
    else
        fake.offered.Format = *format;
    MMRESULT result = MMSYSERR_NOERROR;
    if (!fake.openResults.empty()) {
        result = fake.openResults.front();
        fake.openResults.pop_front();
    }
    if (result == MMSYSERR_NOERROR) {
        *device = new WaveOutDevice;
        devices.insert(*device);
        ++fake.openDevices;
    }
    return Record(FakeCall::Open, result, format->wFormatTag);
}

MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (!Known(device) || headerSize != sizeof(WAVEHDR))
        return Record(FakeCall::Prepare, MMSYSERR_INVALPARAM);
    header->dwFlags |= WHDR_PREPARED;
    return Record(FakeCall::Prepare, MMSYSERR_NOERROR);
}

MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (!Known(device) || headerSize != sizeof(WAVEHDR)) return Record(FakeCall::Write, MMSYSERR_INVALPARAM);
    if (!(header->dwFlags & WHDR_PREPARED)) {
        ++fake.misuses;
        return Record(FakeCall::Write, WAVERR_UNPREPARED, header->dwBufferLength);
    }
    std::uint64_t length =
        fake.playMs >= 0 ? static_cast<std::uint64_t>(fake.playMs)
                         : std::uint64_t{header->dwBufferLength} * 1000 / fake.offered.Format.nAvgBytesPerSec;
    device->queued = header;
    device->writtenAt = fake.now;
    device->doneAt = fake.now + length;
    fake.playedData = header->lpData;
    fake.playedBytes = header->dwBufferLength;
    return Record(FakeCall::Write, MMSYSERR_NOERROR, header->dwBufferLength);
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize) {
    if (!Known(device) || headerSize != sizeof(WAVEHDR))
        return Record(FakeCall::Unprepare, MMSYSERR_INVALPARAM);
    if (device->queued == header && fake.now < device->doneAt)
        return Record(FakeCall::Unprepare, WAVERR_STILLPLAYING);
    device->queued = nullptr;
    header->dwFlags &= ~WHDR_PREPARED;
    return Record(FakeCall::Unprepare, MMSYSERR_NOERROR);
}

MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT timeSize) {
    if (!Known(device) || timeSize != sizeof(MMTIME)) return Record(FakeCall::Position, MMSYSERR_INVALPARAM);
    if (!fake.positionKnown) return Record(FakeCall::Position, MMSYSERR_NOTSUPPORTED);
    std::uint64_t moved = device->queued ? std::min(fake.now, device->doneAt) - device->writtenAt : 0;
    if (device->queued && fake.movesMs >= 0) moved = std::min<std::uint64_t>(moved, fake.movesMs);
    moved -= moved % fake.stepMs;
    time->wType = TIME_BYTES;
    time->u.cb = static_cast<DWORD>(moved * fake.offered.Format.nAvgBytesPerSec / 1000);
    return Record(FakeCall::Position, MMSYSERR_NOERROR, time->u.cb);
}

MMRESULT waveOutReset(HWAVEOUT device) {
    if (!Known(device)) return Record(FakeCall::Reset, MMSYSERR_INVALHANDLE);
    device->reset = true;
    if (fake.resetKeeps) return Record(FakeCall::Reset, MMSYSERR_ERROR);
    device->doneAt = fake.now;
    return Record(FakeCall::Reset, MMSYSERR_NOERROR);
}

MMRESULT waveOutClose(HWAVEOUT device) {
    if (!Known(device)) return Record(FakeCall::Close, MMSYSERR_INVALHANDLE);
    // As winmm: a device that still holds a buffer stays open; closing one before a reset
    // has tried to take the buffer back is the caller's mistake.
    if (device->queued != nullptr && fake.now < device->doneAt) {
        if (!device->reset) ++fake.misuses;
        return Record(FakeCall::Close, WAVERR_STILLPLAYING);
    }
    devices.erase(device);
    delete device;
    --fake.openDevices;
    return Record(FakeCall::Close, MMSYSERR_NOERROR);
}

void Sleep(DWORD milliseconds) {
    Record(FakeCall::Sleep, 0, milliseconds);
    fake.now += milliseconds + fake.lateMs;
    if (fake.onSleep) fake.onSleep();
}

DWORD GetTickCount() {
    return static_cast<DWORD>(fake.now);
}

std::string DescribeCalls(const std::vector<FakeCall>& calls) {
    static const char* const names[] = {"open",  "prepare", "write", "unprepare",
                                        "close", "sleep",   "",      "reset"};
    std::string text;
    for (const FakeCall& call : calls) {
        if (call.kind == FakeCall::Position) continue;
        if (!text.empty()) text += ' ';
        text += names[call.kind];
        if (call.kind == FakeCall::Sleep)
            text += "(" + std::to_string(call.value) + ")";
        else if (call.kind == FakeCall::Open && call.value != WAVE_FORMAT_PCM)
            text += call.value == WAVE_FORMAT_EXTENSIBLE ? "(extensible)"
                                                         : "(" + std::to_string(call.value) + ")";
        if (call.kind == FakeCall::Open || call.kind == FakeCall::Unprepare ||
            (call.kind == FakeCall::Close && call.result != MMSYSERR_NOERROR))
            text += "=" + std::to_string(call.result);
    }
    return text;
}

}  // namespace wakelet
