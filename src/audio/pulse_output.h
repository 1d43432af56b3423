// Playback through the user's sound server with libpulse, which PulseAudio and PipeWire's
// PulseAudio service both speak. Used whenever such a server answers, so that the tone
// goes to the server's default output even where ALSA's default is not routed to the
// server (opening ALSA's default there would take the sound card from the server).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/waveout.h"

struct pa_context;
struct pa_stream;
struct pa_mainloop;

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

    // Plays `bytes` bytes from `data`. Start and Finished copy it to the server a few
    // seconds ahead of the output; `data` must stay until Finished() or destruction.
    void Start(const char* data, std::size_t bytes);
    // Handles what the server has sent, feeds it, and says whether the buffer is done: its
    // last sample has reached the output by the stream's own clock, or the buffer ended
    // early because the server, the stream or its output went away or stopped playing. The
    // stream plays on only while this is called at least every three seconds or so.
    bool Finished();

private:
    PulseOutput();
    bool WaitReady(bool (*ready)(PulseOutput&), std::chrono::milliseconds timeout);
    void Feed(std::size_t writable);
    void AskForTiming();
    void Look();

    static void OnContextState(pa_context*, void* self);
    static void OnStreamState(pa_stream*, void* self);
    static void OnWritable(pa_stream*, std::size_t bytes, void* self);
    static void OnUnderflow(pa_stream*, void* self);
    static void OnTimingUpdate(pa_stream*, void* self);
    static void OnDrained(pa_stream*, int success, void* self);

    pa_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    bool timedOut_ = false;

    const char* data_ = nullptr;
    std::size_t bytes_ = 0;
    std::size_t written_ = 0;
    bool draining_ = false;
    bool asked_ = false;           // a timing report is on its way
    std::uint64_t duration_ = 0;   // of the buffer, in microseconds
    std::int64_t readIndex_ = -1;  // where the server last said it was reading
    bool allTaken_ = false;        // the server last said none of the buffer was left in its queue
    std::chrono::steady_clock::time_point lastSampleDue_;
    std::chrono::steady_clock::time_point lastProgress_;
    bool finished_ = false;
};

}  // namespace wakelet
