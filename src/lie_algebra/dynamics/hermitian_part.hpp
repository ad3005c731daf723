#pragma once

#include <optional>
#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/algebra/algebra.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"

namespace zenqa {

// The part L_h = (L + L')/2 of a generator that preserves Hermiticity, where
// L'(X) = L(X^H)^H, on a basis of Hermitian and anti-Hermitian matrices.
// With B_k^H = s_k B_k (s_k = +-1), L' has A'_kj = s_k s_j conj(A_kj) and
// b'_k = s_k conj(b_k): L_h keeps, of each entry, the real or the imaginary
// component. Its superoperator needs only half the images of the unit
// matrices, and its Choi matrix is the Hermitian part of L's.
class HermitianPart {
public:
    // None unless every basis matrix is Hermitian or anti-Hermitian (see
    // BasisFacts).
    static std::optional<HermitianPart> of(const Algebra& algebra);

    // Turns A (by its columns: A^T row-major) and b into those of L_h,
    // keeping the components taken out for restore and removed_bound.
    void take(Complex* a_columns, std::vector<Complex>& b, Workers& workers);
    void restore(Complex* a_columns, std::vector<Complex>& b) const;
    // A bound on every entry of the Choi matrix of L - L_h: |R - R^H| is twice
    // its largest entry.
    double removed_bound(const Algebra& algebra) const;

private:
    explicit HermitianPart(const std::vector<bool>& hermitian) : hermitian_(hermitian) {}
    // Whether entry (k, j) of A keeps its real component.
    bool keeps_real(std::size_t k, std::size_t j) const { return hermitian_[k] == hermitian_[j]; }

    const std::vector<bool>& hermitian_;  // s_k = +1, the algebra's own
    std::vector<double> removed_a_, removed_b_;
    double largest_removed_row_sum_ = 0.0;  // of |A - A_h|
};

}  // namespace zenqa
