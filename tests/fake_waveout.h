// The test double behind the wave-out seam: scripted open results and playing times, a
// record of every call, and a virtual clock that Sleep advances without sleeping and
// GetTickCount reads (unrecorded).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "audio/waveout.h"

namespace wakelet {

struct FakeCall {
    enum Kind { Open, Prepare, Write, Unprepare, Close, Sleep, Position, Reset } kind;
    std::uint64_t at;     // virtual time of the call, ms
    std::uint64_t value;  // Sleep: ms; Write: bytes; Open: the format tag; Position: bytes; others 0
    MMRESULT result;
};

struct FakeWaveOut {
    std::deque<MMRESULT> openResults;  // results of the coming opens; MMSYSERR_NOERROR after them
    std::int64_t playMs = -1;          // how long a written buffer plays; -1: its length at the format's rate
    std::int64_t movesMs = -1;         // how long its position moves; -1: as long as it plays
    std::uint64_t stepMs = 1;          // the position moves in steps this far apart
    std::uint64_t lateMs = 0;          // how much longer than asked each Sleep lasts
    bool positionKnown = true;         // false: the device cannot say where it is
    bool resetKeeps = false;           // a reset fails and leaves the buffer queued, for good
    std::function<void()> onSleep;     // runs after each Sleep has advanced the clock

    std::uint64_t now = 0;
    std::vector<FakeCall> calls;
    int openDevices = 0;
    int misuses = 0;  // calls the contract forbids: unknown handle, write of an unprepared header, ...
    const char* playedData = nullptr;
    DWORD playedBytes = 0;
    WAVEFORMATEXTENSIBLE offered{};  // the last open's format, its extension only when the tag says so
};

// The one fake, reset to its defaults by ResetFakeWaveOut().
FakeWaveOut& Fake();
void ResetFakeWaveOut();

// The calls as one line, e.g. "open=32 open(extensible)=0 prepare write sleep(500) unprepare=0 close";
// position calls are left out.
std::string DescribeCalls(const std::vector<FakeCall>& calls);

}  // namespace wakelet
