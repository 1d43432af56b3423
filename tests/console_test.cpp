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

// The pipe does not block: a read past the line fails.
TEST(ConsoleRead, TakesOneLineAndStopsQuietlyAtTheEnd) {
    Pipe in;
    Console console({-1, in.read, -1});
    ASSERT_EQ(write(in.write, "first line\nsecond", 17), 17);
    console.ReadLine();
    EXPECT_EQ(in.Drain(), "second");
    close(in.write);
    in.write = -1;
    EXPECT_NO_THROW(console.ReadLine());  // end of input
}

TEST(InOutErrorMessage, NamedNumbersAndTheRest) {
    const struct {
        int number;
        const char* message;
    } rows[] = {
        {2, "File not found"},          {3, "Invalid filename"},          {4, "Too many open files"},
        {5, "File access denied"},      {100, "Read beyond end of file"}, {101, "Disk full"},
        {106, "Invalid numeric input"},
    };
    for (const auto& row : rows) EXPECT_EQ(InOutErrorMessage(row.number), row.message);
    // The rest are shown as their number.
    for (int number : {32, 232, 1, 0})
        EXPECT_EQ(InOutErrorMessage(number), "I/O error " + std::to_string(number));
}

}  // namespace
}  // namespace wakelet
