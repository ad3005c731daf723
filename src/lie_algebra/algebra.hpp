#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/block_projector.hpp"
#include "lie_algebra/decomposition.hpp"
#include "lie_algebra/pair_tensor.hpp"
#include "lie_algebra/sparse_columns.hpp"

namespace zenqa {

// A basis of n matrices d x d with every product of two of its elements
// decomposed once, by the rules of structure_constants and d_coefficients
// but keeping every non-negligible coefficient. Immutable once built.
class Algebra {
public:
    // The basis as the nonzero entries of its d*d x n columns: column k
    // holds matrix k in row-major order. n >= 1, d >= 1, every value finite.
    Algebra(SparseColumns columns, std::size_t d, InterruptCheck check_interrupt);

    std::size_t size() const { return n_; }
    std::size_t dim() const { return d_; }
    // Writes the n matrices, row-major, one after another.
    void write_basis(Complex* out) const;
    // T[i, j, k]: the coefficient of B_k in [B_i, B_j].
    const PairTensor& structure_constants() const { return structure_; }
    // T[i, j, k]: half the coefficient of B_k in {B_i, B_j}.
    const PairTensor& d_coefficients() const { return d_coefficients_; }
    const BlockProjector& projector() const { return projector_; }

    // Matrix i has the nonzero entries of column i, at positions r*d + c.
    const SparseColumns& basis_columns() const { return columns_; }

private:
    std::size_t n_, d_;
    SparseColumns columns_;
    BlockProjector projector_;
    PairTensor structure_, d_coefficients_;
};

}  // namespace zenqa
