#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"

namespace zenqa {

// The basis as the columns of a d*d x n matrix, keeping only the nonzero
// entries: column k lists its positions (r*d + c) in increasing order. The
// work of indexing a sparse basis then follows its entries, not n d^2.
class SparseColumns {
public:
    explicit SparseColumns(std::size_t rows) : rows_(rows) {}

    // Adds an entry to the column being built; positions increase.
    void append(std::size_t position, Complex value) {
        position_.push_back(static_cast<std::uint32_t>(position));
        value_.push_back(value);
    }
    // Closes the column being built; the next append starts a new one.
    void end_column() { begin_.push_back(value_.size()); }
    // Adds a whole column from its rows() values, keeping the nonzero ones.
    // Runs of zeros, most of a sparse basis, are passed over a few at a time,
    // by their bits: a run is all zeros when its bits but the signs are.
    void append_column(const Complex* values) {
        constexpr std::size_t run = 8;
        std::size_t p = 0;
        for (; p + run <= rows_; p += run) {
            std::uint64_t bits = 0;
            for (std::size_t q = p; q < p + run; ++q)
                bits |= std::bit_cast<std::uint64_t>(values[q].re) | std::bit_cast<std::uint64_t>(values[q].im);
            if (bits << 1 == 0) continue;
            for (std::size_t q = p; q < p + run; ++q)
                if (!is_zero(values[q])) append(q, values[q]);
        }
        for (; p < rows_; ++p)
            if (!is_zero(values[p])) append(p, values[p]);
        end_column();
    }

    // Adds the columns of `part`, of as many rows, after these.
    void append_columns(const SparseColumns& part) {
        const std::size_t offset = value_.size();
        position_.insert(position_.end(), part.position_.begin(), part.position_.end());
        value_.insert(value_.end(), part.value_.begin(), part.value_.end());
        for (std::size_t k = 1; k < part.begin_.size(); ++k) begin_.push_back(offset + part.begin_[k]);
    }

    // Room for this many more entries, so that adding them allocates once.
    void reserve(std::size_t entries) {
        position_.reserve(position_.size() + entries);
        value_.reserve(value_.size() + entries);
    }

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return begin_.size() - 1; }
    std::size_t nonzeros() const { return value_.size(); }

    // The values of column k, in increasing position.
    const Complex* values(std::size_t k) const { return value_.data() + begin_[k]; }
    // Entry (p, k); zero where nothing is stored.
    Complex at(std::size_t p, std::size_t k) const {
        const auto first = position_.begin() + static_cast<std::ptrdiff_t>(begin_[k]);
        const auto last = position_.begin() + static_cast<std::ptrdiff_t>(begin_[k + 1]);
        const auto found = std::lower_bound(first, last, static_cast<std::uint32_t>(p));
        return found != last && *found == p ? value_[static_cast<std::size_t>(found - position_.begin())] : Complex{};
    }
    // f(p, value) for the entries of column k, in increasing p.
    template <class F>
    void for_each_nonzero(std::size_t k, F&& f) const {
        for (std::size_t e = begin_[k]; e < begin_[k + 1]; ++e) f(std::size_t{position_[e]}, value_[e]);
    }
    // The largest real or imaginary part in magnitude.
    double largest_part() const {
        double largest = 0.0;
        for (const Complex v : value_) largest = std::max({largest, std::fabs(v.re), std::fabs(v.im)});
        return largest;
    }
    // The same columns with every value v replaced by f(v).
    template <class F>
    SparseColumns transformed(F&& f) const {
        SparseColumns copy = *this;
        for (Complex& v : copy.value_) v = f(v);
        return copy;
    }
    // The whole matrix, column-major.
    ComplexMatrix dense() const {
        ComplexMatrix matrix = ComplexMatrix::zeros(rows_, cols(), Layout::ColumnMajor);
        for (std::size_t k = 0; k < cols(); ++k)
            for_each_nonzero(k, [&](std::size_t p, Complex v) { matrix.data()[k * rows_ + p] = v; });
        return matrix;
    }

private:
    std::size_t rows_;
    std::vector<std::size_t> begin_{0};
    std::vector<std::uint32_t> position_;
    std::vector<Complex> value_;
};

// f(p, value) for the nonzero entries of column k, in increasing p, whichever
// form the columns take.
template <class F>
void for_each_nonzero(const SparseColumns& columns, std::size_t k, F&& f) {
    columns.for_each_nonzero(k, f);
}
template <class F>
void for_each_nonzero(const ComplexMatrix& columns, std::size_t k, F&& f) {
    for (std::size_t p = 0; p < columns.rows(); ++p) {
        const Complex value = columns.at(p, k);
        if (!is_zero(value)) f(p, value);
    }
}

}  // namespace zenqa
