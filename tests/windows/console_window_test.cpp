// Output to a real console window. It needs a console: CTest runs it under a
// pseudo-terminal, for which Wine makes one; elsewhere it is skipped unless
// WAKELET_REQUIRE_CONSOLE is set.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "console/console.h"

namespace wakelet {
namespace {

std::string RowOf(HANDLE screen, SHORT row, std::size_t length) {
    std::string text(length, '\0');
    DWORD got = 0;
    if (!ReadConsoleOutputCharacterA(screen, text.data(), static_cast<DWORD>(length), COORD{0, row}, &got))
        return "(unreadable)";
    text.resize(got);
    return text;
}

TEST(WindowsConsoleWindow, EachLineReachesTheConsoleWhenComplete) {
    HANDLE screen = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (screen == INVALID_HANDLE_VALUE) {
        if (std::getenv("WAKELET_REQUIRE_CONSOLE")) FAIL() << "no console, error " << GetLastError();
        GTEST_SKIP() << "this process has no console";
    }
    ASSERT_TRUE(PrepareOutput(screen));
    Console console({screen, nullptr, nullptr});
    for (const std::string line : {"Pelvarin's \"keep audio alive\" hack v0.5", "starting hack."}) {
        CONSOLE_SCREEN_BUFFER_INFO before{};
        ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &before));
        console.WriteLine(line);  // no flush: a console must not wait for the buffer to fill
        CONSOLE_SCREEN_BUFFER_INFO after{};
        ASSERT_TRUE(GetConsoleScreenBufferInfo(screen, &after));
        EXPECT_EQ(RowOf(screen, before.dwCursorPosition.Y, line.size()), line);
        EXPECT_EQ(after.dwCursorPosition.X, 0) << "the line ended in CR LF";
    }
    CloseHandle(screen);
}

}  // namespace
}  // namespace wakelet
