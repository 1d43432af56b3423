// Console lines: whole lines ending in CR LF on standard output. A terminal gets each
// line as soon as it is complete; a file or pipe gets the output in 128-byte pieces,
// written whenever the buffer fills and once more at an orderly end (Flush).
#pragma once

#include <cstddef>
#include <string_view>

namespace wakelet {

#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif

struct StandardHandles {
    NativeHandle output;
    NativeHandle input;
    NativeHandle error;
};

// The platform's side, one implementation a platform. Results other than 0 are already
// the program's own error numbers; native codes are translated there and nowhere else.
constexpr int EndOfInput = -1;
StandardHandles SystemStandardHandles();
#ifndef _WIN32
// Keeps standard error for the last-resort report: the stream moves to a private
// descriptor that no child process inherits, and descriptor 2, where the libraries of the
// audio path write their complaints, goes to /dev/null. Sanitizer reports follow the
// stream. Called once at start-up, before any library runs; SystemStandardHandles hands
// out the private descriptor from then on.
void ReserveStandardError();
#endif
// Makes a write to a reader that has gone away fail instead of ending the process, and
// tells whether `handle` is a terminal.
bool PrepareOutput(NativeHandle handle);
int WriteNative(NativeHandle handle, const char* data, std::size_t size);  // all of it, or an error
int ReadNative(NativeHandle handle, char* byte);  // 0: one byte read; EndOfInput; or an error

class Console {
public:
    static constexpr std::size_t BufferSize = 128;

    explicit Console(StandardHandles handles);

    // Throws EInOutError once the line is complete if any part of it failed to go out.
    void WriteLine(std::string_view text);
    // Reads up to and including the next line feed and discards it. End of input ends
    // the read quietly; any other failure throws EInOutError.
    void ReadLine();
    // Writes out what the buffer still holds; a failure here is not reported.
    void Flush() noexcept;
    // Standard error is unbuffered and used only by the last-resort report.
    void WriteError(std::string_view text) noexcept;

private:
    void Put(std::string_view bytes);
    void WriteOut();

    StandardHandles handles_;
    bool terminal_;
    char buffer_[BufferSize];
    std::size_t used_ = 0;
    int failure_ = 0;  // first write error since the last complete line
};

// The process's console; tests point it elsewhere by assigning a new Console.
Console& StdConsole();
inline void WriteLine(std::string_view text) {
    StdConsole().WriteLine(text);
}

}  // namespace wakelet
