#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace zenqa {

// Asks the system to back the whole 2 MiB pages inside a buffer of `bytes`
// with huge pages. A buffer of many megabytes filled once then costs a few
// page faults instead of one per 4 KiB, which matters most where threads fill
// it at once and queue for the same lock. Smaller buffers are left alone.
inline void advise_huge_pages(void* data, std::size_t bytes) {
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    if (bytes < 2 * huge) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1), last = (begin + bytes) & ~(huge - 1);
    if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace zenqa
