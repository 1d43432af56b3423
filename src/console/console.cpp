#include "console/console.h"

#include <algorithm>
#include <cstring>

#include "base/failure.h"

namespace wakelet {

Console::Console(StandardHandles handles) : handles_(handles), terminal_(PrepareOutput(handles.output)) {}

void Console::Put(std::string_view bytes) {
    while (!bytes.empty()) {
        std::size_t n = std::min(bytes.size(), BufferSize - used_);
        std::memcpy(buffer_ + used_, bytes.data(), n);
        used_ += n;
        bytes.remove_prefix(n);
        if (used_ == BufferSize) WriteOut();
    }
}

void Console::WriteOut() {
    if (used_ == 0) return;
    int error = WriteNative(handles_.output, buffer_, used_);
    used_ = 0;
    if (error != 0 && failure_ == 0) failure_ = error;
}

void Console::WriteLine(std::string_view text) {
    Put(text);
    Put("\r\n");
    if (terminal_) WriteOut();
    if (failure_ != 0) {
        int error = failure_;
        failure_ = 0;
        throw EInOutError(error);
    }
}

void Console::ReadLine() {
    char byte = 0;
    while (byte != '\n') {
        int result = ReadNative(handles_.input, &byte);
        if (result == EndOfInput) return;
        if (result != 0) throw EInOutError(result);
    }
}

void Console::Flush() noexcept {
    WriteOut();
    failure_ = 0;
}

void Console::WriteError(std::string_view text) noexcept {
    WriteNative(handles_.error, text.data(), text.size());
}

Console& StdConsole() {
    static Console console(SystemStandardHandles());
    return console;
}

}  // namespace wakelet
