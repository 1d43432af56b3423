// Playback through the user's sound server with libpulse, which PulseAudio and PipeWire's
// PulseAudio service both speak. Used whenever such a server answers, so that the tone
// goes to the server's default output even where ALSA's default is not routed to the
// server (opening ALSA's default there would take the sound card from the server).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>

#include "audio/waveout.h"

struct timeval;
struct pa_context;
struct pa_mainloop_api;
struct pa_stream;
struct pa_threaded_mainloop;
struct pa_time_event;

namespace wakelet {

class PulseOutput {
public:
    enum class Reach { Connected, NoServer, Failed };

    // Connects to the user's sound server and opens a stream in `format` on its default
    // output. NoServer: nothing answers, and the caller may try another route. Failed: a
    // server answered but took no stream (no output, a refused format, or a stream that
    // never got ready); `error` says why.
    static Reach Open(const WAVEFORMATEX& format, std::unique_ptr<PulseOutput>* out, MMRESULT* error);

    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;
    // Ends the stream (the server drops what it still holds) and the connection.
    ~PulseOutput();

    // Plays `bytes` bytes from `data`, read in place by libpulse's own thread; `data` must
    // stay until Finished() or destruction.
    void Start(const char* data, std::size_t bytes);
    // True once the server has played the buffer, or the buffer ended early because the
    // server, the stream or its output went away or stopped playing.
    bool Finished() const noexcept { return finished_; }

private:
    PulseOutput();
    bool WaitReady(bool (*ready)(PulseOutput&), std::chrono::milliseconds timeout);
    void Feed(std::size_t writable);
    void Check();

    static void OnContextState(pa_context*, void* self);
    static void OnStreamState(pa_stream*, void* self);
    static void OnWritable(pa_stream*, std::size_t bytes, void* self);
    static void OnUnderflow(pa_stream*, void* self);
    static void OnTiming(pa_stream*, int success, void* self);
    static void OnDrained(pa_stream*, int success, void* self);
    static void OnCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self);

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    pa_time_event* check_ = nullptr;
    bool timedOut_ = false;

    // Touched on libpulse's thread, under its lock.
    const char* data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t written_ = 0;
    bool draining_ = false;
    std::chrono::steady_clock::time_point lastProgress_;
    std::chrono::steady_clock::duration allowance_{};

    std::atomic<bool> finished_{false};
};

}  // namespace wakelet
