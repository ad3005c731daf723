#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "lie_algebra/block_projector.hpp"
#include "lie_algebra/decomposition.hpp"
#include "lie_algebra/pair_tensor.hpp"

namespace zenqa {

// A basis of n matrices d x d with every product of two of its elements
// decomposed once, by the rules of structure_constants and d_coefficients
// but keeping every non-negligible coefficient. Immutable once built.
class Algebra {
public:
    // `basis` holds the n matrices in row-major order, one after another;
    // n >= 1, d >= 1, every value finite.
    Algebra(std::vector<Complex> basis, std::size_t n, std::size_t d, InterruptCheck check_interrupt);

    std::size_t size() const { return n_; }
    std::size_t dim() const { return d_; }
    // Writes the n matrices, row-major, one after another.
    void write_basis(Complex* out) const;
    // T[i, j, k]: the coefficient of B_k in [B_i, B_j].
    const PairTensor& structure_constants() const { return structure_; }
    // T[i, j, k]: half the coefficient of B_k in {B_i, B_j}.
    const PairTensor& d_coefficients() const { return d_coefficients_; }
    const BlockProjector& projector() const { return projector_; }

    // The nonzero entries of the basis matrices: matrix i has value at
    // position p = r*d + c, ordered by matrix.
    struct BasisEntry {
        std::size_t matrix;
        std::size_t position;
        Complex value;
    };
    const std::vector<BasisEntry>& basis_entries() const { return entries_; }

private:
    // The basis as the d*d x n column matrix: column-major, it holds the
    // matrices one after another. Only construction needs it whole.
    Algebra(const ComplexMatrix& columns, std::size_t d, InterruptCheck check_interrupt);

    std::size_t n_, d_;
    std::vector<BasisEntry> entries_;
    BlockProjector projector_;
    PairTensor structure_, d_coefficients_;
};

}  // namespace zenqa
