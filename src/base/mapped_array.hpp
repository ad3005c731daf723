#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "base/memory_check.hpp"

namespace zenqa {

// A growable array of plain values whose large blocks are mapped straight
// from the system. Growing a mapped block remaps its pages instead of copying
// them into fresh ones, and freeing it returns them, so an array that grows
// to many megabytes costs each page once and leaves no freed blocks behind on
// the heap. Blocks of a few megabytes stay on the heap, whose allocator hands
// the pages a freed block held to the next: the tensors of a build that
// follows another find their pages in memory, where fresh ones from the
// system must first be cleared, which took a third of the build of a
// thousand Pauli strings. Growing by many megabytes is refused
// (MemoryShortage) where the memory is not available, rather than growing
// until the system kills the process; `what` names the array there.
template <class T>
class MappedArray {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    explicit MappedArray(const char* what) : what_(what) {}
    MappedArray(MappedArray&& other) noexcept
        : what_(other.what_),
          data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    MappedArray& operator=(MappedArray&& other) noexcept {
        MappedArray(std::move(other)).swap(*this);
        return *this;
    }
    ~MappedArray() { release(data_, capacity_); }

    std::size_t size() const { return size_; }
    const T* data() const { return data_; }
    const T& operator[](std::size_t e) const { return data_[e]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // No values, the room for them kept.
    void clear() { size_ = 0; }
    void push_back(const T& value) {
        if (size_ == capacity_) [[unlikely]]
            grow_for_one();
        data_[size_++] = value;
    }
    void append(const T* values, std::size_t count) {
        if (count > capacity_ - size_) reserve(std::max(size_ + count, 2 * capacity_));
        if (count != 0) std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
    }
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        if (capacity > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        const std::size_t growth = (capacity - capacity_) * sizeof(T);
        if (growth < unweighed_request) return grow_to(capacity);
        // Its pages are touched before another growth is weighed: see weighed_growth_mutex.
        const std::lock_guard lock(weighed_growth_mutex());
        weigh_request(growth, std::string("more room for ") + what_);
        const std::size_t old_bytes = capacity_ * sizeof(T);
        grow_to(capacity);
        touch_pages(reinterpret_cast<char*>(data_), old_bytes, capacity * sizeof(T));
    }

private:
    static constexpr std::size_t mapped_bytes = std::size_t{1} << 23;

    void grow_to(std::size_t capacity) {
        data_ = static_cast<T*>(grow(data_, size_ * sizeof(T), capacity_ * sizeof(T), capacity * sizeof(T)));
        capacity_ = capacity;
    }
    // Writes every page of block[first, last), leaving the values as they are.
    static void touch_pages(char* block, std::size_t first, std::size_t last) {
        constexpr std::size_t page = 4096;
        for (std::size_t at = first / page * page; at < last; at += page) {
            volatile char* byte = block + at;
            *byte = *byte;
        }
    }
    // Out of line, so that push_back stays small enough to inline.
    [[gnu::noinline]] void grow_for_one() { reserve(capacity_ < 16 ? 16 : 2 * capacity_); }
    void swap(MappedArray& other) noexcept {
        std::swap(what_, other.what_);
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    static void* grow(void* block, std::size_t used, std::size_t old_bytes, std::size_t new_bytes) {
        if (new_bytes < mapped_bytes) {
            void* grown = std::realloc(block, new_bytes);
            if (grown == nullptr) throw std::bad_alloc();
            return grown;
        }
        void* grown = nullptr;
        if (old_bytes >= mapped_bytes) {
            grown = mremap(block, old_bytes, new_bytes, MREMAP_MAYMOVE);
            if (grown == MAP_FAILED) throw std::bad_alloc();
        } else {
            grown = mmap(nullptr, new_bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (grown == MAP_FAILED) throw std::bad_alloc();
            if (used != 0) std::memcpy(grown, block, used);
            std::free(block);
        }
        // Huge pages: a few faults instead of one per 4 KiB, while the 2 MiB
        // that a huge page may hold beyond the values stay small against the
        // block. The whole mapping, so that it stays one block that mremap
        // can grow.
        madvise(grown, new_bytes, MADV_HUGEPAGE);
        return grown;
    }
    static void release(T* block, std::size_t capacity) {
        if (capacity * sizeof(T) >= mapped_bytes) {
            munmap(block, capacity * sizeof(T));
        } else {
            std::free(block);
        }
    }

    const char* what_;
    T* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

}  // namespace zenqa
