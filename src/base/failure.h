// Failures of the run. Every one derives from Exception, carries a class name and a
// message, and is caught in one place only: the driver's handler. Also the text of the
// last-resort report, for a failure that escapes that handler.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace wakelet {

class Exception : public std::exception {
public:
    Exception(std::string className, std::string message, const void* location);
    const std::string& ClassName() const noexcept { return className_; }
    const std::string& Message() const noexcept { return message_; }
    // The code address the failure was raised from, for the last-resort report.
    const void* Location() const noexcept { return location_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string className_;
    std::string message_;
    const void* location_;
};

class EOutOfMemory : public Exception {
public:
    EOutOfMemory();
};

class ERangeError : public Exception {
public:
    ERangeError();
};

// A console read or write that failed; `number` is the program's own error number
// (see the console's native layer for how system codes map onto it).
class EInOutError : public Exception {
public:
    explicit EInOutError(int number);
};

std::string InOutErrorMessage(int number);
// Whether `number` has a message of its own rather than "I/O error <number>".
bool IsNamedInOutError(int number);

// What standard error gets when a failure escapes the report: the class name, the module's
// file name, the code location, and the message ending in one full stop.
std::string LastResortText(const Exception& failure, const std::string& module, std::uint32_t location);

}  // namespace wakelet
