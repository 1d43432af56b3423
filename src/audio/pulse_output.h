// Playback through the user's sound server with libpulse, which PulseAudio and PipeWire's
// PulseAudio service both speak. Used whenever such a server answers, so that the tone
// goes to the server's default output even where ALSA's default is not routed to the
// server (opening ALSA's default there would take the sound card from the server).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/output.h"
#include "audio/waveout.h"

struct pa_context;
struct pa_stream;
struct pa_mainloop;

namespace wakelet {

class PulseOutput final : public Output {
public:
    // Connects to the user's sound server and opens a stream in `format` on its default
    // output; MMSYSERR_NOERROR and an output only once the stream has started playing,
    // within OpenLimit. MMSYSERR_NODRIVER: no server answered, and the caller may try
    // another route (see ServerExpected); any other code: a server answered but cannot be
    // used now.
    static MMRESULT Open(const WAVEFORMATEX& format, std::unique_ptr<Output>* out);
    // Whether a sound server belongs here though none answered: a PulseAudio or PipeWire
    // socket is there but refuses, or a server answered an earlier open of this process.
    static bool ServerExpected();
    // Whether one of the sockets a server of this user would listen on, by the environment
    // that `getenv` reads, is there.
    using Environment = std::function<const char*(const char*)>;
    static bool ServerSocketThere(const Environment& getenv);

    // Ends the stream (the server drops what it still holds) and the connection.
    ~PulseOutput() override;

    // Start and Finished copy the buffer to the server a few seconds ahead of the output.
    bool Start(const char* data, std::size_t bytes) override;
    // Handles what the server has sent, feeds it, and says whether the buffer is done: its
    // last sample has reached the output by the stream's own clock, or the buffer ended
    // early because the server, the stream or its output went away. The stream plays on
    // only while this is called at least every three seconds or so.
    bool Finished() override;
    // Bytes of the buffer the server has read, as of its last report.
    std::uint64_t Position() const override;
    // Drops what the server still holds of the buffer.
    void Reset() override;

private:
    PulseOutput();
    int Await(bool (*ready)(PulseOutput&), std::uint64_t deadlineUs);
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
    std::int64_t startIndex_ = 0;  // where in the stream the buffer begins, by the last report
    std::int64_t played_ = 0;      // bytes of the buffer the server had read at its last report
    bool allTaken_ = false;        // the server last said none of the buffer was left in its queue
    std::chrono::steady_clock::time_point lastSampleDue_;
    bool finished_ = false;
};

}  // namespace wakelet
