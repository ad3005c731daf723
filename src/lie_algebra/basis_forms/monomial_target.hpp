#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// A d x d target matrix with at most three entries in any column, built up
// entry by entry like a SparseAccumulator but in O(d) memory: what a sum of
// two monomial matrices and a multiple of the identity holds.
class MonomialTarget {
public:
    explicit MonomialTarget(std::size_t d) : d_(d), count_(d), row_(slots * d), value_(slots * d) {}

    void add(std::size_t p, Complex v) {
        Complex& slot = find(p);
        slot = slot + v;
    }
    void subtract(std::size_t p, Complex v) {
        Complex& slot = find(p);
        slot = slot - v;
    }
    Complex value(std::size_t p) const {
        const std::size_t c = p % d_, r = p / d_;
        for (std::size_t s = slots * c; s < slots * c + count_[c]; ++s)
            if (row_[s] == r) return value_[s];
        return {};
    }
    // The positions touched, in the order they were first touched.
    const std::vector<std::size_t>& touched() const { return touched_; }

    void clear() {
        for (const std::size_t p : touched_) count_[p % d_] = 0;
        touched_.clear();
    }

private:
    static constexpr std::size_t slots = 3;

    Complex& find(std::size_t p) {
        const std::size_t c = p % d_, r = p / d_;
        const std::size_t first = slots * c;
        for (std::size_t s = first; s < first + count_[c]; ++s)
            if (row_[s] == r) return value_[s];
        const std::size_t s = first + count_[c]++;
        row_[s] = static_cast<std::uint32_t>(r);
        value_[s] = Complex{};
        touched_.push_back(p);
        return value_[s];
    }

    std::size_t d_;
    std::vector<std::uint8_t> count_;  // entries per column
    std::vector<std::uint32_t> row_;   // slots per column
    std::vector<Complex> value_;
    std::vector<std::size_t> touched_;
};

}  // namespace zenqa
