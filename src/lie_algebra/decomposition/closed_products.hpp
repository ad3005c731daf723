#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "array/complex.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/basis_forms/monomial_basis.hpp"
#include "lie_algebra/decomposition/negligible.hpp"

namespace zenqa {

// A monomial basis closed under products up to factors: Pauli strings, the
// Sylvester and Weyl-Heisenberg bases, their tensor products. Each matrix is
// its pattern times its character, its values column by column over the
// first. Where the patterns compose within the basis' own (or away from all
// of them), the characters multiply within the basis' own, and a pattern's
// permutation only scales each character, B_i B_j is a multiple of the one
// matrix with the product's pattern and character, found by table lookups
// instead of a projection, or orthogonal to the basis where there is none.
// Any set of Pauli strings has this form, closed or not: a product outside
// the set is orthogonal to it.
class ClosedProducts {
public:
    // None unless `basis` has that form within rounding, one matrix per
    // pattern and character, and I is orthogonal to it, so that removing I/d
    // from a square changes no coefficient. The tables it needs must be small
    // against the pairs. Reads `basis`, which must outlive it.
    static std::optional<ClosedProducts> of(const MonomialBasis& basis, InterruptCheck check_interrupt);

    // A bound on every coefficient of a product but its multiple's. Products
    // and characters are their multiples and orthogonal only within rounding:
    // exactly for Pauli strings, within some hundreds of roundings for the
    // Sylvester basis of d = 64.
    double others_bound() const { return others_bound_; }
    std::size_t size() const { return size_; }

    // B_i B_j = factor B_k within the deviation, where `multiple` finds k;
    // none where B_i B_j is orthogonal to the basis within it. Index and
    // factor come apart, as plain values, because a struct of both went
    // through the stack on every pair.
    static constexpr std::size_t none = SIZE_MAX;
    std::size_t multiple(std::size_t i, std::size_t j) const {
        const std::int32_t pattern = basis_.product_group(basis_.group_of(i), basis_.group_of(j));
        if (pattern < 0) return none;
        const std::uint32_t character = character_product_[character_of_[i] * characters_ + character_of_[j]];
        if (character == no_character) return none;
        const std::int64_t found = matrix_of_[static_cast<std::size_t>(pattern) * characters_ + character];
        return found < 0 ? none : static_cast<std::size_t>(found);
    }
    Complex factor(std::size_t i, std::size_t j, std::size_t k) const {
        if (!exact_) {
            if (!shared_factors_.empty() && shares_values_[i] && shares_values_[k])
                return shared_factors_[character_of_[i] * size_ + j];
            return least_squares_factor(i, j, k);
        }
        // Column 0 of the product holds B_i(r, q) B_j(q, 0), which is factor B_k(r, 0).
        const std::size_t q = first_row_[j];
        const Complex in_column = walsh_masks_.empty() ? column_values_[q * size_ + i] : walsh_value(i, q);
        return (in_column * column_values_[j]) * inverse_first_[k];
    }

private:
    explicit ClosedProducts(const MonomialBasis& basis) : basis_(basis) {}

    // The characters as masks of Walsh functions (see walsh_masks), or as
    // vectors checked against each other within the tolerance: false where
    // the basis has no closed form.
    bool take_walsh_characters(std::vector<std::uint32_t> masks);
    bool take_characters(PacedInterruptCheck& paced);
    // Fills shares_values_ and shared_factors_, once the values are in
    // column_re_ and column_im_.
    void take_shared_factors(PacedInterruptCheck& paced);
    // B_i's value in column c, from its mask (see walsh_masks).
    Complex walsh_value(std::size_t i, std::size_t c) const {
        const Complex first = column_values_[i];
        return std::popcount(walsh_masks_[i] & c) % 2 == 0 ? first : -first;
    }
    // <B_k, B_i B_j> / |B_k|^2.
    Complex least_squares_factor(std::size_t i, std::size_t j, std::size_t k) const;

    const MonomialBasis& basis_;
    std::size_t size_ = 0;  // basis_.size(), read on every pair without its division
    std::size_t characters_ = 0;
    // Per matrix:
    std::vector<std::uint32_t> character_of_;
    // Its value in each column, n per column, in the exact mode (column 0
    // alone with Walsh masks, which give the rest); otherwise d per matrix,
    // real and imaginary parts apart, to be summed lane by lane.
    std::vector<Complex> column_values_;
    std::vector<double> column_re_, column_im_;
    std::vector<std::uint32_t> walsh_masks_;
    std::vector<std::uint32_t> first_row_;  // the row of its column 0, in the exact mode
    std::vector<Complex> inverse_first_;    // 1 / its value in column 0
    std::vector<double> squared_norm_;
    // Per pair of characters; no_character where the product is none of them,
    // which is orthogonal to all of them.
    static constexpr std::uint32_t no_character = UINT32_MAX;
    std::vector<std::uint32_t> character_product_;
    std::vector<std::int64_t> matrix_of_;  // per pattern and character, -1 for none
    double others_bound_ = 0.0;
    // Products are their multiples exactly (Pauli strings): a factor is read
    // off one entry, in O(1), instead of summed over d.
    bool exact_ = false;
    // least_squares_factor(i, j, k) reads of B_i and B_k their values alone,
    // and B_k's character is B_i's times B_j's. So where B_i and B_k have
    // the values of the first matrix of their character bit for bit, as most
    // of the Sylvester basis do, it gives the same bits for every i of one
    // character: it is summed once per character and j, entry x * n + j,
    // characters_ * n times instead of once per pair.
    std::vector<Complex> shared_factors_;
    std::vector<std::uint8_t> shares_values_;  // per matrix
};

// Adds the coefficient of B_k computed as `value` to out[kept], unless it is
// negligible (see true_coefficient).
inline void keep_coefficient(std::size_t k, Complex value, int exponent, std::array<Coefficient, 2>& out,
                             std::size_t& kept) {
    if (const std::optional<Complex> coefficient = true_coefficient(k, value, exponent))
        out[kept++] = {k, *coefficient};
}

// Both products of a pair as multiples: B_i B_j = forward B_forward_k and
// B_j B_i = backward B_backward_k, an index `none` for a product orthogonal
// to the basis.
struct ClosedPair {
    std::size_t forward_k, backward_k;
    Complex forward, backward;
};

// The coefficients of B_i B_j - B_j B_i (the commutator) or B_i B_j + B_j B_i
// that are not negligible, in increasing k: at most two, kept in `out`. The
// factors found are 2^-exponent times the true ones, as for a ProjectionQueue.
std::span<const Coefficient> pair_coefficients(const ClosedPair& pair, bool commutator, int exponent,
                                               std::array<Coefficient, 2>& out);

// Closed bases of fewer matrices are expanded on the calling thread alone:
// a pair costs little more than its lookups.
inline constexpr std::size_t closed_threaded_rows = 32;

// For j = i, ..., n - 1: on_pair(j, commutator, anticommutator) with what
// pair_coefficients keeps of both products of (i, j); the commutator of
// (i, i) is left empty.
template <class OnPair>
void for_each_closed_pair(const ClosedProducts& products, std::size_t i, int exponent, OnPair&& on_pair) {
    std::array<Coefficient, 2> commutator, anticommutator;
    constexpr std::size_t none = ClosedProducts::none;
    for (std::size_t j = i; j < products.size(); ++j) {
        const std::size_t forward_k = products.multiple(i, j);
        const std::size_t backward_k = j == i ? forward_k : products.multiple(j, i);
        const Complex forward = forward_k == none ? Complex{} : products.factor(i, j, forward_k);
        const Complex backward =
            j == i ? forward : (backward_k == none ? Complex{} : products.factor(j, i, backward_k));
        if (j != i && forward_k != none && forward_k == backward_k) {
            // Most pairs: both products are multiples of one matrix, and
            // pair_coefficients comes down to this.
            std::size_t commutators = 0, anticommutators = 0;
            keep_coefficient(forward_k, forward - backward, exponent, commutator, commutators);
            keep_coefficient(forward_k, forward + backward, exponent, anticommutator, anticommutators);
            on_pair(j, std::span<const Coefficient>(commutator.data(), commutators),
                    std::span<const Coefficient>(anticommutator.data(), anticommutators));
            continue;
        }
        const ClosedPair pair{forward_k, backward_k, forward, backward};
        on_pair(j, j == i ? std::span<const Coefficient>() : pair_coefficients(pair, true, exponent, commutator),
                pair_coefficients(pair, false, exponent, anticommutator));
    }
}

}  // namespace zenqa
