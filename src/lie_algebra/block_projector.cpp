#include "lie_algebra/block_projector.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "lie_algebra/lapack.hpp"
#include "lie_algebra/least_squares.hpp"
#include "lie_algebra/negligible.hpp"

namespace zenqa {

namespace {

std::size_t find_root(std::vector<std::size_t>& parent, std::size_t p) {
    while (parent[p] != p) {
        parent[p] = parent[parent[p]];
        p = parent[p];
    }
    return p;
}

// c = op(a) b for column-major matrices: op(a) is m x k (a itself, or its
// conjugate transpose when `adjoint` is set), b is k x n and c is m x n.
// Products too small to gain from BLAS are summed here.
void multiply(bool adjoint, std::size_t m, std::size_t n, std::size_t k, const Complex* a, const Complex* b,
              Complex* c) {
    if (m * n * k <= 512) {
        for (std::size_t col = 0; col < n; ++col) {
            for (std::size_t row = 0; row < m; ++row) {
                Complex sum{};
                for (std::size_t q = 0; q < k; ++q) {
                    const Complex x = adjoint ? Complex{a[row * k + q].re, -a[row * k + q].im} : a[q * m + row];
                    sum = sum + x * b[col * k + q];
                }
                c[col * m + row] = sum;
            }
        }
        return;
    }
    const int rows = lapack_int(m), cols = lapack_int(n), inner = lapack_int(k);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    lapack::zgemm(adjoint ? "C" : "N", "N", &rows, &cols, &inner, &one, a, adjoint ? &inner : &rows, b, &inner, &zero,
                  c, &rows);
}

// Whether the columns of a block are orthogonal to a precision far beyond
// what the results need: every off-diagonal entry of the Gram matrix within
// 1e-14 of the geometric mean of the two diagonal ones.
bool orthogonal(const std::vector<Complex>& gram, std::size_t count) {
    for (std::size_t e = 0; e < count; ++e) {
        for (std::size_t f = e + 1; f < count; ++f) {
            const Complex g = gram[e * count + f];
            const double bound = 1e-14 * std::sqrt(gram[e * count + e].re * gram[f * count + f].re);
            if (!(std::hypot(g.re, g.im) <= bound)) return false;
        }
    }
    return true;
}

}  // namespace

BlockProjector::BlockProjector(const ComplexMatrix& columns) {
    find_blocks(columns);
    invert_blocks(columns);
    first_placement_.push_back(0);
}

void BlockProjector::find_blocks(const ComplexMatrix& columns) {
    const std::size_t m = columns.rows(), n = columns.cols();
    std::vector<std::size_t> parent(m);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    std::vector<std::ptrdiff_t> first_position(n, -1);
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t p = 0; p < m; ++p) {
            if (is_zero(columns.at(p, k))) continue;
            if (first_position[k] < 0) {
                first_position[k] = static_cast<std::ptrdiff_t>(p);
            } else {
                parent[find_root(parent, p)] = find_root(parent, static_cast<std::size_t>(first_position[k]));
            }
        }
    }

    // Blocks in the order of their first basis matrix. A zero matrix belongs
    // to no block: its minimum-norm coefficient is always zero.
    std::vector<std::ptrdiff_t> block_of_root(m, -1);
    for (std::size_t k = 0; k < n; ++k) {
        if (first_position[k] < 0) continue;
        std::ptrdiff_t& block = block_of_root[find_root(parent, static_cast<std::size_t>(first_position[k]))];
        if (block < 0) {
            block = static_cast<std::ptrdiff_t>(blocks_.size());
            blocks_.emplace_back();
        }
        blocks_[static_cast<std::size_t>(block)].matrices.push_back(k);
    }
    block_of_.assign(m, -1);
    local_of_.assign(m, 0);
    for (std::size_t p = 0; p < m; ++p) {
        const std::ptrdiff_t block = block_of_root[find_root(parent, p)];
        if (block < 0) continue;
        std::vector<std::size_t>& positions = blocks_[static_cast<std::size_t>(block)].positions;
        block_of_[p] = block;
        local_of_[p] = positions.size();
        positions.push_back(p);
    }
}

void BlockProjector::invert_blocks(const ComplexMatrix& columns) {
    // The pseudo-inverse of a block with orthogonal columns v_e has the rows
    // v_e^H / |v_e|^2; other blocks are solved by zgelsd against the identity.
    // Singular values count as zero at or below machine precision times the
    // largest singular value of the whole column matrix, so a block solved
    // on its own, relative to its own largest, is solved again when that
    // changes its rank.
    struct Inversion {
        ComplexMatrix values;  // positions x matrices, column-major
        bool orthogonal = false;
        std::vector<double> squared_norms;  // of the columns, when orthogonal
        LeastSquaresSolution solution;      // otherwise
    };
    std::vector<Inversion> inversions(blocks_.size());
    double largest = 0.0;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const Block& block = blocks_[b];
        const std::size_t positions = block.positions.size(), matrices = block.matrices.size();
        Inversion& inversion = inversions[b];
        inversion.values = ComplexMatrix::zeros(positions, matrices, Layout::ColumnMajor);
        for (std::size_t local = 0; local < positions; ++local)
            for (std::size_t e = 0; e < matrices; ++e)
                inversion.values.set(local, e, columns.at(block.positions[local], block.matrices[e]));
        std::vector<Complex> gram(matrices * matrices);
        multiply(true, matrices, matrices, positions, inversion.values.data(), inversion.values.data(), gram.data());
        inversion.orthogonal = orthogonal(gram, matrices);
        if (inversion.orthogonal) {
            for (std::size_t e = 0; e < matrices; ++e) {
                inversion.squared_norms.push_back(gram[e * matrices + e].re);
                largest = std::max(largest, std::sqrt(gram[e * matrices + e].re));
            }
        } else {
            inversion.solution = solve_least_squares(inversion.values, ComplexMatrix::identity(positions));
            largest = std::max(largest, inversion.solution.singular_values.front());
        }
    }
    const double cutoff = lapack_epsilon * largest;

    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        Block& block = blocks_[b];
        Inversion& inversion = inversions[b];
        const std::size_t matrices = block.matrices.size(), positions = block.positions.size();
        block.pseudo_inverse.assign(matrices * positions, Complex{});
        if (inversion.orthogonal) {
            for (std::size_t e = 0; e < matrices; ++e) {
                const double squared_norm = inversion.squared_norms[e];
                if (!(std::sqrt(squared_norm) > cutoff)) continue;
                block.pseudo_inverse_norm = std::max(block.pseudo_inverse_norm, 1.0 / std::sqrt(squared_norm));
                for (std::size_t local = 0; local < positions; ++local) {
                    const Complex v = inversion.values.at(local, e);
                    block.pseudo_inverse[local * matrices + e] = {v.re / squared_norm, -v.im / squared_norm};
                }
            }
            continue;
        }
        const std::vector<double>& sigma = inversion.solution.singular_values;
        const bool rank_differs = std::any_of(
            sigma.begin(), sigma.end(), [&](double s) { return s > lapack_epsilon * sigma.front() && s <= cutoff; });
        const double rcond = cutoff / sigma.front();
        if (rank_differs && rcond >= 1.0) continue;  // every singular value counts as zero
        if (rank_differs)
            inversion.solution = solve_least_squares(inversion.values, ComplexMatrix::identity(positions), rcond);
        // The smallest singular value that the solve kept.
        const double kept = std::max(cutoff, lapack_epsilon * sigma.front());
        for (const double s : sigma)
            if (s > kept) block.pseudo_inverse_norm = std::max(block.pseudo_inverse_norm, 1.0 / s);
        for (std::size_t local = 0; local < positions; ++local)
            for (std::size_t e = 0; e < matrices; ++e)
                block.pseudo_inverse[local * matrices + e] = inversion.solution.x.at(e, local);
    }
}

void BlockProjector::queue(const SparseAccumulator& target) {
    const std::size_t owner = first_placement_.size();  // this target's number, plus one
    touched_blocks_.clear();
    for (const std::size_t p : target.touched()) {
        const std::ptrdiff_t b = block_of_[p];
        if (b < 0) continue;  // orthogonal to every basis matrix
        Block& block = blocks_[static_cast<std::size_t>(b)];
        if (block.last_target != owner) {
            block.last_target = owner;
            block.squared_norm = 0.0;
            touched_blocks_.push_back(static_cast<std::size_t>(b));
        }
        const Complex v = target.value(p);
        block.squared_norm += v.re * v.re + v.im * v.im;
    }
    // Every coefficient is at most |pseudo-inverse| |target| in modulus; at or
    // below 1e-9 none can reach the negligible bound of 1e-8. (A NaN norm is
    // not below it.)
    for (const std::size_t b : touched_blocks_) {
        Block& block = blocks_[b];
        block.placed = !(block.pseudo_inverse_norm * std::sqrt(block.squared_norm) <= 1e-9);
        if (!block.placed) continue;
        placements_.push_back({b, block.queued++});
        block.targets.resize(block.targets.size() + block.positions.size());
        staged_ += block.positions.size();
    }
    for (const std::size_t p : target.touched()) {
        const std::ptrdiff_t b = block_of_[p];
        if (b < 0 || !blocks_[static_cast<std::size_t>(b)].placed) continue;
        Block& block = blocks_[static_cast<std::size_t>(b)];
        block.targets[(block.queued - 1) * block.positions.size() + local_of_[p]] = target.value(p);
    }
    first_placement_.push_back(placements_.size());
}

void BlockProjector::expand_queue() {
    for (Block& block : blocks_) {
        if (block.queued == 0) continue;
        block.expansions.resize(block.matrices.size() * block.queued);
        multiply(false, block.matrices.size(), block.queued, block.positions.size(), block.pseudo_inverse.data(),
                 block.targets.data(), block.expansions.data());
    }
}

const std::vector<Coefficient>& BlockProjector::coefficients(std::size_t t) {
    coefficients_.clear();
    for (std::size_t q = first_placement_[t]; q < first_placement_[t + 1]; ++q) {
        const Block& block = blocks_[placements_[q].block];
        const Complex* expansion = &block.expansions[placements_[q].column * block.matrices.size()];
        for (std::size_t e = 0; e < block.matrices.size(); ++e)
            if (!is_negligible(expansion[e])) coefficients_.push_back({block.matrices[e], expansion[e]});
    }
    if (first_placement_[t + 1] - first_placement_[t] > 1) {
        std::sort(coefficients_.begin(), coefficients_.end(),
                  [](const Coefficient& a, const Coefficient& b) { return a.k < b.k; });
    }
    return coefficients_;
}

void BlockProjector::clear_queue() {
    for (Block& block : blocks_) {
        block.targets.clear();
        block.queued = 0;
        block.last_target = 0;
    }
    placements_.clear();
    first_placement_.assign(1, 0);
    staged_ = 0;
}

}  // namespace zenqa
