#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "lie_algebra/basis_forms/sparse_accumulator.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// The nonzero entries of the n basis matrices (d x d), row by row, so that a
// product of two of them costs what their entries cost. Copies share the
// entries, so each thread takes one.
class SparseBasis {
public:
    // From the d*d x n basis columns.
    SparseBasis(const ComplexMatrix& columns, std::size_t d);
    SparseBasis(const SparseColumns& columns, std::size_t d);

    // The nonzero entries of all its matrices.
    std::size_t nonzeros() const { return index_->entries.size(); }

    // Appends, in increasing order, every j > i for which B_i B_j or B_j B_i may be
    // nonzero: B_j has an entry in a row where B_i has a column, or the reverse.
    void append_partners(std::size_t i, std::vector<std::size_t>& partners);

    // target += B_i B_j - B_j B_i for the commutator, B_i B_j + B_j B_i otherwise.
    void accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target) const;

    // accumulate_pair for both products at once, each term formed once and
    // added to either target in the order accumulate_pair adds it.
    void accumulate_both(std::size_t i, std::size_t j, SparseAccumulator& commutator,
                         SparseAccumulator& anticommutator) const;
    // Inline for the matrices of few entries that most pairs of a sparse
    // basis are made of.
    void accumulate_both(std::size_t i, std::size_t j, PairAccumulator& products) const {
        const std::size_t first_i = matrix_begin_[i], count_i = matrix_begin_[i + 1] - first_i;
        const std::size_t first_j = matrix_begin_[j], count_j = matrix_begin_[j + 1] - first_j;
        if (count_i * count_j > matched_entry_pairs) return accumulate_both_looked_up(i, j, products);
        const Entry *a = entries_ + first_i, *b = entries_ + first_j;
        match_terms(a, count_i, b, count_j, [&](std::size_t p, Complex term) { products.add_forward(p, term); });
        match_terms(b, count_j, a, count_i, [&](std::size_t p, Complex term) { products.add_backward(p, term); });
    }

private:
    struct Entry {
        std::uint32_t row;
        std::uint32_t col;
        Complex value;
    };
    struct Index {
        std::size_t d;
        std::vector<Entry> entries;             // matrix by matrix, row by row
        std::vector<std::size_t> matrix_begin;  // where each matrix's entries begin, and the end
        std::vector<Entry> column_entries;      // the same entries, column by column
        // Per matrix, d + 1 offsets from its first entry: where its rows begin
        // in entries, where its columns begin in column_entries.
        std::vector<std::uint32_t> row_begin, column_begin;
        std::vector<std::vector<std::size_t>> with_row;  // matrices with an entry in row r
        std::vector<std::vector<std::size_t>> with_col;  // matrices with an entry in column c
    };

    // Two matrices with at most this many pairs of entries are matched pair by pair.
    static constexpr std::size_t matched_entry_pairs = 16;

    SparseBasis(std::shared_ptr<const Index> index, std::size_t n);
    template <class Columns>
    static std::shared_ptr<const Index> index(const Columns& columns, std::size_t d);
    // Calls add(p, A(r, q) B(q, c)) for the terms of the product of matrices
    // A and B of these entries, p = r*d + c, matching entry against entry in
    // the order of a lookup by rows.
    template <class Add>
    void match_terms(const Entry* a, std::size_t count_a, const Entry* b, std::size_t count_b, Add&& add) const {
        for (const Entry* x = a; x != a + count_a; ++x)
            for (const Entry* y = b; y != b + count_b; ++y)
                if (y->row == x->col) add(x->row * d_ + y->col, x->value * y->value);
    }
    void accumulate_both_looked_up(std::size_t i, std::size_t j, PairAccumulator& products) const;
    // target += B_i B_j, or target -= B_i B_j.
    template <bool subtract>
    void accumulate_product(std::size_t i, std::size_t j, SparseAccumulator& target) const;
    // Calls add(p, B_i(r, q) B_j(q, c)) for every term, p = r*d + c,
    // looking up the entries of the matrix with more of them by those of the
    // other: a diagonal matrix times one of few entries costs those few.
    template <class Add>
    void for_each_term(std::size_t i, std::size_t j, Add&& add) const;

    std::shared_ptr<const Index> index_;
    // Read for every pair: the index's d, its entries, and where each
    // matrix's begin.
    std::size_t d_;
    const Entry* entries_;
    const std::size_t* matrix_begin_;
    std::size_t n_;                      // the number of matrices
    std::vector<std::uint64_t> marked_;  // per matrix, a bit: listed as a partner of the row being found
};

}  // namespace zenqa
