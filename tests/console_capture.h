// Points the process console at pipes for one test and back at the real handles after.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "console/console.h"

namespace wakelet {

class ConsoleCapture {
public:
    // `input` is the handle the console reads lines from.
    explicit ConsoleCapture(int input = -1) {
        OpenPipe(out_);
        OpenPipe(err_);
        StdConsole() = Console({out_[1], input, err_[1]});
    }
    ~ConsoleCapture() {
        StdConsole() = Console(SystemStandardHandles());
        for (int fd : {out_[0], out_[1], err_[0], err_[1]}) close(fd);
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // What has reached standard output so far, without flushing the console.
    std::string Output() { return output_ += Drain(out_[0]); }
    std::string Error() { return error_ += Drain(err_[0]); }
    // Takes the reader away, so the next write out fails.
    void CloseOutputReader() {
        close(out_[0]);
        out_[0] = open("/dev/null", O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    }

private:
    static void OpenPipe(int fds[2]) {
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
    }
    static std::string Drain(int fd) {
        std::string bytes;
        char chunk[4096];
        ssize_t n;
        while ((n = read(fd, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<std::size_t>(n));
        return bytes;
    }

    int out_[2];
    int err_[2];
    std::string output_, error_;
};

}  // namespace wakelet
