#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/algebra/algebra.hpp"

namespace zenqa {

// The terms of d rho/dt = -i[H, rho] + sum_m g_m (L_m rho L_m^H - 1/2 {L_m^H L_m, rho}),
// every matrix d x d in row-major order, all values finite.
struct LindbladEquation {
    std::vector<Complex> hamiltonian;  // d*d
    std::vector<Complex> jumps;        // m matrices, one after another
    std::vector<double> rates;         // m
};

// Hermitian within this much of the largest entry: refused beyond it.
inline constexpr double hermiticity_tolerance = 1e-10;

// The generator of the coherence vector x, rho = I/d + sum_k x_k B_k, as
// dx/dt = A x + b: column j of A (row-major, n x n) holds the coefficients of
// L(B_j), and b those of L(I/d). Refuses (InvalidValue) a non-Hermitian
// Hamiltonian and a basis that does not span the traceless matrices.
void lindblad_generator(const Algebra& algebra, const LindbladEquation& equation, Complex* a, Complex* b,
                        InterruptCheck check);

}  // namespace zenqa
