#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"

namespace zenqa {

// A d x d target matrix built up entry by entry, remembering which positions
// (r*d + c) it touched so that clearing and reading it cost only those.
class SparseAccumulator {
public:
    explicit SparseAccumulator(std::size_t positions) : values_(positions), marked_(positions) {}

    void add(std::size_t p, Complex v) {
        touch(p);
        values_[p] = values_[p] + v;
    }
    void subtract(std::size_t p, Complex v) {
        touch(p);
        values_[p] = values_[p] - v;
    }
    Complex value(std::size_t p) const { return values_[p]; }
    const std::vector<std::size_t>& touched() const { return touched_; }

    void clear() {
        for (const std::size_t p : touched_) {
            values_[p] = Complex{};
            marked_[p] = 0;
        }
        touched_.clear();
    }

private:
    void touch(std::size_t p) {
        if (!marked_[p]) {
            marked_[p] = 1;
            touched_.push_back(p);
        }
    }

    std::vector<Complex> values_;
    std::vector<unsigned char> marked_;
    std::vector<std::size_t> touched_;
};

// The nonzero entries of the n basis matrices (d x d), row by row, so that a
// product of two of them costs what their entries cost.
class SparseBasis {
public:
    // From the d*d x n basis columns.
    SparseBasis(const ComplexMatrix& columns, std::size_t d);

    // Appends, in increasing order, every j > i for which B_i B_j or B_j B_i may be
    // nonzero: B_j has an entry in a row where B_i has a column, or the reverse.
    void append_partners(std::size_t i, std::vector<std::size_t>& partners);

    // target += B_i B_j - B_j B_i for the commutator, B_i B_j + B_j B_i otherwise.
    void accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target) const;

private:
    std::size_t size() const { return row_begin_.size() / (d_ + 1); }
    // target += B_i B_j, or target -= B_i B_j.
    template <bool subtract>
    void accumulate_product(std::size_t i, std::size_t j, SparseAccumulator& target) const;

    struct Entry {
        std::uint32_t row;
        std::uint32_t col;
        Complex value;
    };

    std::size_t d_;
    std::vector<Entry> entries_;         // matrix by matrix, row by row
    std::vector<std::size_t> row_begin_;  // (d + 1) offsets into entries_ per matrix
    std::vector<std::vector<std::size_t>> with_row_;  // matrices with an entry in row r
    std::vector<std::vector<std::size_t>> with_col_;  // matrices with an entry in column c
    std::vector<std::size_t> seen_;       // per matrix: the last i that listed it, plus one
};

}  // namespace zenqa
