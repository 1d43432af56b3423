// Pipes for the console to write to, and the process console pointed at them for one test.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "console/console.h"

namespace wakelet {

// A pipe whose read end the test drains without blocking.
struct Pipe {
    int read = -1, write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        read = fds[0];
        write = fds[1];
        fcntl(read, F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        CloseRead();
        if (write >= 0) close(write);
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void CloseRead() {
        if (read >= 0) close(read);
        read = -1;
    }
    std::string Drain() const {
        std::string bytes;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(read, chunk, sizeof chunk)) > 0) bytes.append(chunk, static_cast<std::size_t>(n));
        return bytes;
    }
};

// Points the process console at pipes for one test and back at the real handles after.
class ConsoleCapture {
public:
    // `input` is the handle the console reads lines from.
    explicit ConsoleCapture(int input = -1) { StdConsole() = Console({out_.write, input, err_.write}); }
    ~ConsoleCapture() { StdConsole() = Console(SystemStandardHandles()); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // What has reached standard output so far, without flushing the console.
    std::string Output() { return output_ += out_.Drain(); }
    std::string Error() { return error_ += err_.Drain(); }
    // Takes the reader away, so the next write out fails.
    void CloseOutputReader() { out_.CloseRead(); }

private:
    Pipe out_, err_;
    std::string output_, error_;
};

}  // namespace wakelet
