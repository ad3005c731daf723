#pragma once

#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/algebra/algebra.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"

namespace zenqa {

// The images of every unit matrix E_kl under the Hermitian part L_h of a
// generator, written as superoperator_columns writes them, for a dense basis
// of Hermitian and anti-Hermitian matrices: `dense_basis` its d*d x n
// columns, `hermitian` which are Hermitian, A (by its columns) and b those
// of L_h. L_h maps Hermitian matrices to Hermitian ones, so on the Hermitian
// units E_kk, E_kl + E_lk and i(E_kl - E_lk) it is real: two real matrix
// products give their images, a quarter and a half of what the complex ones
// for half the E_kl cost.
void hermitian_unit_images(const Algebra& algebra, const Complex* dense_basis, const std::vector<bool>& hermitian,
                           const Complex* a_columns, const Complex* b, Complex* columns, Workers& workers);

// For such a generator's images (unit matrix E_kl's at (k*d + l)*d*d), the
// rows of C = V^+ R V^+H from the diagonal on, conjugated, each into its row
// of `kossakowski` (n x n). V^+ is real on the coordinates of the Hermitian
// units, and takes half the complex work.
void hermitian_kossakowski_rows(const Algebra& algebra, const std::vector<bool>& hermitian, const Complex* images,
                                Complex* kossakowski, Workers& workers);

}  // namespace zenqa
