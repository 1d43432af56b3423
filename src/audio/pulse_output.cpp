// The sound-server route. libpulse's threaded main loop runs every callback on its own
// thread, which sleeps until the server asks for data (about every half second while the
// stream plays), a check second passes, or the output is closed.
#include "audio/pulse_output.h"

#include <pulse/pulseaudio.h>

#include <algorithm>

namespace wakelet {

namespace {

using Clock = std::chrono::steady_clock;

// A deep buffer lets the server (and the program) sleep for long stretches.
constexpr pa_usec_t LatencyUs = 2000000;
constexpr pa_usec_t RequestUs = 500000;
// How long connecting and readying a stream may take before the server counts as unusable.
constexpr std::chrono::seconds OpenTimeout{5};
// A stream the server takes no data from for this long has stopped playing.
constexpr std::chrono::seconds StallLimit{5};
constexpr pa_usec_t CheckUs = 1000000;

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
    pa_threaded_mainloop_lock(loop_);
    if (stream_ != nullptr) pa_stream_disconnect(stream_);
    if (context_ != nullptr) pa_context_disconnect(context_);
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    if (stream_ != nullptr) pa_stream_unref(stream_);
    if (context_ != nullptr) pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
}

void PulseOutput::OnContextState(pa_context* context, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) output->finished_ = true;
    pa_threaded_mainloop_signal(output->loop_, 0);
}

void PulseOutput::OnStreamState(pa_stream* stream, void* self) {
    auto* output = static_cast<PulseOutput*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) output->finished_ = true;
    pa_threaded_mainloop_signal(output->loop_, 0);
}

void PulseOutput::OnWritable(pa_stream*, std::size_t bytes, void* self) {
    static_cast<PulseOutput*>(self)->Feed(bytes);
}

void PulseOutput::OnUnderflow(pa_stream* stream, void* self) {
    // After the last write the queue running dry is the end, but for the output's own
    // latency: ask again how long that is.
    auto* output = static_cast<PulseOutput*>(self);
    if (!output->draining_ || output->finished_) return;
    pa_operation* update = pa_stream_update_timing_info(stream, OnTiming, self);
    if (update != nullptr) pa_operation_unref(update);
}

void PulseOutput::OnTiming(pa_stream* stream, int success, void* self) {
    // What the server still holds, queued and in the output, is how long until the last
    // sample has played.
    auto* output = static_cast<PulseOutput*>(self);
    pa_usec_t left = 0;
    int negative = 0;
    if (!success || pa_stream_get_latency(stream, &left, &negative) != 0) return;
    if (negative) left = 0;
    auto onPlayed = [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
        static_cast<PulseOutput*>(self)->finished_ = true;
    };
    if (pa_context_rttime_new(output->context_, pa_rtclock_now() + left, onPlayed, self) == nullptr)
        output->finished_ = true;
}

void PulseOutput::OnDrained(pa_stream*, int success, void* self) {
    // A drain that fails has lost its stream, which ends the buffer just the same.
    (void)success;
    static_cast<PulseOutput*>(self)->finished_ = true;
}

void PulseOutput::OnCheck(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    static_cast<PulseOutput*>(self)->Check();
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
        lastProgress_ = Clock::now();
        // What is queued still plays before the drain can end.
        allowance_ = StallLimit + std::chrono::microseconds(LatencyUs);
        // The end is whichever comes first: the time the server says it still needs, or its
        // drain acknowledgement, which can come a second or more after the last sample.
        pa_operation* drain = pa_stream_drain(stream_, OnDrained, this);
        if (drain == nullptr) {
            finished_ = true;
            return;
        }
        pa_operation_unref(drain);
        pa_operation* update = pa_stream_update_timing_info(stream_, OnTiming, this);
        if (update != nullptr) pa_operation_unref(update);
    }
}

void PulseOutput::Check() {
    if (data_ != nullptr && !finished_ && Clock::now() - lastProgress_ > allowance_) finished_ = true;
    if (!finished_) pa_context_rttime_restart(context_, check_, pa_rtclock_now() + CheckUs);
}

// Waits on libpulse's lock (held) until `ready` holds, the output finished, or `timeout`.
bool PulseOutput::WaitReady(bool (*ready)(PulseOutput&), std::chrono::milliseconds timeout) {
    timedOut_ = false;
    pa_time_event* deadline = pa_context_rttime_new(
        context_, pa_rtclock_now() + static_cast<pa_usec_t>(timeout.count()) * 1000,
        [](pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
            auto* output = static_cast<PulseOutput*>(self);
            output->timedOut_ = true;
            pa_threaded_mainloop_signal(output->loop_, 0);
        },
        this);
    if (deadline == nullptr) return false;
    while (!ready(*this) && !finished_ && !timedOut_) pa_threaded_mainloop_wait(loop_);
    pa_threaded_mainloop_get_api(loop_)->time_free(deadline);
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
    o.loop_ = pa_threaded_mainloop_new();
    if (o.loop_ == nullptr) return Reach::Failed;
    o.context_ = pa_context_new(pa_threaded_mainloop_get_api(o.loop_), "Wakelet");
    if (o.context_ == nullptr) return Reach::Failed;
    pa_context_set_state_callback(o.context_, OnContextState, &o);
    if (pa_context_connect(o.context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return Reach::NoServer;
    if (pa_threaded_mainloop_start(o.loop_) < 0) return Reach::Failed;

    struct Unlock {
        pa_threaded_mainloop* loop;
        ~Unlock() { pa_threaded_mainloop_unlock(loop); }
    };
    pa_threaded_mainloop_lock(o.loop_);
    Unlock unlock{o.loop_};

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
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(LatencyUs, &spec));
    // Playback starts with the first write; the server's default would hold it back until
    // the whole target was queued, and the cycle would run long by that much.
    attributes.prebuf = static_cast<std::uint32_t>(pa_frame_size(&spec));
    attributes.minreq = static_cast<std::uint32_t>(pa_usec_to_bytes(RequestUs, &spec));
    attributes.fragsize = static_cast<std::uint32_t>(-1);
    if (pa_stream_connect_playback(o.stream_, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY, nullptr,
                                   nullptr) < 0) {
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
    o.check_ = pa_context_rttime_new(o.context_, pa_rtclock_now() + CheckUs, OnCheck, &o);
    if (o.check_ == nullptr) return Reach::Failed;
    *error = MMSYSERR_NOERROR;
    *out = std::move(output);
    return Reach::Connected;
}

void PulseOutput::Start(const char* data, std::size_t bytes) {
    pa_threaded_mainloop_lock(loop_);
    data_ = data;
    bytes_ = bytes;
    written_ = 0;
    draining_ = false;
    lastProgress_ = Clock::now();
    allowance_ = StallLimit;
    finished_ = !PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
    Feed(pa_stream_writable_size(stream_));
    pa_threaded_mainloop_unlock(loop_);
}

}  // namespace wakelet
