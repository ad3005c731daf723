#include "lie_algebra/sparse_basis.hpp"

#include <algorithm>
#include <cstdint>

namespace zenqa {

SparseBasis::SparseBasis(const ComplexMatrix& columns, std::size_t d)
    : d_(d), with_row_(d), with_col_(d), seen_(columns.cols()) {
    index(columns);
}

SparseBasis::SparseBasis(const SparseColumns& columns, std::size_t d)
    : d_(d), with_row_(d), with_col_(d), seen_(columns.cols()) {
    index(columns);
}

template <class Columns>
void SparseBasis::index(const Columns& columns) {
    const std::size_t n = columns.cols();
    row_begin_.reserve(n * (d_ + 1));
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t rows_begun = 0;
        for_each_nonzero(columns, k, [&](std::size_t p, Complex value) {
            const std::size_t r = p / d_, c = p % d_;
            if (rows_begun <= r) with_row_[r].push_back(k);
            for (; rows_begun <= r; ++rows_begun) row_begin_.push_back(entries_.size());
            entries_.push_back({static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c), value});
            if (with_col_[c].empty() || with_col_[c].back() != k) with_col_[c].push_back(k);
        });
        for (; rows_begun < d_; ++rows_begun) row_begin_.push_back(entries_.size());
        row_begin_.push_back(entries_.size());
    }
}

template <class Add>
void SparseBasis::for_each_term(std::size_t i, std::size_t j, Add&& add) const {
    const std::size_t* rows_j = &row_begin_[j * (d_ + 1)];
    const Entry* end = entries_.data() + row_begin_[i * (d_ + 1) + d_];
    for (const Entry* a = entries_.data() + row_begin_[i * (d_ + 1)]; a != end; ++a) {
        const std::size_t row_start = a->row * d_;
        const Entry* b_end = entries_.data() + rows_j[a->col + 1];
        for (const Entry* b = entries_.data() + rows_j[a->col]; b != b_end; ++b)
            add(row_start + b->col, a->value * b->value);
    }
}

template <bool subtract>
void SparseBasis::accumulate_product(std::size_t i, std::size_t j, SparseAccumulator& target) const {
    for_each_term(i, j, [&](std::size_t p, Complex term) {
        if constexpr (subtract) {
            target.subtract(p, term);
        } else {
            target.add(p, term);
        }
    });
}

void SparseBasis::accumulate_both(std::size_t i, std::size_t j, SparseAccumulator& commutator,
                                  SparseAccumulator& anticommutator) const {
    for_each_term(i, j, [&](std::size_t p, Complex term) {
        commutator.add(p, term);
        anticommutator.add(p, term);
    });
    for_each_term(j, i, [&](std::size_t p, Complex term) {
        commutator.subtract(p, term);
        anticommutator.add(p, term);
    });
}

void SparseBasis::accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target) const {
    accumulate_product<false>(i, j, target);
    if (commutator) {
        accumulate_product<true>(j, i, target);
    } else {
        accumulate_product<false>(j, i, target);
    }
}

void SparseBasis::append_partners(std::size_t i, std::vector<std::size_t>& partners) {
    const std::size_t n = size();
    const std::size_t first = partners.size();
    const std::size_t* rows_i = &row_begin_[i * (d_ + 1)];
    // Listing the candidates costs the total length of the lists; past n it is
    // cheaper to take every matrix.
    std::size_t listed = 0;
    std::vector<bool> column_used(d_), row_used(d_);
    for (std::size_t r = 0; r < d_; ++r) {
        if (rows_i[r] == rows_i[r + 1]) continue;
        row_used[r] = true;
        listed += with_col_[r].size();
        for (std::size_t a = rows_i[r]; a < rows_i[r + 1]; ++a) column_used[entries_[a].col] = true;
    }
    for (std::size_t c = 0; c < d_; ++c)
        if (column_used[c]) listed += with_row_[c].size();
    if (listed >= n) {
        for (std::size_t j = i + 1; j < n; ++j) partners.push_back(j);
        return;
    }
    const std::size_t stamp = i + 1;
    const auto take = [&](const std::vector<std::size_t>& list) {
        for (const std::size_t j : list) {
            if (j > i && seen_[j] != stamp) {
                seen_[j] = stamp;
                partners.push_back(j);
            }
        }
    };
    for (std::size_t s = 0; s < d_; ++s) {
        if (column_used[s]) take(with_row_[s]);
        if (row_used[s]) take(with_col_[s]);
    }
    std::sort(partners.begin() + static_cast<std::ptrdiff_t>(first), partners.end());
}

}  // namespace zenqa
