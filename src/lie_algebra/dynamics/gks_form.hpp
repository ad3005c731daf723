#pragma once

#include <vector>

#include "array/complex.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/algebra/algebra.hpp"

namespace zenqa {

// Hermitian within this much of the largest entry: refused beyond it.
inline constexpr double choi_hermiticity_tolerance = 1e-8;

// The Gorini-Kossakowski-Sudarshan form of the generator (A, b): the
// traceless Hermitian Hamiltonian H (d x d) and the Hermitian Kossakowski
// matrix C (n x n) in the algebra's basis, with
//     L(rho) = -i[H, rho] + sum_ij C_ij (B_i rho B_j^H - 1/2 {B_j^H B_i, rho}).
// The basis must be d*d - 1 independent traceless matrices (InvalidValue
// otherwise). Every (A, b) preserves the trace; one whose map does not
// preserve Hermiticity has no such form and is refused (InvalidValue). On
// entry `kossakowski` holds A (row-major): C takes its memory once A is used.
void gks_form(const Algebra& algebra, const Complex* b, Complex* hamiltonian, Complex* kossakowski,
              InterruptCheck check);

}  // namespace zenqa
