#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

#include "base/huge_pages.hpp"

namespace zenqa {

// A fixed array of zeros. A large one comes from calloc as fresh pages that
// the system zeroes when they are first touched: no pass of its own, and the
// threads that fill it share the page faults.
template <class T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    explicit ZeroedArray(std::size_t size) : data_(static_cast<T*>(std::calloc(size == 0 ? 1 : size, sizeof(T)))) {
        if (data_ == nullptr) throw std::bad_alloc();
        advise_huge_pages(data_.get(), size * sizeof(T));
    }

    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

private:
    struct Free {
        void operator()(T* block) const { std::free(block); }
    };
    std::unique_ptr<T, Free> data_;
};

}  // namespace zenqa
