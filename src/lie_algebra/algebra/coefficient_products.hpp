#pragma once

#include <vector>

#include "array/complex_matrix.hpp"
#include "array/index_map.hpp"
#include "base/interrupt_check.hpp"

namespace zenqa {

// Products of algebra elements given by coefficient arrays: the coefficients
// are the array's elements in row-major order, a_0, a_1, ... Each routine
// visits the map's entries in increasing key order, which is the order of the
// loops over i, then j (then k), so the sums come out in that order while the
// cost follows the entries rather than the loops.

// sum over (i, j) of (a_i * b_j) * c_ij * basis[k_ij] as an m x m matrix,
// m the row count of basis[0]; terms of modulus at most the negligible bound
// are left out.
ComplexMatrix commutator_matrix(const ComplexMatrix& l_a, const ComplexMatrix& l_b, const StructureConstantMap& f_ijk,
                                const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt = nullptr);

// x_k = sum over (i, j) with target k of (c_ij * a_i) * b_j, in column 0 of an
// array shaped like l_a; targets at or beyond its row count are dropped.
ComplexMatrix cross_coefficients(const ComplexMatrix& l_a, const ComplexMatrix& l_b, const StructureConstantMap& f_ijk,
                                 InterruptCheck check_interrupt = nullptr);

// y_k = sum over (i, j) of (d_(ijk) * a_i) * b_j, d_(ijk) the value of the first
// of the orderings (i, j, k), (i, k, j), (j, i, k), (j, k, i), (k, i, j),
// (k, j, i) that the map holds, in column 0 of an array shaped like l_a.
ComplexMatrix dot_coefficients(const ComplexMatrix& l_a, const ComplexMatrix& l_b, const DCoefficientMap& f_ijk,
                               InterruptCheck check_interrupt = nullptr);

}  // namespace zenqa
