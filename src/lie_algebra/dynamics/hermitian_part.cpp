#include "lie_algebra/dynamics/hermitian_part.hpp"

#include <algorithm>
#include <cmath>

namespace zenqa {

namespace {

// Takes the component of z that L_h drops, leaving the other.
double take_component(Complex& z, bool keeps_real) {
    double& removed = keeps_real ? z.im : z.re;
    const double value = removed;
    removed = 0.0;
    return value;
}

void put_component(Complex& z, bool keeps_real, double value) { (keeps_real ? z.im : z.re) = value; }

}  // namespace

std::optional<HermitianPart> HermitianPart::of(const Algebra& algebra) {
    const std::optional<std::vector<bool>>& hermitian = algebra.facts().hermitian;
    if (!hermitian) return std::nullopt;
    return HermitianPart(*hermitian);
}

// Over the team by pieces of columns j of A, each summing its part of the
// rows of |A - A_h|; the parts are added in order, whatever the threads.
void HermitianPart::take(Complex* a_columns, std::vector<Complex>& b, Workers& workers) {
    constexpr std::size_t piece = 32;  // columns
    const std::size_t n = b.size(), pieces = (n + piece - 1) / piece;
    removed_a_.resize(n * n);
    removed_b_.resize(n);
    std::vector<double> part_sums(pieces * n);
    workers.run(pieces, piece * n, [&](std::size_t p) {
        double* row_sums = part_sums.data() + p * n;
        for (std::size_t j = p * piece; j < std::min(n, (p + 1) * piece); ++j)
            for (std::size_t k = 0; k < n; ++k) {
                const double removed = take_component(a_columns[j * n + k], keeps_real(k, j));
                removed_a_[j * n + k] = removed;
                row_sums[k] += std::abs(removed);
            }
    });
    std::vector<double> row_sums(n);
    for (std::size_t p = 0; p < pieces; ++p)
        for (std::size_t k = 0; k < n; ++k) row_sums[k] += part_sums[p * n + k];
    largest_removed_row_sum_ = *std::max_element(row_sums.begin(), row_sums.end());
    for (std::size_t k = 0; k < n; ++k) removed_b_[k] = take_component(b[k], hermitian_[k]);
}

void HermitianPart::restore(Complex* a_columns, std::vector<Complex>& b) const {
    const std::size_t n = b.size();
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < n; ++k)
            put_component(a_columns[j * n + k], keeps_real(k, j), removed_a_[j * n + k]);
    for (std::size_t k = 0; k < n; ++k) put_component(b[k], hermitian_[k], removed_b_[k]);
}

// Entry p of the image of E_q under L - L_h is sum_k V[p, k] (dA w_q + [q on
// the diagonal] db)_k, with w_q the coefficients of E_q less its trace part,
// each at most twice the largest coefficient of a unit matrix.
double HermitianPart::removed_bound(const Algebra& algebra) const {
    double largest_b = 0.0;
    for (const double x : removed_b_) largest_b = std::max(largest_b, std::abs(x));
    const BasisFacts& facts = algebra.facts();
    return facts.largest_position_sum * (largest_removed_row_sum_ * 2.0 * facts.largest_unit_coefficient + largest_b);
}

}  // namespace zenqa
