#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/algebra/algebra.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"

namespace zenqa {

// Superoperators are d*d x d*d matrices in row-major order. On the
// column-stacked vec(rho) (QuTiP's), entry (r, c) of rho is element c*d + r.

// Trace-preserving within this much of the largest entry: refused beyond it.
inline constexpr double trace_tolerance = 1e-8;

// The generator (A, b) of the coherence vector, as lindblad_generator gives
// it, of a trace-preserving superoperator on the column-stacked vec. Refuses
// (InvalidValue) a superoperator that does not preserve the trace and a basis
// that does not span the traceless matrices.
void from_liouvillian(const Algebra& algebra, const Complex* superoperator, Complex* a, Complex* b,
                      InterruptCheck check);

// The superoperator on the column-stacked vec of the generator (A, b).
void to_liouvillian(const Algebra& algebra, std::vector<Complex> a, const Complex* b, Complex* superoperator,
                    InterruptCheck check);

// The superoperator of (A, b) on the row-major vec, by columns: column q =
// r*d + c, the image of E_rc as d*d entries in row-major order, goes to
// q*d*d of `columns` (d^4 entries, zeroed before). A is given by its columns
// (A^T row-major), so that A w reads only the columns of the nonzero w_j. Where
// the map preserves Hermiticity, only the images of E_kl with k <= l are
// formed, that of E_lk being their adjoint; on a dense basis of Hermitian and
// anti-Hermitian matrices, all come from hermitian_unit_images instead.
void superoperator_columns(const Algebra& algebra, const Complex* a_columns, const Complex* b,
                           bool preserves_hermiticity, Complex* columns, Workers& workers);

}  // namespace zenqa
