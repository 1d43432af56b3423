// Which route the Linux layer may take, decided from configuration and environment text
// alone: nothing is opened, and no server needs to run.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "audio/alsa_output.h"
#include "audio/pulse_output.h"

namespace wakelet {
namespace {

namespace fs = std::filesystem;

fs::path FreshFolder(const char* name) {
    fs::path folder = fs::temp_directory_path() / (name + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

// While a server is expected, ALSA's default is taken only where it leads to a server.
TEST(RouteRules, TheCardIsLeftToAServerThatIsExpected) {
    const fs::path folder = FreshFolder("wakelet-route-");
    const struct {
        const char* configuration;
        bool server;  // the default leads to a server
    } rows[] = {
        {"pcm.!default { type hw; card 0 }\n", false},
        {"pcm.!default { type pulse }\n", true},
        {"pcm.!default { type pipewire }\n", true},
        {"pcm.!default { type plug; slave.pcm \"p\" }\npcm.p { type pulse }\n", true},
        {"pcm.!default { type plug; slave.pcm { type pipewire } }\n", true},
        {"pcm.!default { type plug; slave.pcm \"c\" }\npcm.c { type hw; card 0 }\n", false},
        {"pcm.!default { type plug; slave.pcm \"nowhere\" }\n", false},
    };
    for (const auto& row : rows) {
        // A file of its own each time: libasound reads the configuration again only when the
        // files it names change, which a rewrite within a second may not show.
        const fs::path file = folder / (std::to_string(&row - rows) + ".conf");
        std::ofstream(file) << row.configuration;
        setenv("ALSA_CONFIG_PATH", file.c_str(), 1);
        for (bool expected : {false, true})
            EXPECT_EQ(AlsaOutput::MayOpenDefault(expected), !expected || row.server)
                << row.configuration << "a server expected: " << expected;
    }
    unsetenv("ALSA_CONFIG_PATH");
    fs::remove_all(folder);
}

// A server is expected where one of its sockets is: those PULSE_SERVER names, or else the
// user's PulseAudio socket, and PipeWire's own.
TEST(RouteRules, AServerIsExpectedWhereItsSocketIs) {
    const fs::path folder = FreshFolder("wakelet-sockets-");
    const std::string f = folder.string();
    const struct {
        std::map<std::string, std::string> environment;
        const char* socket;  // made under the folder; a regular file where it ends in ".file"
        bool expected;
    } rows[] = {
        {{{"PULSE_SERVER", "tcp:elsewhere unix:" + f + "/s"}}, "s", true},
        {{{"PULSE_SERVER", "{machine}" + f + "/s"}}, "s", true},
        {{{"PULSE_SERVER", f + "/s.file"}}, "s.file", false},
        {{{"PULSE_SERVER", "unix:" + f + "/other"}, {"XDG_RUNTIME_DIR", f}}, "pulse/native", false},
        {{{"PULSE_RUNTIME_PATH", f}, {"XDG_RUNTIME_DIR", "/nowhere"}}, "native", true},
        {{{"XDG_RUNTIME_DIR", f}}, "pulse/native", true},
        {{{"XDG_RUNTIME_DIR", f}}, "pipewire-0", true},
        {{{"XDG_RUNTIME_DIR", "/nowhere"}, {"PIPEWIRE_RUNTIME_DIR", f}, {"PIPEWIRE_REMOTE", "pw"}},
         "pw",
         true},
        {{{"PIPEWIRE_REMOTE", f + "/pw"}}, "pw", true},
        {{{"XDG_RUNTIME_DIR", f}, {"PIPEWIRE_REMOTE", "pw"}}, "pipewire-0", false},
    };
    for (const auto& row : rows) {
        const fs::path path = folder / row.socket;
        fs::create_directories(path.parent_path());
        int listening = -1;
        if (path.extension() == ".file") {
            std::ofstream(path) << "";
        } else {
            listening = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            path.string().copy(address.sun_path, sizeof address.sun_path - 1);
            ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
        }
        auto getenv = [&row](const char* name) -> const char* {
            auto found = row.environment.find(name);
            return found == row.environment.end() ? nullptr : found->second.c_str();
        };
        EXPECT_EQ(PulseOutput::ServerSocketThere(getenv), row.expected) << row.socket;
        if (listening >= 0) close(listening);
        fs::remove(path);
    }
    fs::remove_all(folder);
}

}  // namespace
}  // namespace wakelet
