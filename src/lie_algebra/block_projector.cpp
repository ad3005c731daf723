#include "lie_algebra/block_projector.hpp"

#include <algorithm>
#include <numeric>

#include "lie_algebra/least_squares.hpp"

namespace zenqa {

namespace {

// Four doubles, loadable from any 8-byte aligned address.
using Lanes = double __attribute__((vector_size(32), aligned(8)));
constexpr std::size_t chunk = 8;

// sums = pseudo_inverse * target over the target's entries, eight coefficients
// at a time held in registers; each coefficient adds its terms in entry order,
// in the plain complex product's order. Cloned for AVX2, which changes the
// speed, not the results.
__attribute__((target_clones("avx2", "default"))) void multiply_block(
    const double* pseudo_inverse_re, const double* pseudo_inverse_im, std::size_t column_stride,
    const std::size_t* positions, const double* values_re, const double* values_im, std::size_t count,
    double* sums_re, double* sums_im) {
    for (std::size_t first = 0; first < column_stride; first += chunk) {
        Lanes re_low{}, re_high{}, im_low{}, im_high{};
        for (std::size_t q = 0; q < count; ++q) {
            const auto* column_re = reinterpret_cast<const Lanes*>(pseudo_inverse_re + positions[q] * column_stride + first);
            const auto* column_im = reinterpret_cast<const Lanes*>(pseudo_inverse_im + positions[q] * column_stride + first);
            const Lanes value_re = {values_re[q], values_re[q], values_re[q], values_re[q]};
            const Lanes value_im = {values_im[q], values_im[q], values_im[q], values_im[q]};
            re_low = re_low + (column_re[0] * value_re - column_im[0] * value_im);
            re_high = re_high + (column_re[1] * value_re - column_im[1] * value_im);
            im_low = im_low + (column_re[0] * value_im + column_im[0] * value_re);
            im_high = im_high + (column_re[1] * value_im + column_im[1] * value_re);
        }
        *reinterpret_cast<Lanes*>(sums_re + first) = re_low;
        *reinterpret_cast<Lanes*>(sums_re + first + 4) = re_high;
        *reinterpret_cast<Lanes*>(sums_im + first) = im_low;
        *reinterpret_cast<Lanes*>(sums_im + first + 4) = im_high;
    }
}

std::size_t find_root(std::vector<std::size_t>& parent, std::size_t p) {
    while (parent[p] != p) {
        parent[p] = parent[parent[p]];
        p = parent[p];
    }
    return p;
}

}  // namespace

BlockProjector::BlockProjector(const ComplexMatrix& columns) {
    find_blocks(columns);
    invert_blocks(columns);
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
    block_positions_.resize(blocks_.size());
    for (std::size_t p = 0; p < m; ++p) {
        const std::ptrdiff_t block = block_of_root[find_root(parent, p)];
        if (block < 0) continue;
        block_of_[p] = block;
        local_of_[p] = block_positions_[static_cast<std::size_t>(block)].size();
        block_positions_[static_cast<std::size_t>(block)].push_back(p);
    }
}

void BlockProjector::invert_blocks(const ComplexMatrix& columns) {
    // Each block's own solve applies rcond relative to its own largest
    // singular value; the whole matrix would apply it relative to the largest
    // of all blocks. Blocks whose rank differs under that rule are solved again.
    std::vector<LeastSquaresSolution> solutions;
    std::vector<ComplexMatrix> restricted;
    double largest = 0.0;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        const std::vector<std::size_t>& positions = block_positions_[b];
        const std::vector<std::size_t>& matrices = blocks_[b].matrices;
        ComplexMatrix values = ComplexMatrix::zeros(positions.size(), matrices.size());
        for (std::size_t local = 0; local < positions.size(); ++local)
            for (std::size_t e = 0; e < matrices.size(); ++e)
                values.set(local, e, columns.at(positions[local], matrices[e]));
        solutions.push_back(solve_least_squares(values, ComplexMatrix::identity(positions.size())));
        largest = std::max(largest, solutions.back().singular_values.front());
        restricted.push_back(std::move(values));
    }
    const double cutoff = lapack_epsilon * largest;

    std::size_t widest = 0;
    for (std::size_t b = 0; b < blocks_.size(); ++b) {
        Block& block = blocks_[b];
        LeastSquaresSolution& solution = solutions[b];
        const std::vector<double>& sigma = solution.singular_values;
        const bool rank_differs = std::any_of(sigma.begin(), sigma.end(), [&](double s) {
            return s > lapack_epsilon * sigma.front() && s <= cutoff;
        });
        const double rcond = cutoff / sigma.front();
        const std::size_t matrices = block.matrices.size(), positions = block_positions_[b].size();
        block.column_stride = (matrices + chunk - 1) / chunk * chunk;
        widest = std::max(widest, block.column_stride);
        block.pseudo_inverse_re.assign(block.column_stride * positions, 0.0);
        block.pseudo_inverse_im.assign(block.column_stride * positions, 0.0);
        if (rank_differs && rcond >= 1.0) continue;  // every singular value counts as zero
        if (rank_differs) solution = solve_least_squares(restricted[b], ComplexMatrix::identity(positions), rcond);
        for (std::size_t local = 0; local < positions; ++local) {
            for (std::size_t e = 0; e < matrices; ++e) {
                const Complex value = solution.x.at(e, local);
                block.pseudo_inverse_re[local * block.column_stride + e] = value.re;
                block.pseudo_inverse_im[local * block.column_stride + e] = value.im;
            }
        }
    }
    sums_re_.resize(widest);
    sums_im_.resize(widest);
    block_touched_.assign(blocks_.size(), 0);
}

const std::vector<Coefficient>& BlockProjector::project(const SparseAccumulator& target) {
    coefficients_.clear();
    touched_blocks_.clear();
    for (const std::size_t p : target.touched()) {
        const std::ptrdiff_t b = block_of_[p];
        if (b < 0) continue;  // orthogonal to every basis matrix
        Block& block = blocks_[static_cast<std::size_t>(b)];
        if (!block_touched_[static_cast<std::size_t>(b)]) {
            block_touched_[static_cast<std::size_t>(b)] = 1;
            touched_blocks_.push_back(static_cast<std::size_t>(b));
            block.target_positions.clear();
            block.target_re.clear();
            block.target_im.clear();
        }
        const Complex value = target.value(p);
        block.target_positions.push_back(local_of_[p]);
        block.target_re.push_back(value.re);
        block.target_im.push_back(value.im);
    }
    for (const std::size_t b : touched_blocks_) {
        const Block& block = blocks_[b];
        block_touched_[b] = 0;
        multiply_block(block.pseudo_inverse_re.data(), block.pseudo_inverse_im.data(), block.column_stride,
                       block.target_positions.data(), block.target_re.data(), block.target_im.data(),
                       block.target_positions.size(), sums_re_.data(), sums_im_.data());
        for (std::size_t e = 0; e < block.matrices.size(); ++e) {
            const Complex x{sums_re_[e], sums_im_[e]};
            if (!is_negligible(x)) coefficients_.push_back({block.matrices[e], x});
        }
    }
    if (touched_blocks_.size() > 1) {
        std::sort(coefficients_.begin(), coefficients_.end(),
                  [](const Coefficient& a, const Coefficient& b) { return a.k < b.k; });
    }
    return coefficients_;
}

}  // namespace zenqa
