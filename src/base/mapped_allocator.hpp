#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace zenqa {

// An allocator that maps large blocks straight from the system and unmaps
// them when freed. A vector that grows to many megabytes then leaves no
// freed blocks behind on the heap, which the process would otherwise keep.
template <class T>
struct MappedAllocator {
    using value_type = T;
    static constexpr std::size_t mapped_bytes = std::size_t{1} << 16;

    MappedAllocator() = default;
    template <class U>
    MappedAllocator(const MappedAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const std::size_t bytes = count * sizeof(T);
        if (bytes < mapped_bytes) return std::allocator<T>().allocate(count);
        void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED) throw std::bad_alloc();
        return static_cast<T*>(block);
    }
    void deallocate(T* block, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        if (bytes < mapped_bytes) {
            std::allocator<T>().deallocate(block, count);
        } else {
            munmap(block, bytes);
        }
    }

    template <class U>
    bool operator==(const MappedAllocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace zenqa
