#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <cstdint>

#include "program/module_info.h"

namespace wakelet {

std::string ModuleFileName() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "wakelet";
    std::string name(path, static_cast<std::size_t>(length));
    return name.substr(name.rfind('/') + 1);
}

std::uint32_t ModuleOffset(const void* address) {
    Dl_info info{};
    auto where = reinterpret_cast<std::uintptr_t>(address);
    if (dladdr(address, &info) != 0 && info.dli_fbase != nullptr)
        where -= reinterpret_cast<std::uintptr_t>(info.dli_fbase);
    return static_cast<std::uint32_t>(where);
}

}  // namespace wakelet
