// Where the last-resort report says a failure was raised on Windows: an offset into the exe's
// image. The exe's file name it gives is checked end to end.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>

#include "program/module_info.h"

namespace wakelet {
namespace {

TEST(WindowsModuleInfo, CodeLocationIsAnOffsetIntoTheImage) {
    auto base = reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr));
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const void* code = reinterpret_cast<const void*>(&ModuleFileName);
    std::uint32_t offset = ModuleOffset(code);
    EXPECT_EQ(offset, reinterpret_cast<std::uintptr_t>(code) - base);
    EXPECT_GE(offset, headers->OptionalHeader.SizeOfHeaders);
    EXPECT_LT(offset, headers->OptionalHeader.SizeOfImage);
}

}  // namespace
}  // namespace wakelet
