#pragma once

#include <vector>

#include "array/complex_matrix.hpp"
#include "array/index_map.hpp"
#include "lie_algebra/interrupt_check.hpp"

namespace zenqa {

// For every ordered pair i != j, the lowest k at which the minimum-norm
// least-squares expansion of [B_i, B_j] in the basis has a coefficient that is
// not negligible, with that coefficient. Pairs whose expansion is negligible
// throughout have no entry.
StructureConstantMap structure_constants(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt);

// For every ordered pair (i, j), i == j included, every non-negligible
// coefficient x_k of the expansion of {B_i, B_j} (minus I/d when i == j),
// stored halved under (i, j, k).
DCoefficientMap d_coefficients(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt);

}  // namespace zenqa
