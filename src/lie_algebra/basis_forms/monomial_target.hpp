#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// Splits positions p = r*d + c below 2^32 into r and c by a multiplication
// instead of a division (Lemire, Kaser and Kurz, 2019): exact for every
// 32-bit p and every d >= 2, and several times faster where positions are
// split once per entry of every product.
class PositionSplit {
public:
    explicit PositionSplit(std::size_t d) : d_(d), inverse_(~std::uint64_t{0} / d + 1) {}

    std::size_t row(std::size_t p) const {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(inverse_) * p) >> 64);
    }
    std::size_t col(std::size_t p) const {
        const std::uint64_t fraction = inverse_ * p;
        return static_cast<std::size_t>((static_cast<unsigned __int128>(fraction) * d_) >> 64);
    }

private:
    std::uint64_t d_;
    std::uint64_t inverse_;
};

// A d x d target matrix with at most three entries in any column, built up
// entry by entry like a SparseAccumulator but in O(d) memory: what a sum of
// two monomial matrices and a multiple of the identity holds.
class MonomialTarget {
public:
    explicit MonomialTarget(std::size_t d) : split_(d), count_(d), row_(slots * d), value_(slots * d) {}

    void add(std::size_t p, Complex v) {
        Complex& slot = find(p);
        slot = slot + v;
    }
    void subtract(std::size_t p, Complex v) {
        Complex& slot = find(p);
        slot = slot - v;
    }
    Complex value(std::size_t p) const {
        const std::size_t c = split_.col(p), r = split_.row(p);
        for (std::size_t s = slots * c; s < slots * c + count_[c]; ++s)
            if (row_[s] == r) return value_[s];
        return {};
    }
    // Sets position r*d + c, not touched yet, to v, without looking for it.
    void set_new(std::size_t r, std::size_t c, std::size_t d, Complex v) {
        const std::size_t s = slots * c + count_[c]++;
        row_[s] = static_cast<std::uint32_t>(r);
        value_[s] = v;
        touched_.push_back(r * d + c);
    }
    // The positions touched, in the order they were first touched.
    const std::vector<std::size_t>& touched() const { return touched_; }

    void clear() {
        for (const std::size_t p : touched_) count_[split_.col(p)] = 0;
        touched_.clear();
    }

private:
    static constexpr std::size_t slots = 3;

    Complex& find(std::size_t p) {
        const std::size_t c = split_.col(p), r = split_.row(p);
        const std::size_t first = slots * c;
        for (std::size_t s = first; s < first + count_[c]; ++s)
            if (row_[s] == r) return value_[s];
        const std::size_t s = first + count_[c]++;
        row_[s] = static_cast<std::uint32_t>(r);
        value_[s] = Complex{};
        touched_.push_back(p);
        return value_[s];
    }

    PositionSplit split_;
    std::vector<std::uint8_t> count_;  // entries per column
    std::vector<std::uint32_t> row_;   // slots per column
    std::vector<Complex> value_;
    std::vector<std::size_t> touched_;
};

}  // namespace zenqa
