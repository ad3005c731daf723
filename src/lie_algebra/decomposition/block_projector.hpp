#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "array/position_slots.hpp"
#include "lie_algebra/basis_forms/monomial_basis.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"
#include "lie_algebra/decomposition/value_pattern.hpp"
#include "lie_algebra/lapack/matrix_product.hpp"

namespace zenqa {

// Minimum-norm least-squares coefficients of targets in a basis, as zgelsd
// would give them for the whole d*d x n column matrix with rcond -1.
//
// Positions (rows of the column matrix) linked through a common basis matrix
// form a block; blocks share neither positions nor matrices, so the
// pseudo-inverse is block diagonal. Each block's pseudo-inverse is computed
// once, and a target costs only the blocks its nonzero entries fall in. For
// the sparse standard bases the blocks are small; a dense basis is one block.
// Immutable once built, so threads may share it; a ProjectionQueue expands
// targets with it.
class BlockProjector {
public:
    explicit BlockProjector(const ComplexMatrix& columns);
    explicit BlockProjector(const SparseColumns& columns);
    // For a monomial basis, given as its columns too: its groups are the
    // blocks, found without a table of the d*d positions.
    BlockProjector(const SparseColumns& columns, const MonomialBasis& basis);

    // Where an entry of a target lies: its block (-1 outside every block) and
    // its index there. `key` is the entry's slot for a general basis, its
    // position for a monomial one, as the targets of each give them.
    // `hint`, a block the entry is likely in, or -1, shortens the search.
    struct Located {
        std::ptrdiff_t block;
        std::size_t local;
    };
    Located locate(std::size_t key, std::ptrdiff_t hint) const {
        if (pattern_rows_.empty()) return {block_of_[key], local_of_[key]};
        const std::size_t r = split_.row(key), c = split_.col(key);
        // A block of the monomial basis holds one position per row, in row order.
        if (hint >= 0 && pattern_rows_[static_cast<std::size_t>(hint) * d_ + c] == r) return {hint, r};
        return {column_blocks_->at(r, c), r};
    }
    // locate for an entry given by its position p.
    Located locate_position(std::size_t p, std::ptrdiff_t hint) const {
        if (!pattern_rows_.empty()) return locate(p, hint);
        const std::uint32_t slot = slots_->slot(p);
        return slot == PositionSlots::none ? Located{-1, 0} : locate(slot, hint);
    }
    // The positions where a general basis has entries, shared with the
    // targets built for it.
    const std::shared_ptr<const PositionSlots>& slots() const { return slots_; }

    // Every minimum-norm least-squares coefficient, negligible or not, of
    // `count` targets given in full (the d*d entries of each in row-major
    // order, one target after another), n per target into `coefficients`.
    // Those of the basis matrices before `first` are left zero, and cost
    // nothing where a block holds them.
    void project(std::size_t count, const Complex* targets, Complex* coefficients, std::size_t first = 0,
                 ComplexProducts products = ComplexProducts::four_real) const;
    // The coefficients k >= first of `count` targets given as conjugated
    // rows, target t's entry p at conj(rows[t + p * rows_stride]), into
    // coefficients[t * stride + k]; the others are left as they are.
    void project_conjugate_rows(std::size_t count, const Complex* rows, std::size_t rows_stride, Complex* coefficients,
                                std::size_t stride, std::size_t first, ComplexProducts products) const;
    // The same for targets given as the nonzero entries of their columns;
    // each costs only the blocks its entries fall in.
    void project(const SparseColumns& targets, Complex* coefficients) const;
    // f(k, value) for the nonzero entries of column p of the pseudo-inverse,
    // the coefficients of the unit target at position p, in increasing k.
    template <class F>
    void for_each_in_inverse_column(std::size_t p, F&& f) const {
        const Located located = locate_position(p, -1);
        if (located.block < 0) return;
        const Block& block = blocks_[static_cast<std::size_t>(located.block)];
        const std::size_t matrices = block.matrices.size();
        const Complex* column = block.pseudo_inverse.data() + located.local * matrices;
        for (std::size_t e = 0; e < matrices; ++e)
            if (!is_zero(column[e])) f(block.matrices[e], column[e]);
    }
    // The rank of the column matrix, by the rule the pseudo-inverse keeps.
    std::size_t rank() const { return rank_; }
    // The basis matrices, and the positions of their entries (d*d).
    std::size_t matrices() const { return matrix_count_; }
    std::size_t positions() const { return position_count_; }
    // The entries the blocks' pseudo-inverses hold, zero or not, and the
    // positions the blocks hold.
    std::size_t inverse_entries() const {
        std::size_t entries = 0;
        for (const Block& block : blocks_) entries += block.pseudo_inverse.size();
        return entries;
    }
    std::size_t block_positions() const {
        std::size_t positions = 0;
        for (const Block& block : blocks_) positions += block.positions.size();
        return positions;
    }
    // Whether one block holds every position and matrix (a dense basis), so
    // that a projection is one matrix product with the whole pseudo-inverse.
    bool is_one_block() const {
        return blocks_.size() == 1 && blocks_[0].positions.size() == position_count_ &&
               blocks_[0].matrices.size() == matrix_count_;
    }

    // A target of a block, given by its entries there, that is one basis
    // matrix of the block times a factor has only that one coefficient that
    // is not negligible. For an orthogonal block of a monomial basis (Pauli
    // strings, Sylvester: most products of two of its matrices), the matrix is
    // found by the pattern of its values and checked in O(d), instead of a
    // projection in O(d^2). `local` is its index in the block, `value` its
    // coefficient as the projection computes it; every other coefficient is at
    // most `others` in modulus. None where no such matrix is found.
    struct LoneCoefficient {
        std::size_t local;
        Complex value;
        double others;
    };
    std::optional<LoneCoefficient> lone_coefficient(std::size_t block, const Complex* target) const;

private:
    friend class ProjectionQueue;

    struct Block {
        std::vector<std::size_t> matrices;    // increasing basis indices
        std::vector<std::size_t> positions;   // increasing positions
        std::vector<Complex> pseudo_inverse;  // matrices x positions, column-major
        double pseudo_inverse_norm = 0.0;     // its spectral norm
        // For an orthogonal block of a monomial basis, whose pseudo-inverse
        // has the rows B_e^H / |B_e|^2: the squared norms |B_e|^2, and its
        // matrices by the key of their values.
        std::vector<double> squared_norms;
        std::vector<std::pair<std::uint64_t, std::size_t>> keyed_matrices;
    };

    template <class Columns>
    void find_blocks(const Columns& columns);
    template <class Columns>
    void invert_blocks(const Columns& columns);
    void key_matrices(Block& block, const ComplexMatrix& values, std::vector<double> squared_norms) const;

    std::vector<Block> blocks_;
    std::size_t matrix_count_ = 0;
    std::size_t rank_ = 0;
    std::size_t position_count_ = 0;  // d*d
    // For a general basis, the positions of its entries, and per slot:
    std::shared_ptr<const PositionSlots> slots_;
    std::vector<std::ptrdiff_t> block_of_;  // its block
    std::vector<std::size_t> local_of_;     // its index inside its block
    // For a monomial basis, whose groups are the blocks: d rows per block,
    // the row of its entry in each column, and where the blocks lie.
    std::size_t d_ = 0;
    PositionSplit split_{2};  // a placeholder for a general basis
    std::vector<std::uint32_t> pattern_rows_;
    std::shared_ptr<const ColumnGroups> column_blocks_;
    std::optional<ValuePattern> value_pattern_;  // for a monomial basis
};

}  // namespace zenqa
