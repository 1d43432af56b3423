#include "base/failure.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace wakelet {

// The constructors are out of line, so the return address names the raising code.
#define WAKELET_CALLER __builtin_extract_return_addr(__builtin_return_address(0))

Exception::Exception(std::string className, std::string message, const void* location)
    : className_(std::move(className)), message_(std::move(message)), location_(location) {}

EOutOfMemory::EOutOfMemory() : Exception("EOutOfMemory", "Out of memory", WAKELET_CALLER) {}

ERangeError::ERangeError() : Exception("ERangeError", "Range check error", WAKELET_CALLER) {}

EInOutError::EInOutError(int number) : Exception("EInOutError", InOutErrorMessage(number), WAKELET_CALLER) {}

std::string InOutErrorMessage(int number) {
    switch (number) {
        case 2: return "File not found";
        case 3: return "Invalid filename";
        case 4: return "Too many open files";
        case 5: return "File access denied";
        case 100: return "Read beyond end of file";
        case 101: return "Disk full";
        case 106: return "Invalid numeric input";
        default: return "I/O error " + std::to_string(number);
    }
}

bool IsNamedInOutError(int number) {
    return InOutErrorMessage(number) != "I/O error " + std::to_string(number);
}

std::string LastResortText(const Exception& failure, const std::string& module, std::uint32_t location) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08" PRIX32, location);
    std::string message = failure.Message();
    if (!message.empty() && message.back() != '.') message += '.';
    return "Exception " + failure.ClassName() + " in module " + module + " at " + hex + ".\r\n" + message +
           "\r\n\r\n";
}

}  // namespace wakelet
