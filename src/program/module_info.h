// What the last-resort report says about where a failure arose.
#pragma once

#include <cstdint>
#include <string>

namespace wakelet {

// The program's file name, without its directory.
std::string ModuleFileName();

// `address` as an offset into the program's image, so that it names the same code in
// every run whatever the load address.
std::uint32_t ModuleOffset(const void* address);

}  // namespace wakelet
