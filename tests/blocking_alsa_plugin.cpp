// ALSA's default as a device whose calls block, for the tests: it plays in real time for
// the first `plays` seconds after it is opened, then its position stands still. Once it has
// stopped playing, stopping it (snd_pcm_drop, snd_pcm_close) blocks; draining it always
// does; both until the file `release` exists.
//   pcm_type.blocking { lib "/path/libasound_module_pcm_blocking.so" }
//   pcm.!default { type blocking; plays 3; release "/path/file" }
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>

namespace {

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// An open device, and the callbacks ALSA calls with it.
struct Device {
    snd_pcm_ioplug_t io{};
    snd_pcm_ioplug_callback_t callbacks{};
    double silent = 0;  // when it stops playing, in seconds on Now()'s clock
    std::string release;
    double counted = HUGE_VAL;  // up to when the position has been counted: never, while stopped

    static Device& Of(snd_pcm_ioplug_t* io) { return *static_cast<Device*>(io->private_data); }
    // Ten minutes at most, should a test never release it.
    static int Blocked(snd_pcm_ioplug_t* io) {
        for (int i = 0; i < 6000 && access(Of(io).release.c_str(), F_OK) != 0; ++i) usleep(100000);
        return 0;
    }
    static int Start(snd_pcm_ioplug_t* io) {
        Of(io).counted = Now();
        return 0;
    }
    static int Stop(snd_pcm_ioplug_t* io) {
        Of(io).counted = HUGE_VAL;
        return Now() < Of(io).silent ? 0 : Blocked(io);
    }
    // Real time plays what was written; a device that runs dry waits for more.
    static snd_pcm_sframes_t Pointer(snd_pcm_ioplug_t* io) {
        double seconds = std::max(0.0, std::min(Now(), Of(io).silent) - Of(io).counted);
        auto due = static_cast<snd_pcm_uframes_t>(seconds * io->rate);
        Of(io).counted += static_cast<double>(due) / io->rate;
        snd_pcm_uframes_t played = io->hw_ptr + due, written = io->appl_ptr;
        return static_cast<snd_pcm_sframes_t>(std::min(played, written) % io->buffer_size);
    }
    static int Close(snd_pcm_ioplug_t* io) {
        delete &Of(io);
        return 0;
    }
};

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(blocking) {
    (void)root;
    snd_config_t* node;
    double plays = 0;
    const char* file;
    if (snd_config_search(conf, "plays", &node) == 0) snd_config_get_ireal(node, &plays);
    if (snd_config_search(conf, "release", &node) < 0 || snd_config_get_string(node, &file) < 0 ||
        stream != SND_PCM_STREAM_PLAYBACK)
        return -EINVAL;
    auto device = std::make_unique<Device>();
    device->silent = Now() + plays;
    device->release = file;
    device->callbacks.start = Device::Start;
    device->callbacks.stop = Device::Stop;
    device->callbacks.pointer = Device::Pointer;
    device->callbacks.drain = Device::Blocked;
    device->callbacks.close = Device::Close;
    device->io.version = SND_PCM_IOPLUG_VERSION;
    device->io.name = "blocking";
    device->io.poll_fd = -1;  // none: the program never waits on the device
    device->io.callback = &device->callbacks;
    device->io.private_data = device.get();
    if (int error = snd_pcm_ioplug_create(&device->io, name, stream, mode)) return error;
    static const unsigned interleaved[] = {SND_PCM_ACCESS_RW_INTERLEAVED}, s32[] = {SND_PCM_FORMAT_S32_LE};
    snd_pcm_ioplug_set_param_list(&device->io, SND_PCM_IOPLUG_HW_ACCESS, 1, interleaved);
    snd_pcm_ioplug_set_param_list(&device->io, SND_PCM_IOPLUG_HW_FORMAT, 1, s32);
    snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_CHANNELS, 1, 1);
    snd_pcm_ioplug_set_param_minmax(&device->io, SND_PCM_IOPLUG_HW_RATE, 44100, 44100);
    *pcmp = device.release()->io.pcm;  // deleted by Close
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(blocking);
}
