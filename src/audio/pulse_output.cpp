// The sound-server route. libpulse runs on the caller's own thread: each time the caller
// asks whether the buffer is done (every 100 ms while it plays), the output first handles
// whatever the server has sent since (data requests, timing reports, the stream's end) and
// then reads the stream's clock. The server holds a few seconds of the buffer in its own
// queue, so the tone plays on while the caller sleeps between its polls, and the process
// wakes for nothing else. A libpulse thread of its own would wake for every 64 KiB block
// the server hands back from shared memory, whatever the request size.
#include "audio/pulse_output.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

#include "audio/output_limits.h"

namespace wakelet {

namespace {

using Clock = std::chrono::steady_clock;

// The server's queue: deep enough to play on through a late poll, refilled every second.
constexpr pa_usec_t LatencyUs = 4000000;
constexpr pa_usec_t RequestUs = 1000000;
// A stream whose clock stands, and that the server asks no data of, for StallLimit has
// stopped playing.
// The most of what has arrived from the server that one poll handles.
constexpr int MostRoundsAPoll = 16;

// libpulse's error codes, as wave-out results.
MMRESULT TranslatePulseError(int error) {
    switch (error) {
        case PA_OK: return MMSYSERR_NOERROR;
        case PA_ERR_NOTSUPPORTED:
        case PA_ERR_INVALID: return WAVERR_BADFORMAT;
        case PA_ERR_NOENTITY:
        case PA_ERR_CONNECTIONREFUSED:
        case PA_ERR_CONNECTIONTERMINATED:
        case PA_ERR_INVALIDSERVER:
        case PA_ERR_NODATA: return MMSYSERR_NODRIVER;
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
    if (info == nullptr || info->read_index_corrupt) return;
    // Once the server has taken all of the buffer from its queue, what is left is the
    // output's latency, which the stream's clock stops running through when the server
    // says the stream no longer plays (its queue is empty): the last sample is due then.
    output->allTaken_ = output->draining_ && info->read_index >= static_cast<std::int64_t>(output->written_);
    if (output->allTaken_) output->lastSampleDue_ = Clock::now() + std::chrono::microseconds(info->sink_usec);
    // The server's read index moving (either way: a move to another output rewinds it) is
    // the stream playing; one that stays put for StallLimit belongs to a stream that does not.
    if (info->read_index == output->readIndex_) return;
    output->readIndex_ = info->read_index;
    output->lastProgress_ = Clock::now();
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
    if (writable > 0) lastProgress_ = Clock::now();
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
        pa_usec_t played = 0;
        bool due = pa_stream_get_time(stream_, &played) == 0 && played >= duration_;
        if (allTaken_ && (due || Clock::now() >= lastSampleDue_))
            finished_ = true;
        else if (due)
            AskForTiming();
    }
    if (!finished_ && Clock::now() - lastProgress_ > StallLimit) finished_ = true;
}

bool PulseOutput::Finished() {
    for (int round = 0; round < MostRoundsAPoll && !finished_; ++round)
        if (pa_mainloop_iterate(loop_, 0, nullptr) <= 0) break;
    Look();
    return finished_;
}

// Runs libpulse until `ready` holds, the output finished, or `timeout`.
bool PulseOutput::WaitReady(bool (*ready)(PulseOutput&), std::chrono::milliseconds timeout) {
    timedOut_ = false;
    pa_time_event* deadline = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * 1000,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            static_cast<PulseOutput*>(self)->timedOut_ = true;
        },
        this);
    if (deadline == nullptr) return false;
    while (!ready(*this) && !finished_ && !timedOut_)
        if (pa_mainloop_iterate(loop_, 1, nullptr) < 0) break;
    pa_mainloop_get_api(loop_)->time_free(deadline);
    return ready(*this);
}

PulseOutput::Reach PulseOutput::Open(const WAVEFORMATEX& format, std::unique_ptr<PulseOutput>* out,
                                     MMRESULT* error) {
    *error = MMSYSERR_NOERROR;
    pa_sample_spec spec{};
    if (!PulseFormat(format, &spec)) {
        *error = WAVERR_BADFORMAT;
        return Reach::Failed;
    }
    std::unique_ptr<PulseOutput> output(new PulseOutput);
    PulseOutput& o = *output;
    *error = MMSYSERR_NOMEM;
    o.loop_ = pa_mainloop_new();
    if (o.loop_ == nullptr) return Reach::Failed;
    o.context_ = pa_context_new(pa_mainloop_get_api(o.loop_), "Wakelet");
    if (o.context_ == nullptr) return Reach::Failed;
    pa_context_set_state_callback(o.context_, OnContextState, &o);
    if (pa_context_connect(o.context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return Reach::NoServer;

    bool connected =
        o.WaitReady([](PulseOutput& p) { return pa_context_get_state(p.context_) == PA_CONTEXT_READY; },
                    std::chrono::duration_cast<std::chrono::milliseconds>(OpenTimeout));
    if (!connected) {
        // Nobody answering at all is no server; one that answers and then stalls is a
        // server that cannot be used now.
        if (o.timedOut_) {
            *error = MMSYSERR_ERROR;
            return Reach::Failed;
        }
        return Reach::NoServer;
    }

    o.stream_ = pa_stream_new(o.context_, "Keep-alive tone", &spec, nullptr);
    if (o.stream_ == nullptr) {
        *error = TranslatePulseError(pa_context_errno(o.context_));
        return Reach::Failed;
    }
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
    if (pa_stream_connect_playback(o.stream_, nullptr, &attributes, flags, nullptr, nullptr) < 0) {
        *error = TranslatePulseError(pa_context_errno(o.context_));
        return Reach::Failed;
    }
    bool ready = o.WaitReady([](PulseOutput& p) { return pa_stream_get_state(p.stream_) == PA_STREAM_READY; },
                             std::chrono::duration_cast<std::chrono::milliseconds>(OpenTimeout));
    if (!ready) {
        int code = pa_context_errno(o.context_);
        *error = o.timedOut_ || code == PA_OK ? MMSYSERR_ERROR : TranslatePulseError(code);
        return Reach::Failed;
    }
    *error = MMSYSERR_NOERROR;
    *out = std::move(output);
    return Reach::Connected;
}

void PulseOutput::Start(const char* data, std::size_t bytes) {
    data_ = data;
    bytes_ = bytes;
    written_ = 0;
    draining_ = false;
    asked_ = false;
    allTaken_ = false;
    duration_ = pa_bytes_to_usec(bytes, pa_stream_get_sample_spec(stream_));
    readIndex_ = -1;
    lastProgress_ = Clock::now();
    finished_ = !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
    Feed(pa_stream_writable_size(stream_));
    // Send it now: the caller sleeps before its first poll.
    if (!finished_) pa_mainloop_iterate(loop_, 0, nullptr);
}

}  // namespace wakelet
