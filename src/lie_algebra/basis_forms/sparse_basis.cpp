#include "lie_algebra/basis_forms/sparse_basis.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

namespace zenqa {

SparseBasis::SparseBasis(const ComplexMatrix& columns, std::size_t d)
    : SparseBasis(index(columns, d), columns.cols()) {}

SparseBasis::SparseBasis(const SparseColumns& columns, std::size_t d)
    : SparseBasis(index(columns, d), columns.cols()) {}

SparseBasis::SparseBasis(std::shared_ptr<const Index> index, std::size_t n)
    : index_(std::move(index)),
      d_(index_->d),
      entries_(index_->entries.data()),
      matrix_begin_(index_->matrix_begin.data()),
      n_(n),
      marked_((n + 63) / 64) {}

template <class Columns>
std::shared_ptr<const SparseBasis::Index> SparseBasis::index(const Columns& columns, std::size_t d) {
    const std::size_t n = columns.cols();
    auto index = std::make_shared<Index>(Index{
        d, {}, {0}, {}, {}, {}, std::vector<std::vector<std::size_t>>(d), std::vector<std::vector<std::size_t>>(d)});
    index->row_begin.reserve(n * (d + 1));
    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t first = index->entries.size();
        const auto offset = [&] { return static_cast<std::uint32_t>(index->entries.size() - first); };
        std::size_t rows_begun = 0;
        for_each_nonzero(columns, k, [&](std::size_t p, Complex value) {
            const std::size_t r = p / d, c = p % d;
            if (rows_begun <= r) index->with_row[r].push_back(k);
            for (; rows_begun <= r; ++rows_begun) index->row_begin.push_back(offset());
            index->entries.push_back({static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(c), value});
            if (index->with_col[c].empty() || index->with_col[c].back() != k) index->with_col[c].push_back(k);
        });
        for (; rows_begun <= d; ++rows_begun) index->row_begin.push_back(offset());
        index->matrix_begin.push_back(index->entries.size());
    }
    // Each matrix's entries by column, counted then placed, rows increasing.
    index->column_entries.resize(index->entries.size());
    index->column_begin.assign(n * (d + 1), 0);
    for (std::size_t k = 0; k < n; ++k) {
        std::uint32_t* columns_k = &index->column_begin[k * (d + 1)];
        const std::size_t first = index->matrix_begin[k], last = index->matrix_begin[k + 1];
        for (std::size_t e = first; e < last; ++e) ++columns_k[index->entries[e].col + 1];
        for (std::size_t c = 0; c < d; ++c) columns_k[c + 1] += columns_k[c];
        std::vector<std::uint32_t> cursor(columns_k, columns_k + d);
        for (std::size_t e = first; e < last; ++e)
            index->column_entries[first + cursor[index->entries[e].col]++] = index->entries[e];
    }
    return index;
}

template <class Add>
void SparseBasis::for_each_term(std::size_t i, std::size_t j, Add&& add) const {
    const std::size_t d = d_;
    const Entry *first_i = entries_ + matrix_begin_[i], *end_i = entries_ + matrix_begin_[i + 1];
    const Entry *first_j = entries_ + matrix_begin_[j], *end_j = entries_ + matrix_begin_[j + 1];
    const std::size_t count_i = matrix_begin_[i + 1] - matrix_begin_[i],
                      count_j = matrix_begin_[j + 1] - matrix_begin_[j];
    // Matrices of a few entries are matched entry against entry, in the order
    // of the lookup by rows, without reaching for their tables of rows.
    if (count_i * count_j <= matched_entry_pairs) return match_terms(first_i, count_i, first_j, count_j, add);
    if (count_i <= count_j) {
        const std::uint32_t* rows_j = &index_->row_begin[j * (d + 1)];
        for (const Entry* a = first_i; a != end_i; ++a) {
            const std::size_t row_start = a->row * d;
            const Entry* b_end = first_j + rows_j[a->col + 1];
            for (const Entry* b = first_j + rows_j[a->col]; b != b_end; ++b)
                add(row_start + b->col, a->value * b->value);
        }
        return;
    }
    const Entry* columns_of_i = index_->column_entries.data() + matrix_begin_[i];
    const std::uint32_t* columns_i = &index_->column_begin[i * (d + 1)];
    for (const Entry* b = first_j; b != end_j; ++b) {
        const Entry* a_end = columns_of_i + columns_i[b->row + 1];
        for (const Entry* a = columns_of_i + columns_i[b->row]; a != a_end; ++a)
            add(a->row * d + b->col, a->value * b->value);
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

void SparseBasis::accumulate_both_looked_up(std::size_t i, std::size_t j, PairAccumulator& products) const {
    for_each_term(i, j, [&](std::size_t p, Complex term) { products.add_forward(p, term); });
    for_each_term(j, i, [&](std::size_t p, Complex term) { products.add_backward(p, term); });
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
    const std::size_t n = n_, d = d_;
    const std::uint32_t* rows_i = &index_->row_begin[i * (d + 1)];
    const Entry* entries_i = entries_ + matrix_begin_[i];
    // Listing the candidates costs the total length of the lists; past n it is
    // cheaper to take every matrix.
    std::size_t listed = 0;
    std::vector<bool> column_used(d), row_used(d);
    for (std::size_t r = 0; r < d; ++r) {
        if (rows_i[r] == rows_i[r + 1]) continue;
        row_used[r] = true;
        listed += index_->with_col[r].size();
        for (std::size_t a = rows_i[r]; a < rows_i[r + 1]; ++a) column_used[entries_i[a].col] = true;
    }
    for (std::size_t c = 0; c < d; ++c)
        if (column_used[c]) listed += index_->with_row[c].size();
    if (listed >= n) {
        for (std::size_t j = i + 1; j < n; ++j) partners.push_back(j);
        return;
    }
    // The candidates after i, marked in a bitset read off in order: each
    // list holds its matrices in increasing order.
    std::size_t last_word = 0;
    const auto take = [&](const std::vector<std::size_t>& list) {
        for (auto j = std::upper_bound(list.begin(), list.end(), i); j != list.end(); ++j)
            marked_[*j / 64] |= std::uint64_t{1} << (*j % 64);
        if (!list.empty()) last_word = std::max(last_word, list.back() / 64);
    };
    for (std::size_t s = 0; s < d; ++s) {
        if (column_used[s]) take(index_->with_row[s]);
        if (row_used[s]) take(index_->with_col[s]);
    }
    for (std::size_t w = (i + 1) / 64; w <= last_word; ++w) {
        for (std::uint64_t bits = std::exchange(marked_[w], 0); bits != 0; bits &= bits - 1)
            partners.push_back(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }
}

}  // namespace zenqa
