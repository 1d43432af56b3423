// The console's native side on Windows: standard handles that are pipes, files and devices.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "base/failure.h"
#include "console/console.h"
#include "win32_handles.h"

namespace wakelet {
namespace {

TEST(WindowsConsoleWrite, FailuresCarryTheSystemsNumberOnceTheLineIsComplete) {
    // What the system says about a write into a pipe that has lost its reader.
    Win32Pipe probe;
    probe.CloseRead();
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(probe.Write(), "x", 1, &written, nullptr));
    const int closedPipe = static_cast<int>(GetLastError());

    Win32Pipe out;
    out.CloseRead();
    Console console({out.Write(), nullptr, nullptr});
    console.WriteLine(std::string(100, 'x'));  // still in the buffer: nothing has failed yet
    try {
        console.WriteLine(std::string(100, 'y'));  // fills the buffer mid-line
        FAIL() << "writing to a pipe without a reader succeeded";
    } catch (const EInOutError& failure) {
        EXPECT_EQ(failure.Message(), "I/O error " + std::to_string(closedPipe));
    }

    // A handle that is no handle at all (standard output of a process started without one).
    Console nowhere({nullptr, nullptr, nullptr});
    EXPECT_NO_THROW(nowhere.WriteLine(std::string(120, 'z')));
    try {
        nowhere.WriteLine("0123456789");
        FAIL() << "writing to no handle succeeded";
    } catch (const EInOutError& failure) {
        EXPECT_EQ(failure.Message(), "I/O error 6");
    }
}

TEST(WindowsConsoleWrite, AFullDeviceIsDiskFull) {
    // Wine maps the Unix file system to Z:, and so its device that is always full.
    HANDLE full = CreateFileW(L"Z:\\dev\\full", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (full == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no always-full device here";
    Console console({full, nullptr, nullptr});
    try {
        console.WriteLine(std::string(200, 'z'));
        ADD_FAILURE() << "the full device took the line";
    } catch (const EInOutError& failure) {
        EXPECT_EQ(failure.Message(), "Disk full");
    }
    CloseHandle(full);
}

TEST(WindowsConsoleRead, TakesOneLineAndStopsQuietlyAtTheEndOfInput) {
    Win32Pipe in;
    Console console({nullptr, in.Read(), nullptr});
    in.Put("first line\r\nsecond");
    console.ReadLine();
    EXPECT_EQ(in.Drain(), "second");
    in.CloseWrite();
    EXPECT_NO_THROW(console.ReadLine());

    HANDLE empty = ScratchFile(GENERIC_READ);  // a read of 0 bytes ends the input too
    Console fromFile({nullptr, empty, nullptr});
    EXPECT_NO_THROW(fromFile.ReadLine());
    CloseHandle(empty);
}

TEST(WindowsConsoleRead, UnreadableInputIsAnInOutError) {
    HANDLE writeOnly = ScratchFile(GENERIC_WRITE);
    const struct {
        const char* what;
        HANDLE handle;
        const char* message;
    } rows[] = {
        {"a file opened for writing only", writeOnly, "File access denied"},
        {"no handle", nullptr, "I/O error 6"},
    };
    for (const auto& row : rows) {
        Console console({nullptr, row.handle, nullptr});
        try {
            console.ReadLine();
            ADD_FAILURE() << "reading " << row.what << " succeeded";
        } catch (const EInOutError& failure) {
            EXPECT_EQ(failure.Message(), row.message) << row.what;
        }
    }
    CloseHandle(writeOnly);
}

TEST(WindowsConsoleOutput, OnlyAConsoleCountsAsOne) {
    Win32Pipe pipe;
    HANDLE file = ScratchFile(GENERIC_WRITE);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(nul, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(PrepareOutput(pipe.Write()));
    EXPECT_FALSE(PrepareOutput(file));
    EXPECT_FALSE(PrepareOutput(nul));  // a character device, but no console
    EXPECT_FALSE(PrepareOutput(nullptr));
    CloseHandle(nul);
    CloseHandle(file);
}

}  // namespace
}  // namespace wakelet
