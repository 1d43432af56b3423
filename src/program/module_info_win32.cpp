// Where a failure arose, on Windows: the executable's file name and an offset into the
// image that holds the code (the exe itself, as it is linked statically).
#include <windows.h>

#include <cstdint>
#include <string>

#include "program/module_info.h"

namespace wakelet {

std::string ModuleFileName() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD length = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return "wakelet.exe";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // cut short: try again with room to spare
    }
    std::size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint32_t ModuleOffset(const void* address) {
    HMODULE module = nullptr;
    auto where = reinterpret_cast<std::uintptr_t>(address);
    if (GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            static_cast<LPCWSTR>(address), &module) &&
        module != nullptr)
        where -= reinterpret_cast<std::uintptr_t>(module);
    return static_cast<std::uint32_t>(where);
}

}  // namespace wakelet
