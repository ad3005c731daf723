#include "lie_algebra/decomposition/projection_queue.hpp"

#include <algorithm>
#include <cmath>

#include "lie_algebra/basis_forms/basis_range.hpp"
#include "lie_algebra/decomposition/negligible.hpp"
#include "lie_algebra/lapack/matrix_product.hpp"

namespace zenqa {

ProjectionQueue::ProjectionQueue(const BlockProjector& projector)
    : projector_(projector), staged_blocks_(projector.blocks_.size()), first_placement_{0} {}

template <class Target>
void ProjectionQueue::queue(const Target& target, int exponent) {
    const std::size_t owner = first_placement_.size();  // this target's number, plus one
    // The target is gathered into a column of scratch per block it touches,
    // its norm summed on the way, and staged in a block only where a
    // projection there is due: a block where it is certainly negligible or a
    // lone coefficient keeps no room for it. Positions of one block mostly
    // come in runs, over which the norm is summed in a register.
    touched_blocks_.clear();
    scratch_.clear();
    std::ptrdiff_t run_block = -1;
    Staged* staged = nullptr;
    Complex* column = nullptr;
    double squared_norm = 0.0;
    for (const std::size_t p : target.touched()) {
        const auto [b, local] = projector_.locate(p, run_block);
        if (b < 0) continue;  // orthogonal to every basis matrix
        if (b != run_block) {
            if (staged != nullptr) staged->squared_norm = squared_norm;
            run_block = b;
            staged = &staged_blocks_[static_cast<std::size_t>(b)];
            if (staged->last_target != owner) {
                staged->last_target = owner;
                staged->squared_norm = 0.0;
                staged->scratch_column = scratch_.size();
                scratch_.resize(scratch_.size() + projector_.blocks_[static_cast<std::size_t>(b)].positions.size());
                touched_blocks_.push_back(static_cast<std::size_t>(b));
            }
            column = &scratch_[staged->scratch_column];
            squared_norm = staged->squared_norm;
        }
        const Complex v = target.value(p);
        squared_norm += v.re * v.re + v.im * v.im;
        column[local] = v;
    }
    if (staged != nullptr) staged->squared_norm = squared_norm;
    for (const std::size_t b : touched_blocks_) {
        Staged& staged = staged_blocks_[b];
        const BlockProjector::Block& block = projector_.blocks_[b];
        // Every coefficient is at most |pseudo-inverse| |target| in modulus.
        const double bound = block.pseudo_inverse_norm * std::sqrt(staged.squared_norm);
        // A NaN norm is not certainly negligible.
        if (times_power_of_two(bound, exponent) <= certainly_negligible) continue;
        const Complex* gathered = &scratch_[staged.scratch_column];
        const auto lone = projector_.lone_coefficient(b, gathered);
        if (lone && times_power_of_two(lone->others, exponent) <= certainly_negligible) {
            placements_.push_back({b, lone_.size(), true});
            lone_.push_back({block.matrices[lone->local], lone->value});
            continue;
        }
        placements_.push_back({b, staged.columns.size(), false});
        staged.columns.push_back(staged_targets_.size());
        staged_targets_.insert(staged_targets_.end(), gathered, gathered + block.positions.size());
    }
    first_placement_.push_back(placements_.size());
    exponents_.push_back(exponent);
}

template void ProjectionQueue::queue(const SparseAccumulator&, int);
template void ProjectionQueue::queue(const MonomialTarget&, int);

void ProjectionQueue::expand() {
    for (std::size_t b = 0; b < staged_blocks_.size(); ++b) {
        Staged& staged = staged_blocks_[b];
        const std::size_t queued = staged.columns.size();
        if (queued == 0) continue;
        const BlockProjector::Block& block = projector_.blocks_[b];
        const std::size_t positions = block.positions.size();
        block_targets_.resize(positions * queued);
        for (std::size_t t = 0; t < queued; ++t)
            std::copy_n(&staged_targets_[staged.columns[t]], positions, &block_targets_[t * positions]);
        staged.expansions.resize(block.matrices.size() * queued);
        multiply(false, block.matrices.size(), queued, positions, block.pseudo_inverse.data(), block_targets_.data(),
                 staged.expansions.data());
    }
}

const std::vector<Coefficient>& ProjectionQueue::coefficients(std::size_t t) {
    coefficients_.clear();
    const int exponent = exponents_[t];
    const auto keep = [&](std::size_t k, Complex computed) {
        if (const auto value = true_coefficient(k, computed, exponent)) coefficients_.push_back({k, *value});
    };
    for (std::size_t q = first_placement_[t]; q < first_placement_[t + 1]; ++q) {
        const Placement& placement = placements_[q];
        if (placement.lone) {
            keep(lone_[placement.column].k, lone_[placement.column].value);
            continue;
        }
        const BlockProjector::Block& block = projector_.blocks_[placement.block];
        const Complex* expansion =
            &staged_blocks_[placement.block].expansions[placement.column * block.matrices.size()];
        for (std::size_t e = 0; e < block.matrices.size(); ++e) keep(block.matrices[e], expansion[e]);
    }
    if (first_placement_[t + 1] - first_placement_[t] > 1) {
        std::sort(coefficients_.begin(), coefficients_.end(),
                  [](const Coefficient& a, const Coefficient& b) { return a.k < b.k; });
    }
    return coefficients_;
}

void ProjectionQueue::clear() {
    for (Staged& staged : staged_blocks_) {
        staged.columns.clear();
        staged.last_target = 0;
    }
    placements_.clear();
    first_placement_.assign(1, 0);
    exponents_.clear();
    lone_.clear();
    staged_targets_.clear();
}

}  // namespace zenqa
