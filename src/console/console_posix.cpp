// The console's native side on POSIX systems: file descriptors 0 and 1, and standard
// error's (2, or its private copy once ReserveStandardError has run).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "base/failure.h"
#include "console/console.h"

// Present only in a build with a sanitizer runtime, whose reports go to descriptor 2
// unless told otherwise.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

namespace wakelet {

namespace {

int ErrorDescriptor = STDERR_FILENO;

// Windows' numbers for a device's I/O error and a device that does not work, for errno
// values whose own number names another of the program's errors; and for a write that
// took nothing, as on Windows.
constexpr int DeviceIoError = 1117;
constexpr int DeviceFailure = 31;
constexpr int WriteFault = 29;

// errno values whose meaning matches one of the program's named I/O errors take that
// number; every other errno is shown as itself, where that number names nothing else.
int TranslateErrno(int error) {
    switch (error) {
        case ENOENT: return 2;
        case ENAMETOOLONG: return 3;
        case EMFILE:
        case ENFILE: return 4;
        case EACCES:
        case EPERM: return 5;
        case ENOSPC: return 101;
        case EIO: return DeviceIoError;  // a terminal that hung up, say
        default: return IsNamedInOutError(error) ? DeviceFailure : error;
    }
}

}  // namespace

StandardHandles SystemStandardHandles() {
    return {STDOUT_FILENO, STDIN_FILENO, ErrorDescriptor};
}

void ReserveStandardError() {
    // -1 when the process was started without standard error: the report then goes nowhere.
    ErrorDescriptor = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    // Descriptor 2 stays open either way, or the next file the process opens would take it.
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0 && null != STDERR_FILENO) {
        dup2(null, STDERR_FILENO);
        close(null);
    }
    if (__sanitizer_set_report_fd != nullptr && ErrorDescriptor >= 0)
        __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(ErrorDescriptor)));
}

bool PrepareOutput(NativeHandle handle) {
    // A closed pipe then shows as EPIPE, a write error like any other.
    std::signal(SIGPIPE, SIG_IGN);
    return isatty(handle) == 1;
}

int WriteNative(NativeHandle handle, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = write(handle, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return TranslateErrno(errno);
        }
        // A write that reports success but takes nothing would never finish.
        if (written == 0) return WriteFault;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return 0;
}

int ReadNative(NativeHandle handle, char* byte) {
    for (;;) {
        ssize_t got = read(handle, byte, 1);
        if (got == 1) return 0;
        if (got == 0) return EndOfInput;
        if (errno != EINTR) return TranslateErrno(errno);
    }
}

}  // namespace wakelet
