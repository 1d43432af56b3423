// The wave-out seam: the few Windows multimedia calls the playback cycle makes,
// and Sleep and GetTickCount. Each binary links exactly one implementation of them:
//   - Windows: the system's own winmm and kernel32 (this header only re-exports them);
//   - Linux: waveout_linux.cpp, a layer of ours on libpulse and libasound;
//   - tests: tests/fake_waveout.cpp, which records every call and runs on a virtual clock.
//
// Contract, as the playback cycle relies on it. All calls come from one thread, and none
// throws: a resource that cannot be had is a result code.
//   waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL)
//       Opens the system's default output for `format`, and returns within a few seconds.
//       MMSYSERR_NOERROR and a handle only when a device has accepted the format; any other
//       code means no usable device. The format record is read during the call only.
//       WAVERR_BADFORMAT says that the device refused the format's description, and nothing
//       else: the caller may then describe the same samples as a WAVEFORMATEXTENSIBLE (tag
//       WAVE_FORMAT_EXTENSIBLE, cbSize 22, its valid bits, channel mask and subformat said
//       explicitly) and open once more.
//   waveOutPrepareHeader(device, &header, sizeof header)
//       Marks the header prepared (WHDR_PREPARED). The caller owns the header and the
//       buffer it points to.
//   waveOutWrite(device, &header, sizeof header)
//       Queues the buffer and returns at once; the device reads the buffer in place while
//       the caller sleeps. The header and the buffer must stay in place and unchanged until
//       waveOutUnprepareHeader has returned something other than WAVERR_STILLPLAYING. The
//       caller polls waveOutUnprepareHeader while it waits (every 100 ms); a device may need
//       those polls to go on playing.
//   waveOutGetPosition(device, &time, sizeof time)
//       How far the device has played since the write, in time.wType's unit: the caller
//       asks for TIME_BYTES, and a device that counts otherwise says which unit it gave. Any
//       code but MMSYSERR_NOERROR: the device cannot say. The position moves while the
//       device plays (back as well as forth) and stands still while it does not.
//   waveOutReset(device)
//       Stops playback and hands every queued buffer back, so that waveOutUnprepareHeader
//       frees it; a device that has gone away may fail and keep the buffer queued.
//   waveOutUnprepareHeader(device, &header, sizeof header)
//       WAVERR_STILLPLAYING while the device has not finished with the buffer; any other
//       code means the buffer is free again (played, ended early because the device went
//       away, or handed back by waveOutReset). Nothing promises that a device which stops
//       playing ever finishes: the caller watches the position, and resets a device that
//       stands still for too long.
//   waveOutClose(device)
//       Frees the handle and everything the device held. It may refuse while a buffer is
//       still queued (WAVERR_STILLPLAYING, the device stays open): a header the device has
//       not handed back may still be written to afterwards, for as long as the process lives.
//   Sleep(ms)
//       Suspends the calling thread for ms milliseconds, or longer on a busy machine.
//   GetTickCount()
//       Milliseconds on a clock that only moves forward, wrapping at 2^32: only the
//       difference of two readings means anything.
#pragma once

#ifdef _WIN32

// mmsystem.h needs windows.h's types first; mmreg.h adds the extensible record.
// KSDATAFORMAT_SUBTYPE_PCM comes from the static library ksguid.
// clang-format off
#include <windows.h>
#include <mmsystem.h>
#include <mmreg.h>
// clang-format on

namespace wakelet {
using ::DWORD;
using ::GUID;
using ::HWAVEOUT;
using ::LPSTR;
using ::MMRESULT;
using ::MMTIME;
using ::UINT;
using ::WAVEFORMATEX;
using ::WAVEFORMATEXTENSIBLE;
using ::WAVEHDR;
using ::WORD;
}  // namespace wakelet

#else

#include <cstdint>

namespace wakelet {

using UINT = unsigned int;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using DWORD_PTR = std::uintptr_t;
using LPSTR = char*;
using MMRESULT = UINT;

// Field for field the records winmm publishes.
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    unsigned char Data4[8];
};

// Format, and after it the fields its cbSize counts (22 bytes in winmm's packed layout).
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;
    DWORD_PTR reserved;
};

// The one unit of MMTIME the layers here count in; the cycle compares whole records.
struct MMTIME {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
    } u;
};

struct WaveOutDevice;  // defined by each implementation
using HWAVEOUT = WaveOutDevice*;

constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);
constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr DWORD SPEAKER_FRONT_CENTER = 0x4;
constexpr GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr DWORD CALLBACK_NULL = 0;
constexpr UINT TIME_BYTES = 0x4;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr DWORD WHDR_DONE = 0x01;
constexpr DWORD WHDR_PREPARED = 0x02;
constexpr DWORD WHDR_INQUEUE = 0x10;

MMRESULT waveOutOpen(HWAVEOUT* device, UINT deviceId, const WAVEFORMATEX* format, DWORD_PTR callback,
                     DWORD_PTR instance, DWORD flags);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize);
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT headerSize);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT headerSize);
MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT timeSize);
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutClose(HWAVEOUT device);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();

}  // namespace wakelet

#endif
