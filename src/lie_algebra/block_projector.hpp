#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "lie_algebra/sparse_accumulator.hpp"
#include "lie_algebra/sparse_columns.hpp"

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
// Targets are queued and expanded together, one matrix product per block.
class BlockProjector {
public:
    explicit BlockProjector(const ComplexMatrix& columns);
    explicit BlockProjector(const SparseColumns& columns);

    // Adds a target to the queue, whose true coefficients are the computed
    // ones times 2^exponent. Blocks where the target is so small that every
    // coefficient is certainly negligible are left out.
    void queue(const SparseAccumulator& target, int exponent = 0);
    // How many target entries the queue holds.
    std::size_t staged() const { return staged_; }
    // Expands every queued target.
    void expand_queue();
    // The true coefficients of queued target t that are not negligible, in
    // increasing k; valid until the next call. One beyond the range of
    // doubles is a ResultOverflow.
    const std::vector<Coefficient>& coefficients(std::size_t t);
    // Empties the queue.
    void clear_queue();

    // Every minimum-norm least-squares coefficient, negligible or not, of
    // `count` targets given in full (the d*d entries of each in row-major
    // order, one target after another), n per target into `coefficients`.
    // Reads only what the constructor computed, so threads may share it.
    void project(std::size_t count, const Complex* targets, Complex* coefficients) const;

private:
    struct Block {
        std::vector<std::size_t> matrices;    // increasing basis indices
        std::vector<std::size_t> positions;   // increasing positions
        std::vector<Complex> pseudo_inverse;  // matrices x positions, column-major
        double pseudo_inverse_norm = 0.0;     // its spectral norm
        // Queued targets restricted to the block, positions x queued, and
        // their coefficients, matrices x queued, both column-major.
        std::vector<Complex> targets;
        std::vector<Complex> expansions;
        std::size_t queued = 0;
        // The target being queued: its number plus one, its squared norm in
        // this block, and whether the block takes a column for it.
        std::size_t last_target = 0;
        double squared_norm = 0.0;
        bool placed = false;
    };
    struct Placement {
        std::size_t block;
        std::size_t column;
    };

    template <class Columns>
    void find_blocks(const Columns& columns);
    template <class Columns>
    void invert_blocks(const Columns& columns);

    std::vector<Block> blocks_;
    std::size_t matrix_count_ = 0;
    std::vector<std::ptrdiff_t> block_of_;  // per position; -1 outside every block
    std::vector<std::size_t> local_of_;     // per position: its index inside its block
    std::vector<std::size_t> touched_blocks_;
    std::size_t staged_ = 0;
    std::vector<Placement> placements_;         // the columns of each queued target, target by target
    std::vector<std::size_t> first_placement_;  // per queued target, plus one end marker
    std::vector<int> exponents_;                // per queued target
    std::vector<Coefficient> coefficients_;
};

}  // namespace zenqa
