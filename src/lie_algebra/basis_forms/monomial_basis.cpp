#include "lie_algebra/basis_forms/monomial_basis.hpp"

#include <algorithm>
#include <map>

namespace zenqa {

std::optional<MonomialBasis> MonomialBasis::of(const SparseColumns& columns, std::size_t d) {
    const std::size_t n = columns.cols();
    MonomialBasis basis(d);
    basis.rows_ = std::make_shared<std::vector<std::uint32_t>>(n * d);
    basis.values_ = std::make_shared<std::vector<Complex>>(n * d);
    basis.groups_ = std::make_shared<std::vector<std::vector<std::size_t>>>();
    std::vector<std::size_t> column_seen(d, 0);
    for (std::size_t k = 0; k < n; ++k) {
        // Positions come in increasing order: one entry per row means the
        // e-th entry lies in row e.
        std::size_t e = 0;
        bool monomial = true;
        columns.for_each_nonzero(k, [&](std::size_t p, Complex v) {
            const std::size_t r = p / d, c = p % d;
            if (r != e++ || column_seen[c] == k + 1) {
                monomial = false;
                return;
            }
            column_seen[c] = k + 1;
            (*basis.rows_)[k * d + c] = static_cast<std::uint32_t>(r);
            (*basis.values_)[k * d + c] = v;
        });
        if (!monomial || e != d) return std::nullopt;
    }
    // Matrices with the same pattern form a group.
    std::map<std::vector<std::uint32_t>, std::size_t> group_of_pattern;
    for (std::size_t k = 0; k < n; ++k) {
        const std::vector<std::uint32_t> pattern(basis.rows(k), basis.rows(k) + d);
        const auto [found, added] = group_of_pattern.try_emplace(pattern, basis.groups_->size());
        if (added) basis.groups_->emplace_back();
        (*basis.groups_)[found->second].push_back(k);
    }
    // Two groups with an entry in the same place would form one block of
    // the projector, which the monomial form does not describe.
    std::vector<std::uint32_t> rows_in_column;
    for (std::size_t c = 0; c < d; ++c) {
        rows_in_column.clear();
        for (const auto& group : *basis.groups_) rows_in_column.push_back(basis.rows(group.front())[c]);
        std::sort(rows_in_column.begin(), rows_in_column.end());
        if (std::adjacent_find(rows_in_column.begin(), rows_in_column.end()) != rows_in_column.end())
            return std::nullopt;
    }
    return basis;
}

void MonomialBasis::append_partners(std::size_t i, std::vector<std::size_t>& partners) const {
    for (std::size_t j = i + 1; j < size(); ++j) partners.push_back(j);
}

template <class Add>
void MonomialBasis::for_each_term(std::size_t i, std::size_t j, Add&& add) const {
    const std::uint32_t *rows_i = rows(i), *rows_j = rows(j);
    const Complex *values_i = values_->data() + i * d_, *values_j = values_->data() + j * d_;
    for (std::size_t c = 0; c < d_; ++c) {
        const std::uint32_t q = rows_j[c];
        add(std::size_t{rows_i[q]} * d_ + c, values_i[q] * values_j[c]);
    }
}

void MonomialBasis::accumulate_pair(std::size_t i, std::size_t j, bool commutator, Target& target) const {
    for_each_term(i, j, [&](std::size_t p, Complex term) { target.add(p, term); });
    if (commutator) {
        for_each_term(j, i, [&](std::size_t p, Complex term) { target.subtract(p, term); });
    } else {
        for_each_term(j, i, [&](std::size_t p, Complex term) { target.add(p, term); });
    }
}

void MonomialBasis::accumulate_both(std::size_t i, std::size_t j, Target& commutator, Target& anticommutator) const {
    for_each_term(i, j, [&](std::size_t p, Complex term) {
        commutator.add(p, term);
        anticommutator.add(p, term);
    });
    for_each_term(j, i, [&](std::size_t p, Complex term) {
        commutator.subtract(p, term);
        anticommutator.add(p, term);
    });
}

}  // namespace zenqa
