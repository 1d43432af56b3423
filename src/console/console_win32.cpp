// The console's native side on Windows: the process's standard handles, written and read
// through WriteFile and ReadFile whether they are a console, a file or a pipe.
#include <windows.h>

#include "console/console.h"

namespace wakelet {

namespace {

// Windows error codes (GetLastError) as the program's I/O error numbers:
// ERROR_FILE_NOT_FOUND 2, ERROR_PATH_NOT_FOUND 3, ERROR_TOO_MANY_OPEN_FILES 4 and
// ERROR_ACCESS_DENIED 5 keep their numbers, ERROR_HANDLE_EOF is 100 and ERROR_DISK_FULL
// 101; every other code is shown as itself (a closed pipe: 232 or 109).
int ProgramErrorNumber(unsigned long systemError) {
    switch (systemError) {
        case ERROR_FILE_NOT_FOUND: return 2;
        case ERROR_PATH_NOT_FOUND: return 3;
        case ERROR_TOO_MANY_OPEN_FILES: return 4;
        case ERROR_ACCESS_DENIED: return 5;
        case ERROR_HANDLE_EOF: return 100;
        case ERROR_DISK_FULL: return 101;
        default: return static_cast<int>(systemError);
    }
}

}  // namespace

StandardHandles SystemStandardHandles() {
    return {GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
}

bool PrepareOutput(NativeHandle handle) {
    // Nothing to arm: on Windows a write to a pipe whose reader has gone fails by itself.
    // Only a console has a console mode; a file, a pipe or NUL has none.
    DWORD mode = 0;
    return GetConsoleMode(handle, &mode) != 0;
}

int WriteNative(NativeHandle handle, const char* data, std::size_t size) {
    while (size > 0) {
        DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr)) return ProgramErrorNumber(GetLastError());
        // A write that reports success but takes nothing would never finish.
        if (written == 0) return ProgramErrorNumber(ERROR_WRITE_FAULT);
        data += written;
        size -= written;
    }
    return 0;
}

int ReadNative(NativeHandle handle, char* byte) {
    DWORD got = 0;
    if (!ReadFile(handle, byte, 1, &got, nullptr)) {
        DWORD error = GetLastError();
        // A pipe whose writer has gone ends the input; it is no failure.
        return error == ERROR_BROKEN_PIPE ? EndOfInput : ProgramErrorNumber(error);
    }
    return got == 1 ? 0 : EndOfInput;
}

}  // namespace wakelet
