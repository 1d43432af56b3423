// The Linux wave-out layer against a real default output: the sound-server tests run it
// against a private server's null sink, through libpulse and through ALSA's plugins.
#include <dirent.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "audio/waveout.h"

namespace wakelet {
namespace {

using Clock = std::chrono::steady_clock;

constexpr GUID FloatSubFormat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

constexpr WAVEFORMATEX ToneFormat = {WAVE_FORMAT_PCM, 1, 44100, 176400, 4, 32, 0};

// A header for the whole of `samples`, not yet prepared.
WAVEHDR HeaderFor(std::vector<std::int32_t>& samples) {
    WAVEHDR header{};
    header.lpData = reinterpret_cast<LPSTR>(samples.data());
    header.dwBufferLength = static_cast<DWORD>(samples.size() * 4);
    return header;
}

// One heap for every thread, from the start: a plugin's new thread would otherwise now and
// then get an arena of its own, or one another test grew, a step in resident memory that no
// round keeps.
const int oneHeap = mallopt(M_ARENA_MAX, 1);

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(AlsaLayer, OpensOnlyFormatsItCanPlay) {
    const struct {
        const char* what;
        WORD tag, channels, bits, align;
        MMRESULT expected;
        GUID subFormat = {};  // of an extensible description
    } rows[] = {
        {"32-bit mono PCM", WAVE_FORMAT_PCM, 1, 32, 4, MMSYSERR_NOERROR},
        {"16-bit stereo PCM", WAVE_FORMAT_PCM, 2, 16, 4, MMSYSERR_NOERROR},
        {"12-bit samples", WAVE_FORMAT_PCM, 1, 12, 2, WAVERR_BADFORMAT},
        {"floating-point tag", 3, 1, 32, 4, WAVERR_BADFORMAT},
        {"block size that does not fit", WAVE_FORMAT_PCM, 1, 32, 8, WAVERR_BADFORMAT},
        {"no channels", WAVE_FORMAT_PCM, 0, 32, 0, WAVERR_BADFORMAT},
        {"32-bit mono extensible PCM", WAVE_FORMAT_EXTENSIBLE, 1, 32, 4, MMSYSERR_NOERROR,
         KSDATAFORMAT_SUBTYPE_PCM},
        {"extensible floating point", WAVE_FORMAT_EXTENSIBLE, 1, 32, 4, WAVERR_BADFORMAT, FloatSubFormat},
    };
    for (const auto& row : rows) {
        WAVEFORMATEXTENSIBLE extensible{};
        extensible.Samples.wValidBitsPerSample = row.bits;
        extensible.dwChannelMask = SPEAKER_FRONT_CENTER;
        extensible.SubFormat = row.subFormat;
        WAVEFORMATEX& format = extensible.Format;
        format = ToneFormat;
        if (row.tag == WAVE_FORMAT_EXTENSIBLE) format.cbSize = 22;
        format.wFormatTag = row.tag;
        format.nChannels = row.channels;
        format.wBitsPerSample = row.bits;
        format.nBlockAlign = row.align;
        HWAVEOUT device = nullptr;
        EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), row.expected) << row.what;
        EXPECT_EQ(device != nullptr, row.expected == MMSYSERR_NOERROR) << row.what;
        if (device) {
            EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
        }
    }
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The buffer is done once it has played, not before and not much later; the player sleeps
// while it plays. Its last 0.2 s fall by one step a sample to one step above silence, so
// that the sound-server test can read off the sink's monitor how far it played: a buffer
// ended before it has played stops the fall short.
TEST(AlsaLayer, PlaysABufferInRealTimeAndCheaplyThenFreesIt) {
    std::vector<std::int32_t> samples(44100 * 3, 1000);
    for (int left = 1; left <= 8820; ++left) samples.end()[-left] = left * 65536;
    HWAVEOUT device = nullptr;
    ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &ToneFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
    WAVEHDR header = HeaderFor(samples);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof header), WAVERR_UNPREPARED);
    ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    auto start = Clock::now();
    double cpuBefore = CpuSeconds();
    ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_LT(SecondsSince(start), 0.1) << "the write waited for the device";
    MMRESULT result;
    while ((result = waveOutUnprepareHeader(device, &header, sizeof header)) == WAVERR_STILLPLAYING &&
           SecondsSince(start) < 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double played = SecondsSince(start);
    double cpu = CpuSeconds() - cpuBefore;
    EXPECT_EQ(result, MMSYSERR_NOERROR);
    EXPECT_GE(played, 2.8) << "three seconds of sound were done after " << played << " s";
    // A sound server adds its output's latency and the time it takes to tell; a layer that
    // missed the end would play on to the loop's 10 s.
    EXPECT_LE(played, 4.8) << "three seconds of sound were done after " << played << " s";
#ifdef __SANITIZE_ADDRESS__
    const double cpuLimit = 0.5;  // the sanitizer's own bookkeeping
#else
    const double cpuLimit = 0.15;
#endif
    EXPECT_LT(cpu, cpuLimit) << "playing three seconds took " << cpu << " s of CPU";
    EXPECT_FALSE(header.dwFlags & WHDR_PREPARED);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
}

// Polls as the cycle does until the position has moved, for up to 3 s; whether it did.
bool PositionMoves(HWAVEOUT device, WAVEHDR& header) {
    MMTIME first{}, now{};
    waveOutGetPosition(device, &first, sizeof first);
    for (auto start = Clock::now(); SecondsSince(start) < 3;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (waveOutUnprepareHeader(device, &header, sizeof header) != WAVERR_STILLPLAYING) return false;
        waveOutGetPosition(device, &now, sizeof now);
        if (now.wType == TIME_BYTES && now.u.cb != first.u.cb) return true;
    }
    return false;
}

// A reset hands the buffer back at once and leaves the device ready for another; a close
// stops a playing buffer as promptly.
TEST(AlsaLayer, ResetAndCloseStopAPlayingBufferPromptly) {
    std::vector<std::int32_t> samples(44100 * 60, 1000);  // a minute
    for (int round = 0; round < 3; ++round) {             // and the device is free again after each
        HWAVEOUT device = nullptr;
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &ToneFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
        WAVEHDR header = HeaderFor(samples);
        waveOutPrepareHeader(device, &header, sizeof header);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
        EXPECT_TRUE(PositionMoves(device, header)) << "round " << round;
        auto start = Clock::now();
        EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
        EXPECT_LT(SecondsSince(start), 0.3);
        EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
        EXPECT_TRUE(header.dwFlags & WHDR_DONE);

        waveOutPrepareHeader(device, &header, sizeof header);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
        EXPECT_TRUE(PositionMoves(device, header)) << "round " << round << ", after the reset";
        start = Clock::now();
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
        EXPECT_LT(SecondsSince(start), 0.3);
    }
}

// What the process holds: descriptors, threads and resident memory (KiB).
struct Holdings {
    int descriptors = 0, threads = 0;
    long residentKb = 0;
};

int Entries(const char* folder) {
    int count = -2;  // . and ..
    if (DIR* dir = opendir(folder)) {
        while (readdir(dir) != nullptr) ++count;
        closedir(dir);
    }
    return count;
}

Holdings Held() {
    Holdings held;
    held.descriptors = Entries("/proc/self/fd") - 1;  // less the one that reads the folder
    held.threads = Entries("/proc/self/task");
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) held.residentKb = std::stol(line.substr(6));
    return held;
}

// Every cycle opens and closes the device anew, for as long as the program runs: whatever
// a round keeps would pile up over the weeks. Rounds alternate between two buffers played
// to their end and one stopped by the close.
TEST(AlsaLayer, OpenWriteCloseRoundsHoldNothingAcrossRounds) {
    std::vector<std::int32_t> samples(44100 / 10, 1000);
    Holdings early;
    for (int round = 1; round <= 50; ++round) {
        HWAVEOUT device = nullptr;
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &ToneFormat, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR)
            << round;
        WAVEHDR header = HeaderFor(samples);
        // A buffer played to its end is followed by another on the same device.
        for (int write = 1; write <= (round % 2 == 0 ? 2 : 1); ++write) {
            waveOutPrepareHeader(device, &header, sizeof header);
            ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR) << round;
            auto start = Clock::now();
            do std::this_thread::sleep_for(std::chrono::milliseconds(20));
            while (round % 2 == 0 &&
                   waveOutUnprepareHeader(device, &header, sizeof header) == WAVERR_STILLPLAYING &&
                   SecondsSince(start) < 10);
            if (write == 2) {
                EXPECT_GE(SecondsSince(start), 0.09) << round << ": the second buffer did not play";
            }
        }
        ASSERT_EQ(waveOutClose(device), MMSYSERR_NOERROR) << round;
        if (round == 10) early = Held();  // after the libraries' one-time set-up
    }
    Holdings late = Held();
    EXPECT_EQ(late.descriptors, early.descriptors) << "descriptors kept over 40 rounds";
    EXPECT_EQ(late.threads, early.threads) << "threads kept over 40 rounds";
#ifndef __SANITIZE_ADDRESS__  // the sanitizer holds freed memory back on purpose
    EXPECT_LT(late.residentKb - early.residentKb, 1024) << "resident memory grew over 40 rounds (KiB)";
#endif
}

}  // namespace
}  // namespace wakelet
