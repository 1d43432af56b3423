// The sound-server route. libpulse runs on the caller's own thread: each time the caller
// asks whether the buffer is done (every 100 ms while it plays), the output first handles
// whatever the server has sent since (data requests, timing reports, the stream's end) and
// then reads the stream's clock. The server holds a few seconds of the buffer in its own
// queue, so the tone plays on while the caller sleeps between its polls, and the process
// wakes for nothing else. A libpulse thread of its own would wake for every 64 KiB block
// the server hands back from shared memory, whatever the request size.
#include "audio/pulse_output.h"

#include <pulse/pulseaudio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "audio/limits.h"

namespace wakelet {

namespace {

using Clock = std::chrono::steady_clock;

// The server's queue: deep enough to play on through a late poll, refilled every second.
constexpr pa_usec_t LatencyUs = 4000000;
constexpr pa_usec_t RequestUs = 1000000;
// The most of what has arrived from the server that one poll handles.
constexpr int MostRoundsAPoll = 16;

// Whether a server has answered an open of this process (the calls come from one thread).
bool serverAnswered = false;

// libpulse's error codes, as wave-out results. Only nothing answering at the server's
// address is no driver; a format libpulse cannot express never gets this far.
MMRESULT TranslatePulseError(int error) {
    switch (error) {
        case PA_OK: return MMSYSERR_NOERROR;
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_INVALIDSERVER: return MMSYSERR_NODRIVER;
        case PA_ERR_NOENTITY: return MMSYSERR_BADDEVICEID;  // no output to play on
        case PA_ERR_BUSY: return MMSYSERR_ALLOCATED;
        default: return MMSYSERR_ERROR;
    }
}

// The sample layout of a format waveOutOpen has already checked.
bool PulseFormat(const WAVEFORMATEX& format, pa_sample_spec* out) {
    switch (format.wBitsPerSample) {
        case 8: out->format = PA_SAMPLE_U8; break;
        case 16: out->format = PA_SAMPLE_S16LE; break;
        case 24: out->format = PA_SAMPLE_S24LE; break;
        case 32: out->format = PA_SAMPLE_S32LE; break;
        default: return false;
    }
    out->rate = format.nSamplesPerSec;
    out->channels = static_cast<std::uint8_t>(format.nChannels);
    return format.nChannels <= PA_CHANNELS_MAX && pa_sample_spec_valid(out);
}

// The unix sockets of the sound servers that serve this user: the ones libpulse would
// connect to (those PULSE_SERVER names, a list whose entries are `unix:PATH` or a bare path,
// maybe behind a `{machine}` prefix; or else the user's and the system-wide server's), and
// PipeWire's own, which a PipeWire without its PulseAudio service still listens on.
std::vector<std::string> ServerSockets(const PulseOutput::Environment& getenv) {
    std::vector<std::string> sockets;
    const char* servers = getenv("PULSE_SERVER");
    if (servers != nullptr && *servers != '\0') {
        std::istringstream list(servers);
        for (std::string entry; list >> entry;) {
            if (entry[0] == '{') entry.erase(0, entry.find('}') + 1);
            if (entry.rfind("unix:", 0) == 0) entry.erase(0, 5);
            if (!entry.empty() && entry[0] == '/') sockets.push_back(entry);
        }
    } else {
        if (const char* runtime = getenv("PULSE_RUNTIME_PATH"))
            sockets.push_back(std::string(runtime) + "/native");
        else if (const char* runtime = getenv("XDG_RUNTIME_DIR"))
            sockets.push_back(std::string(runtime) + "/pulse/native");
        sockets.push_back("/run/pulse/native");
    }
    const char* remote = getenv("PIPEWIRE_REMOTE");
    std::string name = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
    if (name[0] == '/') {
        sockets.push_back(name);
    } else {
        const char* runtime = getenv("PIPEWIRE_RUNTIME_DIR");
        if (runtime == nullptr || *runtime == '\0') runtime = getenv("XDG_RUNTIME_DIR");
        if (runtime != nullptr && *runtime != '\0') sockets.push_back(std::string(runtime) + "/" + name);
    }
    return sockets;
}

// The buffer stays the caller's: libpulse reads it in place and frees nothing.
void KeepBuffer(void*) {}

}  // namespace

PulseOutput::PulseOutput() = default;

PulseOutput::~PulseOutput() {
    if (loop_ == nullptr) return;
    if (stream_ != nullptr) {
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
    }
    if (context_ != nullptr) {
        pa_context_disconnect(context_);
        pa_context_unref(context_);
    }
    pa_mainloop_free(loop_);
}

void PulseOutput::OnContextState(pa_context* context, void* self) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) static_cast<PulseOutput*>(self)->finished_ = true;
}

void PulseOutput::OnStreamState(pa_stream* stream, void* self) {
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) static_cast<PulseOutput*>(self)->finished_ = true;
}

void PulseOutput::OnWritable(pa_stream*, std::size_t bytes, void* self) {
    static_cast<PulseOutput*>(self)->Feed(bytes);
}

void PulseOutput::OnUnderflow(pa_stream*, void* self) {
    // The queue running dry is no end by itself (the output still holds its latency's
    // worth, and the server may only have stalled): it only makes the next look a fresh one.
    static_cast<PulseOutput*>(self)->AskForTiming();
}

void PulseOutput::OnDrained(pa_stream*, int, void* self) {
    // Everything has left the queue, not yet the output: likewise only a reason to look.
    static_cast<PulseOutput*>(self)->AskForTiming();
}

void PulseOutput::OnTimingUpdate(pa_stream* stream, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    output->asked_ = false;
    const pa_timing_info* info = pa_stream_get_timing_info(stream);
    if (info == nullptr || info->read_index_corrupt || info->write_index_corrupt) return;
    // What of the buffer is not in the server's queue the server has read. libpulse counts
    // every write into the write index at once, so this holds whenever the report came. A
    // move to another output rewinds the read index, and this with it.
    auto written = static_cast<std::int64_t>(output->written_);
    output->startIndex_ = info->write_index - written;
    output->played_ = info->read_index - output->startIndex_;
    // Once the server has taken all of the buffer from its queue, what is left is the
    // output's latency, which the stream's clock stops running through when the server
    // says the stream no longer plays (its queue is empty): the last sample is due then.
    // That is the first report to find the queue empty; later ones count the output's
    // latency from their own time, and would put the end off for as long as they come.
    bool taken = output->allTaken_;
    output->allTaken_ = output->draining_ && output->played_ >= written;
    if (output->allTaken_ && !taken)
        output->lastSampleDue_ = Clock::now() + std::chrono::microseconds(info->sink_usec);
}

void PulseOutput::AskForTiming() {
    if (asked_ || data_ == nullptr || finished_) return;
    pa_operation* update = pa_stream_update_timing_info(stream_, nullptr, nullptr);
    if (update == nullptr) return;
    pa_operation_unref(update);
    asked_ = true;
}

void PulseOutput::Feed(std::size_t writable) {
    if (data_ == nullptr || finished_) return;
    const pa_sample_spec* spec = pa_stream_get_sample_spec(stream_);
    std::size_t frame = pa_frame_size(spec);
    std::size_t chunk = std::min(writable, bytes_ - written_);
    chunk -= chunk % frame;
    if (chunk > 0) {
        if (pa_stream_write(stream_, data_ + written_, chunk, KeepBuffer, 0, PA_SEEK_RELATIVE) < 0) {
            finished_ = true;
            return;
        }
        written_ += chunk;
    }
    if (written_ + frame > bytes_ && !draining_) {
        draining_ = true;
        // The server acknowledges the drain once its queue is empty.
        pa_operation* drain = pa_stream_drain(stream_, OnDrained, this);
        if (drain != nullptr) pa_operation_unref(drain);
    }
}

void PulseOutput::Look() {
    if (data_ == nullptr || finished_) return;
    if (draining_) {
        // The stream's clock, run on from the server's last report, says when the last
        // sample has reached the output. It is trusted only once that report showed the
        // server holding none of the buffer in its queue: before, the clock may run on over
        // a stall the report has not seen yet, so a fresh report is asked for.
        // The clock counts from the stream's start, which an earlier buffer may have played.
        pa_usec_t played = 0;
        bool due = pa_stream_get_time(stream_, &played) == 0 &&
                   played >= pa_bytes_to_usec(static_cast<std::uint64_t>(startIndex_),
                                              pa_stream_get_sample_spec(stream_)) +
                                 duration_;
        if (allTaken_ && (due || Clock::now() >= lastSampleDue_))
            finished_ = true;
        else if (due)
            AskForTiming();
    }
}

bool PulseOutput::Finished() {
    for (int round = 0; round < MostRoundsAPoll && !finished_; ++round)
        if (pa_mainloop_iterate(loop_, 0, nullptr) <= 0) break;
    Look();
    return finished_;
}

// Runs libpulse until `ready` holds, the output fails, or the deadline (on libpulse's
// monotonic clock) has passed; libpulse's error code for why not.
int PulseOutput::Await(bool (*ready)(PulseOutput&), std::uint64_t deadlineUs) {
    timedOut_ = false;
    pa_time_event* deadline = pa_context_rttime_new(
        context_, deadlineUs,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            static_cast<PulseOutput*>(self)->timedOut_ = true;
        },
        this);
    if (deadline == nullptr) return pa_context_errno(context_);
    while (!ready(*this) && !finished_ && !timedOut_)
        if (pa_mainloop_iterate(loop_, 1, nullptr) < 0) break;
    pa_mainloop_get_api(loop_)->time_free(deadline);
    if (ready(*this)) return PA_OK;
    int error = pa_context_errno(context_);
    return error != PA_OK ? error : timedOut_ ? PA_ERR_TIMEOUT : PA_ERR_UNKNOWN;
}

MMRESULT PulseOutput::Open(const WAVEFORMATEX& format, std::unique_ptr<Output>* out) {
    // Connecting and readying the stream share one limit.
    const pa_usec_t deadline =
        pa_rtclock_now() + static_cast<pa_usec_t>(std::chrono::microseconds(OpenLimit).count());
    pa_sample_spec spec{};
    if (!PulseFormat(format, &spec)) return WAVERR_BADFORMAT;
    std::unique_ptr<PulseOutput> output(new PulseOutput);
    PulseOutput& o = *output;
    o.loop_ = pa_mainloop_new();
    if (o.loop_ == nullptr) return MMSYSERR_NOMEM;
    o.context_ = pa_context_new(pa_mainloop_get_api(o.loop_), "Wakelet");
    if (o.context_ == nullptr) return MMSYSERR_NOMEM;
    pa_context_set_state_callback(o.context_, OnContextState, &o);
    int error =
        pa_context_connect(o.context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0
            ? pa_context_errno(o.context_)
            : o.Await([](PulseOutput& p) { return pa_context_get_state(p.context_) == PA_CONTEXT_READY; },
                      deadline);
    MMRESULT result = TranslatePulseError(error);
    // A server that answers and then refuses, or stalls, is there all the same.
    if (result != MMSYSERR_NODRIVER) serverAnswered = true;
    if (result != MMSYSERR_NOERROR) return result;

    o.stream_ = pa_stream_new(o.context_, "Keep-alive tone", &spec, nullptr);
    if (o.stream_ == nullptr) return TranslatePulseError(pa_context_errno(o.context_));
    pa_stream_set_state_callback(o.stream_, OnStreamState, &o);
    pa_stream_set_write_callback(o.stream_, OnWritable, &o);
    pa_stream_set_underflow_callback(o.stream_, OnUnderflow, &o);
    pa_stream_set_latency_update_callback(o.stream_, OnTimingUpdate, &o);
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(LatencyUs, &spec));
    // Playback starts with the first write; the server's default would hold it back until
    // the whole target was queued, and the cycle would run long by that much.
    attributes.prebuf = static_cast<std::uint32_t>(pa_frame_size(&spec));
    attributes.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(RequestUs, &spec));
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    // The stream's clock is kept by libpulse: the server reports it now and then, and
    // libpulse runs it on from the local clock in between. Not monotonic, so that a report
    // that sets it back (a stall, a move) is believed at once.
    pa_stream_flags_t flags =
        static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                       PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_NOT_MONOTONIC);
    if (pa_stream_connect_playback(o.stream_, nullptr, &attributes, flags, nullptr, nullptr) < 0)
        return TranslatePulseError(pa_context_errno(o.context_));
    // A stream on an output the user has suspended is taken but never played: it counts as
    // no device unless the output resumes in time. An output suspended only for being idle
    // resumes as the stream arrives.
    error = o.Await(
        [](PulseOutput& p) {
            return pa_stream_get_state(p.stream_) == PA_STREAM_READY &&
                   pa_stream_is_suspended(p.stream_) == 0;
        },
        deadline);
    if (error != PA_OK) return TranslatePulseError(error);
    *out = std::move(output);
    return MMSYSERR_NOERROR;
}

bool PulseOutput::ServerExpected() {
    return serverAnswered ||
           ServerSocketThere([](const char* name) -> const char* { return std::getenv(name); });
}

bool PulseOutput::ServerSocketThere(const Environment& getenv) {
    struct stat status;
    for (const std::string& socket : ServerSockets(getenv))
        if (stat(socket.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) return true;
    return false;
}

bool PulseOutput::Start(const char* data, std::size_t bytes) {
    data_ = data;
    bytes_ = bytes;
    written_ = 0;
    draining_ = false;
    asked_ = false;
    // The buffer begins where the stream's writes have got to (and the next report says).
    const pa_timing_info* info = pa_stream_get_timing_info(stream_);
    startIndex_ = info != nullptr && !info->write_index_corrupt ? info->write_index : 0;
    played_ = 0;
    allTaken_ = false;
    duration_ = pa_bytes_to_usec(bytes, pa_stream_get_sample_spec(stream_));
    finished_ = !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
    Feed(pa_stream_writable_size(stream_));
    // Send it now: the caller sleeps before its first poll.
    if (!finished_) pa_mainloop_iterate(loop_, 0, nullptr);
    return true;
}

std::uint64_t PulseOutput::Position() const {
    return static_cast<std::uint64_t>(
        std::clamp<std::int64_t>(played_, 0, static_cast<std::int64_t>(bytes_)));
}

void PulseOutput::Reset() {
    if (data_ != nullptr && !finished_) {
        // The server drops its queue at once, and the connection ends at the close.
        pa_operation* flush = pa_stream_flush(stream_, nullptr, nullptr);
        if (flush != nullptr) pa_operation_unref(flush);
        pa_mainloop_iterate(loop_, 0, nullptr);
    }
    finished_ = true;
}

}  // namespace wakelet
