#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "array/complex.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/basis_forms/monomial_target.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// Which group of a monomial basis has an entry at a position, from a table of
// d entries per group: per column, the (row, group) of every group, by row.
class ColumnGroups {
public:
    ColumnGroups(std::size_t d, std::size_t groups) : groups_(groups), table_(d * groups) {}

    // The group with an entry at (r, c), or -1.
    std::ptrdiff_t at(std::size_t r, std::size_t c) const {
        const auto first = table_.begin() + static_cast<std::ptrdiff_t>(c * groups_);
        const auto last = first + static_cast<std::ptrdiff_t>(groups_);
        const auto found = std::lower_bound(first, last, std::pair{static_cast<std::uint32_t>(r), std::uint32_t{0}});
        return found != last && found->first == r ? static_cast<std::ptrdiff_t>(found->second) : -1;
    }

private:
    friend class MonomialBasis;
    std::size_t groups_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> table_;
};

// A basis of monomial matrices (one nonzero entry in every row and every
// column: Pauli strings, the Sylvester and Weyl-Heisenberg bases, their
// tensor products), each kept as the row of its entry in every column, its
// values read from the basis columns, so that a product of two costs O(d).
// Matrices sharing their
// pattern of positions form a group; two groups share no position. Copies
// share the matrices, so each thread takes one.
class MonomialBasis {
public:
    using Target = MonomialTarget;

    // The basis in this form, when every matrix is monomial and any two
    // patterns are equal or disjoint. It reads the values from `columns`,
    // which must outlive it. Telling which pairs of groups meet the basis
    // takes up to d per pair, so it checks for interrupts.
    static std::optional<MonomialBasis> of(const SparseColumns& columns, std::size_t d, InterruptCheck check_interrupt);

    std::size_t size() const { return rows_->size() / d_; }
    std::size_t dim() const { return d_; }
    // Row of the entry in column c of matrix k, for c = 0 .. d-1.
    const std::uint32_t* rows(std::size_t k) const { return rows_->data() + k * d_; }
    // Values of matrix k, row by row: the entry in row r is values(k)[r].
    const Complex* values(std::size_t k) const { return columns_->values(k); }
    // The matrices of each group, in increasing order, groups in the order
    // of their first matrix.
    const std::vector<std::vector<std::size_t>>& groups() const { return *groups_; }
    // Where the groups have their entries.
    const std::shared_ptr<const ColumnGroups>& column_groups() const { return column_groups_; }
    std::size_t group_of(std::size_t k) const { return group_of_[k]; }
    // The group whose pattern a product of a matrix of group g and one of h
    // has; in_no_group where it shares no position with any group, and
    // partly_in_groups where it shares some but is no group's pattern.
    static constexpr std::int32_t in_no_group = -1, partly_in_groups = -2;
    std::int32_t product_group(std::size_t g, std::size_t h) const {
        return (*product_group_)[g * groups_->size() + h];
    }

    // Whether every pattern is r = c ^ x for a mask x, which is then the row
    // of column 0: Pauli strings, on d = 2^m.
    bool xor_patterns() const { return xor_patterns_; }

    // Appends every j > i for which B_i B_j or B_j B_i has an entry where
    // some basis matrix has one: the others expand to nothing.
    void append_partners(std::size_t i, std::vector<std::size_t>& partners) const;
    // target += B_i B_j - B_j B_i for the commutator, B_i B_j + B_j B_i otherwise.
    void accumulate_pair(std::size_t i, std::size_t j, bool commutator, Target& target) const;
    // accumulate_pair for both products at once, each term formed once.
    void accumulate_both(std::size_t i, std::size_t j, Target& commutator, Target& anticommutator) const;

private:
    explicit MonomialBasis(std::size_t d) : d_(d) {}
    // Calls add(p, B_i(r, q) B_j(q, c)) for the d terms, column by column.
    template <class Add>
    void for_each_term(std::size_t i, std::size_t j, Add&& add) const;
    // Fills the tables of product groups in O(1) per pair where the patterns
    // are xor_patterns: false, leaving them, where one is not.
    bool fill_xor_product_groups();
    // product_group for the patterns given by their rows.
    std::int32_t find_product_group(const std::uint32_t* rows_g, const std::uint32_t* rows_h) const;

    std::size_t d_;
    std::shared_ptr<std::vector<std::uint32_t>> rows_;
    const SparseColumns* columns_ = nullptr;  // the values, in row order
    std::shared_ptr<std::vector<std::vector<std::size_t>>> groups_;
    std::vector<std::uint32_t> group_of_;  // per matrix
    std::shared_ptr<const ColumnGroups> column_groups_;
    std::shared_ptr<std::vector<std::int32_t>> product_group_;  // per pair of groups
    // Per pair of groups (g, h), whether products of their matrices in
    // either order share one pattern (Pauli strings and Sylvester do).
    std::shared_ptr<std::vector<bool>> products_share_pattern_;
    bool xor_patterns_ = false;
};

}  // namespace zenqa
