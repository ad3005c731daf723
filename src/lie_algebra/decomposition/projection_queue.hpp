#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/basis_forms/monomial_target.hpp"
#include "lie_algebra/basis_forms/sparse_accumulator.hpp"
#include "lie_algebra/decomposition/block_projector.hpp"
#include "lie_algebra/decomposition/negligible.hpp"

namespace zenqa {

// Targets queued for a BlockProjector and expanded together, one matrix
// product per block. One queue per thread; the projector is shared.
class ProjectionQueue {
public:
    explicit ProjectionQueue(const BlockProjector& projector);

    // Adds a target to the queue, whose true coefficients are the computed
    // ones times 2^exponent. Blocks where the target is so small that every
    // coefficient is certainly negligible are left out.
    // Target is a SparseAccumulator or a MonomialTarget.
    template <class Target>
    void queue(const Target& target, int exponent);
    // How many target entries the queue holds.
    std::size_t staged() const { return staged_targets_.size(); }
    // Expands every queued target.
    void expand();
    // The true coefficients of queued target t that are not negligible, in
    // increasing k; valid until the next call. One beyond the range of
    // doubles is a ResultOverflow.
    const std::vector<Coefficient>& coefficients(std::size_t t);
    // Empties the queue.
    void clear();

private:
    // What is queued in one block: where the targets restricted to it start
    // in the staged targets, and their coefficients, matrices x queued,
    // column-major. The targets of all blocks share one array, so that what
    // the queue keeps between batches is one batch, not one per block.
    struct Staged {
        std::vector<std::size_t> columns;
        std::vector<Complex> expansions;
        // The target being queued: its number plus one, its squared norm in
        // this block, and where it is gathered in the scratch.
        std::size_t last_target = 0;
        double squared_norm = 0.0;
        std::size_t scratch_column = 0;
    };
    // A block's column in its staged targets, or a lone coefficient.
    struct Placement {
        std::size_t block;
        std::size_t column;  // the index in lone_ for a lone coefficient
        bool lone;
    };

    const BlockProjector& projector_;
    std::vector<Staged> staged_blocks_;  // one per block of the projector
    std::vector<std::size_t> touched_blocks_;
    std::vector<Complex> scratch_;              // the target being queued, a column per block it touches
    std::vector<Complex> staged_targets_;       // the columns to project, in the order they came
    std::vector<Complex> block_targets_;        // one block's, gathered for its product
    std::vector<Placement> placements_;         // the columns of each queued target, target by target
    std::vector<std::size_t> first_placement_;  // per queued target, plus one end marker
    std::vector<int> exponents_;                // per queued target
    std::vector<Coefficient> lone_;             // coefficients found without a projection
    std::vector<Coefficient> coefficients_;
};

}  // namespace zenqa
