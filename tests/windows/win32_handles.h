// Anonymous pipes and scratch files for the Windows console tests.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>

namespace wakelet {

// A pipe whose read end the test drains without blocking.
class Win32Pipe {
public:
    Win32Pipe() {
        if (!CreatePipe(&read_, &write_, nullptr, 0)) throw std::runtime_error("CreatePipe");
    }
    ~Win32Pipe() {
        CloseRead();
        CloseWrite();
    }
    Win32Pipe(const Win32Pipe&) = delete;
    Win32Pipe& operator=(const Win32Pipe&) = delete;

    HANDLE Read() const { return read_; }
    HANDLE Write() const { return write_; }
    void CloseRead() { Close(read_); }
    void CloseWrite() { Close(write_); }
    void Put(const std::string& bytes) {
        DWORD written = 0;
        if (!WriteFile(write_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
            throw std::runtime_error("WriteFile");
    }
    // Everything that waits in the pipe now.
    std::string Drain() const {
        std::string bytes;
        DWORD available = 0;
        while (PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::string chunk(available, '\0');
            DWORD got = 0;
            if (!ReadFile(read_, chunk.data(), available, &got, nullptr)) break;
            bytes.append(chunk, 0, got);
        }
        return bytes;
    }

private:
    static void Close(HANDLE& handle) {
        if (handle != nullptr) CloseHandle(handle);
        handle = nullptr;
    }
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
};

// A file in the temporary folder that is deleted when its last handle closes.
inline HANDLE ScratchFile(DWORD access) {
    wchar_t folder[MAX_PATH];
    wchar_t path[MAX_PATH];
    if (GetTempPathW(MAX_PATH, folder) == 0 || GetTempFileNameW(folder, L"wkl", 0, path) == 0)
        throw std::runtime_error("GetTempFileName");
    HANDLE file = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("CreateFile");
    return file;
}

}  // namespace wakelet
