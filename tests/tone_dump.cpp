// Writes the tone buffer of a given length to standard output as raw little-endian
// samples, for tests that compare it with what reached an audio device.
#include <cstdio>
#include <cstdlib>

#include "tone/tone_buffer.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tone_dump DURATION_MS\n");
        return 2;
    }
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);  // raw bytes: no CR slipped in before each 0x0A
#endif
    wakelet::InitWaveFormat();
    wakelet::GenerateTone(10, static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10)), 0.1);
    std::size_t written =
        std::fwrite(wakelet::Samples.data(), sizeof(std::int32_t), wakelet::Samples.size(), stdout);
    return written == wakelet::Samples.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
