#include "sample_block.h"

#include <limits>
#include <new>

// AddressSanitizer watches the bounds of heap blocks only: sanitized builds keep the tone
// on the heap, so that a write past its end is caught.
#if defined(__SANITIZE_ADDRESS__)
#define WAKELET_SANITIZED_ADDRESSES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WAKELET_SANITIZED_ADDRESSES 1
#endif
#endif

#if defined(__linux__) && !defined(WAKELET_SANITIZED_ADDRESSES)
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#define WAKELET_LARGE_PAGES 1
#endif

namespace wakelet {

namespace {

#if defined(WAKELET_LARGE_PAGES)
constexpr std::size_t LargePage = std::size_t{2} << 20;
// Smaller blocks stay on the heap: a large page would be mostly waste for them.
constexpr std::size_t SmallestMapped = std::size_t{8} << 20;

bool Mapped(std::size_t bytes) {
    return bytes >= SmallestMapped;
}

std::size_t PageRounded(std::size_t bytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return (bytes + page - 1) / page * page;
}

// One large page more than needed is mapped and trimmed to a start on a large-page
// boundary. Only whole large pages are advised, so the block's last, partial one stays
// in small pages and the block takes no more memory than it holds.
std::int32_t* MapBlock(std::size_t bytes) {
    const std::size_t length = PageRounded(bytes);
    if (length > std::numeric_limits<std::size_t>::max() - LargePage) return nullptr;
    void* mapping =
        mmap(nullptr, length + LargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    char* const raw = static_cast<char*>(mapping);
    const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(raw);
    char* const start = raw + ((LargePage - at % LargePage) % LargePage);
    if (start != raw) munmap(raw, static_cast<std::size_t>(start - raw));
    if (start + length != raw + length + LargePage)
        munmap(start + length, static_cast<std::size_t>(raw + length + LargePage - (start + length)));
    madvise(start, bytes / LargePage * LargePage, MADV_HUGEPAGE);  // only advice: failure is harmless
    return reinterpret_cast<std::int32_t*>(start);
}
#endif

}  // namespace

std::int32_t* AllocateSampleBlock(std::size_t count) noexcept {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(std::int32_t)) return nullptr;
#if defined(WAKELET_LARGE_PAGES)
    if (Mapped(count * sizeof(std::int32_t))) return MapBlock(count * sizeof(std::int32_t));
#endif
    return new (std::nothrow) std::int32_t[count];
}

void FreeSampleBlock(std::int32_t* block, std::size_t count) noexcept {
    if (block == nullptr) return;
#if defined(WAKELET_LARGE_PAGES)
    if (Mapped(count * sizeof(std::int32_t))) {
        munmap(block, PageRounded(count * sizeof(std::int32_t)));
        return;
    }
#endif
    delete[] block;
}

}  // namespace wakelet
