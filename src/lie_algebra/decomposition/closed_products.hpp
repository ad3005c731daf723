#pragma once

#include <array>
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

    struct Multiple {
        std::size_t k;
        Complex factor;  // the least-squares coefficient of B_k
    };
    // B_i B_j = factor B_k within the deviation; none where B_i B_j is
    // orthogonal to the basis within it.
    std::optional<Multiple> product(std::size_t i, std::size_t j) const;

    // Both products of a pair, B_i B_j and B_j B_i.
    struct Pair {
        std::optional<Multiple> forward, backward;
    };
    Pair pair(std::size_t i, std::size_t j) const {
        const std::optional<Multiple> forward = product(i, j);
        return {forward, i == j ? forward : product(j, i)};
    }

private:
    explicit ClosedProducts(const MonomialBasis& basis) : basis_(basis) {}

    const MonomialBasis& basis_;
    std::size_t characters_ = 0;
    // Per matrix:
    std::vector<std::uint32_t> character_of_;
    std::vector<Complex> column_values_;  // d per matrix, its value in each column
    std::vector<Complex> inverse_first_;  // 1 / its value in column 0
    std::vector<double> squared_norm_;
    std::vector<std::uint32_t> character_product_;  // per pair of characters
    std::vector<std::int64_t> matrix_of_;           // per pattern and character, -1 for none
    double others_bound_ = 0.0;
    // Products are their multiples exactly (Pauli strings): a factor is read
    // off one entry, in O(1), instead of summed over d.
    bool exact_ = false;
};

// The coefficients of B_i B_j - B_j B_i (the commutator) or B_i B_j + B_j B_i
// that are not negligible, in increasing k: at most two, kept in `out`. The
// factors found are 2^-exponent times the true ones, as for a ProjectionQueue.
std::span<const Coefficient> pair_coefficients(const ClosedProducts::Pair& pair, bool commutator, int exponent,
                                               std::array<Coefficient, 2>& out);

}  // namespace zenqa
