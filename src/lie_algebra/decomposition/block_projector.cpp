#include "lie_algebra/decomposition/block_projector.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "lie_algebra/lapack/lapack.hpp"
#include "lie_algebra/lapack/least_squares.hpp"
#include "lie_algebra/lapack/matrix_product.hpp"

namespace zenqa {

namespace {

std::size_t find_root(std::vector<std::size_t>& parent, std::size_t p) {
    while (parent[p] != p) {
        parent[p] = parent[parent[p]];
        p = parent[p];
    }
    return p;
}

// The entries the columns store, zero or not.
std::size_t stored_entries(const ComplexMatrix& columns) { return columns.rows() * columns.cols(); }
std::size_t stored_entries(const SparseColumns& columns) { return columns.nonzeros(); }

// Columns count as orthogonal when every off-diagonal Gram entry is within
// this much of the geometric mean of its two diagonal ones: far beyond what
// the results need, so the closed-form inverse is as good as zgelsd's.
constexpr double orthogonality_tolerance = 1e-14;

// Whether the columns of a block with this Gram matrix are orthogonal.
bool orthogonal(const std::vector<Complex>& gram, std::size_t count) {
    for (std::size_t e = 0; e < count; ++e) {
        for (std::size_t f = e + 1; f < count; ++f) {
            const Complex g = gram[e * count + f];
            const double bound = orthogonality_tolerance * std::sqrt(gram[e * count + e].re * gram[f * count + f].re);
            if (!(std::hypot(g.re, g.im) <= bound)) return false;
        }
    }
    return true;
}

// The minimum-norm least-squares solution of values x = identity, the
// pseudo-inverse, as zgelsd gives it. A block of many more positions than
// matrices (a sparse basis of large d) is solved as its adjoint against the
// smaller identity instead, pinv(A) = pinv(A^H)^H, so that it costs its own
// size rather than the square of its positions; `adjoint` says which x came
// out. Smaller blocks keep the direct solve, whose rounding the results of
// the standard bases were fixed by.
constexpr std::size_t adjoint_solve_positions = 1024;  // an identity of 16 MiB

LeastSquaresSolution solve_block(const ComplexMatrix& values, bool adjoint, double rcond = -1.0) {
    if (!adjoint) return solve_least_squares(values, ComplexMatrix::identity(values.rows()), rcond);
    ComplexMatrix transposed = ComplexMatrix::zeros(values.cols(), values.rows(), Layout::ColumnMajor);
    for (std::size_t local = 0; local < values.rows(); ++local) {
        for (std::size_t e = 0; e < values.cols(); ++e) {
            const Complex v = values.at(local, e);
            transposed.set(e, local, {v.re, -v.im});
        }
    }
    return solve_least_squares(transposed, ComplexMatrix::identity(values.cols()), rcond);
}

// A block's column matrix, factored once. The pseudo-inverse of orthogonal
// columns v_e has the rows v_e^H / |v_e|^2; other blocks are solved by zgelsd
// against the identity.
struct BlockFactors {
    ComplexMatrix values;  // positions x matrices, column-major
    bool orthogonal = false;
    std::vector<double> squared_norms;  // of the columns, when orthogonal
    LeastSquaresSolution solution;      // otherwise, see solve_block
    bool adjoint = false;

    double largest_singular_value() const {
        if (!orthogonal) return solution.singular_values.front();
        double largest = 0.0;
        for (const double squared_norm : squared_norms) largest = std::max(largest, std::sqrt(squared_norm));
        return largest;
    }
};

template <class Columns>
BlockFactors factor_block(const Columns& columns, const std::vector<std::size_t>& block_positions,
                          const std::vector<std::size_t>& block_matrices) {
    const std::size_t positions = block_positions.size(), matrices = block_matrices.size();
    BlockFactors factors;
    factors.values = ComplexMatrix::zeros(positions, matrices, Layout::ColumnMajor);
    for (std::size_t local = 0; local < positions; ++local)
        for (std::size_t e = 0; e < matrices; ++e)
            factors.values.set(local, e, columns.at(block_positions[local], block_matrices[e]));
    std::vector<Complex> gram(matrices * matrices);
    multiply(true, matrices, matrices, positions, factors.values.data(), factors.values.data(), gram.data());
    factors.orthogonal = orthogonal(gram, matrices);
    if (factors.orthogonal) {
        for (std::size_t e = 0; e < matrices; ++e) factors.squared_norms.push_back(gram[e * matrices + e].re);
    } else {
        factors.adjoint = positions > adjoint_solve_positions && positions > matrices;
        factors.solution = solve_block(factors.values, factors.adjoint);
    }
    return factors;
}

struct PseudoInverse {
    std::vector<Complex> entries;  // matrices x positions, column-major
    double norm = 0.0;             // its spectral norm
    std::size_t rank = 0;          // singular values kept
};

// Columns of norm at or below the cutoff count as zero.
PseudoInverse invert_orthogonal(const BlockFactors& factors, double cutoff) {
    const std::size_t positions = factors.values.rows(), matrices = factors.values.cols();
    PseudoInverse inverse{std::vector<Complex>(matrices * positions)};
    for (std::size_t e = 0; e < matrices; ++e) {
        const double squared_norm = factors.squared_norms[e];
        if (!(std::sqrt(squared_norm) > cutoff)) continue;
        ++inverse.rank;
        inverse.norm = std::max(inverse.norm, 1.0 / std::sqrt(squared_norm));
        for (std::size_t local = 0; local < positions; ++local) {
            const Complex v = factors.values.at(local, e);
            inverse.entries[local * matrices + e] = {v.re / squared_norm, -v.im / squared_norm};
        }
    }
    return inverse;
}

// The block solved on its own kept singular values relative to its own
// largest; it is solved again where the cutoff changes its rank.
PseudoInverse invert_solved(BlockFactors& factors, double cutoff) {
    const std::size_t positions = factors.values.rows(), matrices = factors.values.cols();
    PseudoInverse inverse{std::vector<Complex>(matrices * positions)};
    const std::vector<double>& sigma = factors.solution.singular_values;
    const bool rank_differs = std::any_of(sigma.begin(), sigma.end(),
                                          [&](double s) { return s > lapack_epsilon * sigma.front() && s <= cutoff; });
    const double rcond = cutoff / sigma.front();
    if (rank_differs && rcond >= 1.0) return inverse;  // every singular value counts as zero
    if (rank_differs) factors.solution = solve_block(factors.values, factors.adjoint, rcond);
    // The smallest singular value that the solve kept.
    const double kept = std::max(cutoff, lapack_epsilon * sigma.front());
    for (const double s : sigma) {
        if (!(s > kept)) continue;
        ++inverse.rank;
        inverse.norm = std::max(inverse.norm, 1.0 / s);
    }
    const ComplexMatrix& x = factors.solution.x;
    for (std::size_t local = 0; local < positions; ++local) {
        for (std::size_t e = 0; e < matrices; ++e) {
            const Complex adjoint_entry = factors.adjoint ? x.at(local, e) : Complex{};
            inverse.entries[local * matrices + e] =
                factors.adjoint ? Complex{adjoint_entry.re, -adjoint_entry.im} : x.at(e, local);
        }
    }
    return inverse;
}

}  // namespace

BlockProjector::BlockProjector(const ComplexMatrix& columns)
    : matrix_count_(columns.cols()), position_count_(columns.rows()) {
    find_blocks(columns);
    invert_blocks(columns);
}

BlockProjector::BlockProjector(const SparseColumns& columns)
    : matrix_count_(columns.cols()), position_count_(columns.rows()) {
    find_blocks(columns);
    invert_blocks(columns);
}

BlockProjector::BlockProjector(const SparseColumns& columns, const MonomialBasis& basis)
    : matrix_count_(columns.cols()),
      position_count_(columns.rows()),
      d_(basis.dim()),
      split_(basis.dim()),
      column_blocks_(basis.column_groups()),
      value_pattern_(std::in_place, basis.dim()) {
    const std::size_t d = d_, groups = basis.groups().size();
    pattern_rows_.resize(groups * d);
    for (std::size_t b = 0; b < groups; ++b) {
        Block& block = blocks_.emplace_back();
        block.matrices = basis.groups()[b];
        const std::uint32_t* rows = basis.rows(block.matrices.front());
        block.positions.resize(d);
        for (std::size_t c = 0; c < d; ++c) {
            block.positions[rows[c]] = std::size_t{rows[c]} * d + c;
            pattern_rows_[b * d + c] = rows[c];
        }
    }
    invert_blocks(columns);
}

template <class Columns>
void BlockProjector::find_blocks(const Columns& columns) {
    const std::size_t n = columns.cols();
    slots_ = std::make_shared<const PositionSlots>(
        PositionSlots::of(position_count_, stored_entries(columns), [&](auto&& mark) {
            for (std::size_t k = 0; k < n; ++k) for_each_nonzero(columns, k, [&](std::size_t p, Complex) { mark(p); });
        }));
    const PositionSlots& slots = *slots_;

    // Slots linked through a common matrix share a root.
    const std::size_t m = slots.size();
    std::vector<std::size_t> parent(m);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    std::vector<std::ptrdiff_t> first_slot(n, -1);
    for (std::size_t k = 0; k < n; ++k) {
        for_each_nonzero(columns, k, [&](std::size_t p, Complex) {
            const std::size_t s = slots.slot(p);
            if (first_slot[k] < 0) {
                first_slot[k] = static_cast<std::ptrdiff_t>(s);
            } else {
                parent[find_root(parent, s)] = find_root(parent, static_cast<std::size_t>(first_slot[k]));
            }
        });
    }

    // Blocks in the order of their first basis matrix. A zero matrix belongs
    // to no block: its minimum-norm coefficient is always zero.
    std::vector<std::ptrdiff_t> block_of_root(m, -1);
    for (std::size_t k = 0; k < n; ++k) {
        if (first_slot[k] < 0) continue;
        std::ptrdiff_t& block = block_of_root[find_root(parent, static_cast<std::size_t>(first_slot[k]))];
        if (block < 0) {
            block = static_cast<std::ptrdiff_t>(blocks_.size());
            blocks_.emplace_back();
        }
        blocks_[static_cast<std::size_t>(block)].matrices.push_back(k);
    }
    block_of_.assign(m, -1);
    local_of_.assign(m, 0);
    for (std::size_t s = 0; s < m; ++s) {
        const std::ptrdiff_t block = block_of_root[find_root(parent, s)];
        std::vector<std::size_t>& block_positions = blocks_[static_cast<std::size_t>(block)].positions;
        block_of_[s] = block;
        local_of_[s] = block_positions.size();
        block_positions.push_back(slots.position(s));
    }
}

template <class Columns>
void BlockProjector::invert_blocks(const Columns& columns) {
    // Singular values count as zero at or below max(d*d, n) times machine
    // precision times the largest singular value of the whole column matrix,
    // the rule of NumPy's lstsq and pinv: where matrices are linearly
    // dependent, the factorization leaves the zero singular values a few
    // roundings above zero, and machine precision alone would keep them and
    // blow rounding up into the coefficients. The cutoff is known only once
    // every block is factored.
    std::vector<BlockFactors> factors;
    factors.reserve(blocks_.size());
    double largest = 0.0;
    for (const Block& block : blocks_) {
        factors.push_back(factor_block(columns, block.positions, block.matrices));
        largest = std::max(largest, factors.back().largest_singular_value());
    }
    const double cutoff = static_cast<double>(std::max(position_count_, matrix_count_)) * lapack_epsilon * largest;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        PseudoInverse inverse =
            factors[b].orthogonal ? invert_orthogonal(factors[b], cutoff) : invert_solved(factors[b], cutoff);
        blocks_[b].pseudo_inverse = std::move(inverse.entries);
        blocks_[b].pseudo_inverse_norm = inverse.norm;
        rank_ += inverse.rank;
        if (!pattern_rows_.empty() && factors[b].orthogonal)
            key_matrices(blocks_[b], factors[b].values, std::move(factors[b].squared_norms));
        factors[b] = {};  // so that a large basis has one block's factors at a time beside its inverse
    }
}

void BlockProjector::key_matrices(Block& block, const ComplexMatrix& values, std::vector<double> squared_norms) const {
    const std::size_t positions = values.rows(), matrices = values.cols();
    block.squared_norms = std::move(squared_norms);
    for (std::size_t e = 0; e < matrices; ++e)
        if (const auto key = value_pattern_->key(values.data() + e * positions))
            block.keyed_matrices.emplace_back(*key, e);
    std::sort(block.keyed_matrices.begin(), block.keyed_matrices.end());
}

std::optional<BlockProjector::LoneCoefficient> BlockProjector::lone_coefficient(std::size_t b,
                                                                                const Complex* target) const {
    const Block& block = blocks_[b];
    if (block.keyed_matrices.empty()) return std::nullopt;
    const std::size_t positions = block.positions.size(), matrices = block.matrices.size();
    const auto key = value_pattern_->key(target);
    if (!key) return std::nullopt;
    const auto first =
        std::lower_bound(block.keyed_matrices.begin(), block.keyed_matrices.end(), std::pair{*key, std::size_t{0}});
    std::optional<LoneCoefficient> best;
    for (auto candidate = first; candidate != block.keyed_matrices.end() && candidate->first == *key; ++candidate) {
        const std::size_t e = candidate->second;
        // The coefficient as the projection sums it, along row e of the
        // pseudo-inverse.
        const Complex* inverse_row = block.pseudo_inverse.data() + e;
        Complex value{};
        for (std::size_t local = 0; local < positions; ++local)
            value = value + inverse_row[local * matrices] * target[local];
        // Coefficient f of the target p = value B_e + r is <B_f, p> / |B_f|^2,
        // at most (|r| + |value B_e| tolerance) / |B_f| for columns orthogonal
        // within the tolerance, with |value B_e| <= |p| + |r|. B_e comes back
        // from its inverse row within a rounding, which the tolerance covers.
        const double squared_norm = block.squared_norms[e];
        double squared_target = 0.0, squared_residual = 0.0;
        for (std::size_t local = 0; local < positions; ++local) {
            const Complex inverse = inverse_row[local * matrices];
            const Complex member{inverse.re * squared_norm, -inverse.im * squared_norm};
            const Complex p = target[local], r = p - value * member;
            squared_target += p.re * p.re + p.im * p.im;
            squared_residual += r.re * r.re + r.im * r.im;
        }
        const double residual = std::sqrt(squared_residual);
        const double others =
            block.pseudo_inverse_norm * (residual + orthogonality_tolerance * (std::sqrt(squared_target) + residual));
        if (!best || others < best->others) best = LoneCoefficient{e, value, others};
    }
    return best;
}

void BlockProjector::project(std::size_t count, const Complex* targets, Complex* coefficients, std::size_t first,
                             ComplexProducts products) const {
    const std::size_t m = position_count_, n = matrix_count_;
    if (is_one_block()) {
        // Its targets and coefficients are read and written where they lie.
        const std::size_t skipped = std::min(first, n);
        for (std::size_t t = 0; t < count; ++t)
            std::fill(coefficients + t * n, coefficients + t * n + skipped, Complex{});
        if (skipped < n)
            multiply_columns(n - skipped, count, m, blocks_[0].pseudo_inverse.data() + skipped, targets,
                             coefficients + skipped, n, n, products);
        return;
    }
    std::fill(coefficients, coefficients + count * n, Complex{});
    // Blocks whose products are summed in loops go target by target, so that
    // a target and its coefficients stay in cache across the blocks; larger
    // ones gather every target's entries for one product. A coefficient is
    // summed the same way either way.
    std::vector<std::size_t> skipped_in(blocks_.size());  // the matrices before `first`
    std::vector<std::uint8_t> summed(blocks_.size());     // whether the block's products are summed in loops
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const std::vector<std::size_t>& matrices = blocks_[b].matrices;
        skipped_in[b] =
            static_cast<std::size_t>(std::lower_bound(matrices.begin(), matrices.end(), first) - matrices.begin());
        summed[b] = (matrices.size() - skipped_in[b]) * blocks_[b].positions.size() <= largest_summed_column;
    }
    // A few targets at once: their sums are independent, so they overlap.
    constexpr std::size_t group = 4;
    for (std::size_t t0 = 0; t0 < count; t0 += group) {
        const std::size_t targets_here = std::min(group, count - t0);
        const Complex* target = targets + t0 * m;
        for (std::size_t b = 0; b < blocks_.size(); ++b) {
            const Block& block = blocks_[b];
            const std::size_t matrices = block.matrices.size(), skipped = skipped_in[b];
            if (skipped == matrices || !summed[b]) continue;
            for (std::size_t e = skipped; e < matrices; ++e) {
                Complex sums[group]{};
                for (std::size_t local = 0; local < block.positions.size(); ++local) {
                    const Complex w = block.pseudo_inverse[local * matrices + e];
                    const Complex* entry = target + block.positions[local];
                    for (std::size_t g = 0; g < targets_here; ++g) sums[g] = sums[g] + w * entry[g * m];
                }
                for (std::size_t g = 0; g < targets_here; ++g) coefficients[(t0 + g) * n + block.matrices[e]] = sums[g];
            }
        }
    }
    std::vector<Complex> gathered, expanded;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const Block& block = blocks_[b];
        const std::size_t positions = block.positions.size(), matrices = block.matrices.size();
        const std::size_t skipped = skipped_in[b], kept = matrices - skipped;
        if (kept == 0 || summed[b]) continue;
        gathered.resize(positions * count);
        expanded.resize(kept * count);
        for (std::size_t t = 0; t < count; ++t)
            for (std::size_t local = 0; local < positions; ++local)
                gathered[t * positions + local] = targets[t * m + block.positions[local]];
        multiply_columns(kept, count, positions, block.pseudo_inverse.data() + skipped, gathered.data(),
                         expanded.data(), matrices, kept, products);
        for (std::size_t t = 0; t < count; ++t)
            for (std::size_t e = 0; e < kept; ++e)
                coefficients[t * n + block.matrices[skipped + e]] = expanded[t * kept + e];
    }
}

void BlockProjector::project_conjugate_rows(std::size_t count, const Complex* rows, std::size_t rows_stride,
                                            Complex* coefficients, std::size_t stride, std::size_t first,
                                            ComplexProducts products) const {
    const std::size_t m = position_count_, n = matrix_count_;
    if (first >= n) return;
    if (is_one_block()) {
        multiply_by_adjoint(n - first, count, m, blocks_[0].pseudo_inverse.data() + first, n, rows, rows_stride,
                            coefficients + first, stride, products);
        return;
    }
    std::vector<Complex> targets(count * m), projected(count * n);
    for (std::size_t p = 0; p < m; ++p)
        for (std::size_t t = 0; t < count; ++t) targets[t * m + p] = conj(rows[t + p * rows_stride]);
    project(count, targets.data(), projected.data(), first, products);
    for (std::size_t t = 0; t < count; ++t)
        std::copy(projected.begin() + t * n + first, projected.begin() + (t + 1) * n,
                  coefficients + t * stride + first);
}

void BlockProjector::project(const SparseColumns& targets, Complex* coefficients) const {
    const std::size_t n = matrix_count_;
    std::fill(coefficients, coefficients + targets.cols() * n, Complex{});
    // Per block: where the current target's entries in it are gathered, and
    // the number, plus one, of the last target that touched it.
    std::vector<std::size_t> touched, offset(blocks_.size()), last_target(blocks_.size(), 0);
    std::vector<Complex> gathered, expanded;
    for (std::size_t t = 0; t < targets.cols(); ++t) {
        touched.clear();
        gathered.clear();
        std::ptrdiff_t hint = -1;
        targets.for_each_nonzero(t, [&](std::size_t p, Complex v) {
            const Located located = locate_position(p, hint);
            if (located.block < 0) return;  // orthogonal to every basis matrix
            hint = located.block;
            const auto block = static_cast<std::size_t>(located.block);
            if (last_target[block] != t + 1) {
                last_target[block] = t + 1;
                touched.push_back(block);
                offset[block] = gathered.size();
                gathered.resize(gathered.size() + blocks_[block].positions.size());
            }
            gathered[offset[block] + located.local] = v;
        });
        for (const std::size_t b : touched) {
            const Block& block = blocks_[b];
            expanded.resize(block.matrices.size());
            multiply(false, block.matrices.size(), 1, block.positions.size(), block.pseudo_inverse.data(),
                     &gathered[offset[b]], expanded.data());
            for (std::size_t e = 0; e < block.matrices.size(); ++e)
                coefficients[t * n + block.matrices[e]] = expanded[e];
        }
    }
}

}  // namespace zenqa
