#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "lie_algebra/sparse_basis.hpp"

namespace zenqa {

struct Coefficient {
    std::size_t k;
    Complex value;
};

// Minimum-norm least-squares coefficients of targets in a basis, as zgelsd
// would give them for the whole d*d x n column matrix with rcond -1.
//
// Positions (rows of the column matrix) linked through a common basis matrix
// form a block; blocks share neither positions nor matrices, so the
// pseudo-inverse is block diagonal. Each block's pseudo-inverse is computed
// once, and a target costs only the blocks its nonzero entries fall in. For
// the sparse standard bases the blocks are small; a dense basis is one block.
class BlockProjector {
public:
    explicit BlockProjector(const ComplexMatrix& columns);

    // The coefficients that are not negligible, in increasing k.
    const std::vector<Coefficient>& project(const SparseAccumulator& target);

private:
    struct Block {
        std::vector<std::size_t> matrices;  // increasing basis indices
        // Pseudo-inverse, matrices x positions, stored column by column with
        // the column length padded to whole chunks, split into real and
        // imaginary parts for the vectorized kernel.
        std::vector<double> pseudo_inverse_re;
        std::vector<double> pseudo_inverse_im;
        std::size_t column_stride = 0;
        // The target's entries in this block: local positions and values.
        std::vector<std::size_t> target_positions;
        std::vector<double> target_re;
        std::vector<double> target_im;
    };

    void find_blocks(const ComplexMatrix& columns);
    void invert_blocks(const ComplexMatrix& columns);

    std::vector<Block> blocks_;
    std::vector<std::ptrdiff_t> block_of_;  // per position; -1 outside every block
    std::vector<std::size_t> local_of_;     // per position: its index inside its block
    std::vector<std::vector<std::size_t>> block_positions_;
    std::vector<double> sums_re_;  // coefficient sums of one block
    std::vector<double> sums_im_;
    std::vector<unsigned char> block_touched_;
    std::vector<std::size_t> touched_blocks_;
    std::vector<Coefficient> coefficients_;
};

}  // namespace zenqa
