#include "console/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/failure.h"
#include "console_capture.h"

namespace wakelet {
namespace {

// Whole pieces only, so a line may leave in two, and the rest once more at the end.
TEST(ConsoleToPipe, GoesOutInWhole128BytePiecesAndOnceMoreAtTheEnd) {
    Pipe out;
    Console console({out.write, -1, -1});
    std::string sent, got;
    for (int i = 0; i < 20; ++i) {
        std::string line(static_cast<std::size_t>(i * 7 % 30), static_cast<char>('a' + i));
        console.WriteLine(line);
        sent += line + "\r\n";
        got += out.Drain();
        EXPECT_EQ(got.size(), sent.size() / 128 * 128);
    }
    console.Flush();
    EXPECT_EQ(got + out.Drain(), sent);
    console.Flush();
    EXPECT_EQ(out.Drain(), "");
}

TEST(ConsoleWrite, FailureIsRaisedWhenTheLineIsCompleteAndNotAgain) {
    Pipe out;
    Console console({out.write, -1, -1});
    out.CloseRead();
    console.WriteLine(std::string(100, 'x'));  // still in the buffer: nothing has failed yet
    try {
        console.WriteLine(std::string(100, 'y'));  // fills the buffer mid-line
        FAIL() << "writing to a pipe without a reader succeeded";
    } catch (const EInOutError& failure) {
        EXPECT_EQ(failure.Message(), "I/O error " + std::to_string(EPIPE));
    }
    EXPECT_NO_THROW(console.WriteLine("short"));  // buffered again
    EXPECT_NO_THROW(console.Flush());             // the last write's failure is not reported
}

int HungUpTerminal() {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
    close(master);
    return slave;
}

TEST(ConsoleWrite, DevicesThatFailAreNamedForWhatFailed) {
    const struct {
        const char* what;
        int fd;
        const char* message;
    } rows[] = {
        {"/dev/full", open("/dev/full", O_WRONLY | O_CLOEXEC), "Disk full"},
        // EIO is 5, which names another error.
        {"a terminal that has hung up", HungUpTerminal(), "I/O error 1117"},
    };
    for (const auto& row : rows) {
        ASSERT_GE(row.fd, 0) << row.what;
        Console console({row.fd, -1, -1});
        try {
            console.WriteLine(std::string(200, 'z'));
            ADD_FAILURE() << row.what << " took the line";
        } catch (const EInOutError& failure) {
            EXPECT_EQ(failure.Message(), row.message) << row.what;
        }
        close(row.fd);
    }
}

// Input at its end (a closed pipe, /dev/null) ends the read without a failure. That one line
// and no more is taken is checked with the driver.
TEST(ConsoleRead, EndOfInputIsNoFailure) {
    Pipe in;
    close(in.write);
    in.write = -1;
    EXPECT_NO_THROW(Console({-1, in.read, -1}).ReadLine());
}

}  // namespace
}  // namespace wakelet
