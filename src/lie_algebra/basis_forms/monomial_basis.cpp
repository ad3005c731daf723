#include "lie_algebra/basis_forms/monomial_basis.hpp"

#include <algorithm>
#include <bit>
#include <map>

#include "base/thread_team.hpp"

namespace zenqa {

namespace {

// Steps of the table of product groups below which one thread fills it, and
// between checks for interrupts.
constexpr std::size_t threaded_table_steps = std::size_t{1} << 22;

}  // namespace

std::optional<MonomialBasis> MonomialBasis::of(const SparseColumns& columns, std::size_t d,
                                               InterruptCheck check_interrupt) {
    const std::size_t n = columns.cols();
    if (d < 2) return std::nullopt;  // nothing to gain, and positions split for d >= 2
    MonomialBasis basis(d);
    basis.rows_ = std::make_shared<std::vector<std::uint32_t>>(n * d);
    basis.columns_ = &columns;
    basis.groups_ = std::make_shared<std::vector<std::vector<std::size_t>>>();
    std::vector<std::size_t> column_seen(d, 0);
    for (std::size_t k = 0; k < n; ++k) {
        // Positions come in increasing order: one entry per row means the
        // e-th entry lies in row e.
        std::size_t e = 0;
        bool monomial = true;
        columns.for_each_nonzero(k, [&](std::size_t p, Complex) {
            const std::size_t r = p / d, c = p % d;
            if (r != e++ || column_seen[c] == k + 1) {
                monomial = false;
                return;
            }
            column_seen[c] = k + 1;
            (*basis.rows_)[k * d + c] = static_cast<std::uint32_t>(r);
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
    const std::size_t groups = basis.groups_->size();
    auto column_groups = std::make_shared<ColumnGroups>(d, groups);
    auto& table = column_groups->table_;
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint32_t* rows = basis.rows((*basis.groups_)[g].front());
        for (std::size_t c = 0; c < d; ++c) table[c * groups + g] = {rows[c], static_cast<std::uint32_t>(g)};
    }
    for (std::size_t c = 0; c < d; ++c) {
        const auto first = table.begin() + static_cast<std::ptrdiff_t>(c * groups);
        const auto last = first + static_cast<std::ptrdiff_t>(groups);
        std::sort(first, last);
        const auto same_row = [](const auto& a, const auto& b) { return a.first == b.first; };
        if (std::adjacent_find(first, last, same_row) != last) return std::nullopt;
    }
    basis.column_groups_ = std::move(column_groups);
    basis.group_of_.resize(n);
    for (std::size_t g = 0; g < groups; ++g)
        for (const std::size_t k : (*basis.groups_)[g]) basis.group_of_[k] = static_cast<std::uint32_t>(g);
    basis.product_group_ = std::make_shared<std::vector<std::int32_t>>(groups * groups);
    if (basis.fill_xor_product_groups()) return basis;
    // Bytes, not bits: the threads write neighbouring entries.
    std::vector<std::uint8_t> shared_patterns(groups * groups);
    // Part g fills the pairs (g, h) and (h, g), h <= g: whether the two
    // products share their pattern does not depend on the order, and where
    // they do, neither does the group of that pattern.
    ThreadTeam team(groups * groups * d >= threaded_table_steps ? compute_threads() : 1);
    PacedInterruptCheck paced(check_interrupt, threaded_table_steps);  // on the calling thread only
    team.run(
        groups,
        [&](std::size_t g) {
            if (team.stopping(g)) return;
            if (team.on_calling_thread()) paced.step((g + 1) * d);
            const std::uint32_t* rows_g = basis.rows((*basis.groups_)[g].front());
            for (std::size_t h = 0; h <= g; ++h) {
                const std::uint32_t* rows_h = basis.rows((*basis.groups_)[h].front());
                bool shared = true;
                for (std::size_t c = 0; c < d && shared; ++c) shared = rows_g[rows_h[c]] == rows_h[rows_g[c]];
                const std::int32_t product = basis.find_product_group(rows_g, rows_h);
                (*basis.product_group_)[g * groups + h] = product;
                (*basis.product_group_)[h * groups + g] = shared ? product : basis.find_product_group(rows_h, rows_g);
                shared_patterns[g * groups + h] = shared_patterns[h * groups + g] = shared;
            }
        },
        check_interrupt);
    basis.products_share_pattern_ = std::make_shared<std::vector<bool>>(shared_patterns.begin(), shared_patterns.end());
    return basis;
}

bool MonomialBasis::fill_xor_product_groups() {
    const std::size_t groups = groups_->size();
    if (!std::has_single_bit(d_)) return false;
    std::vector<std::uint32_t> mask_of_group(groups);
    std::vector<std::int32_t> group_of_mask(d_, in_no_group);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint32_t* rows_g = rows((*groups_)[g].front());
        mask_of_group[g] = rows_g[0];
        for (std::size_t c = 0; c < d_; ++c)
            if (rows_g[c] != (c ^ mask_of_group[g])) return false;
        group_of_mask[mask_of_group[g]] = static_cast<std::int32_t>(g);
    }
    // Patterns of distinct masks share no position, and c -> c ^ x ^ y in
    // either order.
    for (std::size_t g = 0; g < groups; ++g)
        for (std::size_t h = 0; h < groups; ++h)
            (*product_group_)[g * groups + h] = group_of_mask[mask_of_group[g] ^ mask_of_group[h]];
    products_share_pattern_ = std::make_shared<std::vector<bool>>(groups * groups, true);
    xor_patterns_ = true;
    return true;
}

std::int32_t MonomialBasis::find_product_group(const std::uint32_t* rows_g, const std::uint32_t* rows_h) const {
    const std::ptrdiff_t found = column_groups_->at(rows_g[rows_h[0]], 0);
    if (found >= 0) {
        const std::uint32_t* rows_found = rows((*groups_)[static_cast<std::size_t>(found)].front());
        for (std::size_t c = 0; c < d_; ++c)
            if (rows_found[c] != rows_g[rows_h[c]]) return partly_in_groups;
        return static_cast<std::int32_t>(found);
    }
    for (std::size_t c = 1; c < d_; ++c)
        if (column_groups_->at(rows_g[rows_h[c]], c) >= 0) return partly_in_groups;
    return in_no_group;
}

void MonomialBasis::append_partners(std::size_t i, std::vector<std::size_t>& partners) const {
    const std::size_t g = group_of_[i];
    for (std::size_t j = i + 1; j < size(); ++j) {
        const std::size_t h = group_of_[j];
        if (product_group(g, h) != in_no_group || product_group(h, g) != in_no_group) partners.push_back(j);
    }
}

// B_i(r, q) is the value of B_i in row r, B_j(q, c) that of B_j in row q.
template <class Add>
void MonomialBasis::for_each_term(std::size_t i, std::size_t j, Add&& add) const {
    // A product whose pattern meets no group only has entries that every
    // projection passes over, wherever it shares them with the other product.
    if (product_group(group_of_[i], group_of_[j]) == in_no_group) return;
    const std::uint32_t *rows_i = rows(i), *rows_j = rows(j);
    const Complex *values_i = values(i), *values_j = values(j);
    for (std::size_t c = 0; c < d_; ++c) {
        const std::uint32_t q = rows_j[c], r = rows_i[q];
        add(std::size_t{r} * d_ + c, values_i[r] * values_j[q]);
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
    const std::size_t pair = group_of_[i] * groups_->size() + group_of_[j];
    if ((*products_share_pattern_)[pair] && (*product_group_)[pair] != in_no_group) {
        // Both products have one entry in each column, in the same row: the
        // sums below are those of the terms added one by one.
        const std::uint32_t *rows_i = rows(i), *rows_j = rows(j);
        const Complex *values_i = values(i), *values_j = values(j);
        const auto forward = [&](std::size_t c) { return values_i[rows_i[rows_j[c]]] * values_j[rows_j[c]]; };
        const auto backward = [&](std::size_t c) { return values_j[rows_j[rows_i[c]]] * values_i[rows_i[c]]; };
        // A product of zeros expands to nothing and is left empty, so that the
        // projection need not look at it: products of Pauli strings commute or
        // anticommute exactly, so one of the two is zero.
        bool commutator_zero = true, anticommutator_zero = true;
        for (std::size_t c = 0; c < d_; ++c) {
            const Complex f = forward(c), b = backward(c);
            commutator_zero &= is_zero((Complex{} + f) - b);
            anticommutator_zero &= is_zero((Complex{} + f) + b);
        }
        for (std::size_t c = 0; c < d_ && !(commutator_zero && anticommutator_zero); ++c) {
            const Complex f = forward(c), b = backward(c);
            const std::uint32_t r = rows_i[rows_j[c]];
            if (!commutator_zero) commutator.set_new(r, c, d_, (Complex{} + f) - b);
            if (!anticommutator_zero) anticommutator.set_new(r, c, d_, (Complex{} + f) + b);
        }
        return;
    }
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
