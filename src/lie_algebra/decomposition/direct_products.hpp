#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/basis_forms/sparse_accumulator.hpp"
#include "lie_algebra/basis_forms/sparse_basis.hpp"
#include "lie_algebra/decomposition/inverse_columns.hpp"
#include "lie_algebra/decomposition/negligible.hpp"

namespace zenqa {

// Sparse bases of fewer matrices are expanded on the calling thread alone: a
// millisecond or two of work, which waking threads would not shorten.
inline constexpr std::size_t sparse_threaded_rows = 192;

// Projects targets one at a time, each entry through its column of the
// pseudo-inverse, for a basis whose InverseColumns exist. A target's
// coefficients depend on nothing projected before it, and are the same bits
// whether it comes alone or with the other product of its pair. One per thread.
class DirectProjection {
public:
    explicit DirectProjection(const InverseColumns& inverse);

    // The coefficients that are not negligible, in increasing k, of Count
    // targets whose positions were touched in one order (accumulate_both
    // touches both products' so), whose true coefficients are the computed
    // ones times 2^exponent; valid until the next call.
    template <std::size_t Count>
    std::array<std::span<const Coefficient>, Count> project(std::array<const SparseAccumulator*, Count> targets,
                                                            int exponent);

private:
    const InverseColumns& inverse_;
    std::vector<Complex> sums_;          // per basis matrix, for each of up to two targets
    std::vector<unsigned char> summed_;  // whether the targets reached it
    std::vector<std::size_t> touched_;   // the matrices they reached, first come first
    std::vector<Coefficient> kept_;      // per target, its coefficients that are not negligible
};

// Both products of the pairs of a sparse basis whose InverseColumns exist,
// each pair product formed once and projected as it comes. One per thread.
class DirectPairs {
public:
    DirectPairs(const SparseBasis& basis, const InverseColumns& inverse, std::size_t d);

    // For j = i and then every j > i whose products with B_i may be nonzero,
    // in increasing order: on_pair(j, commutator, anticommutator) with the
    // coefficients of [B_i, B_j] and {B_i, B_j} that are not negligible; the
    // commutator of (i, i) is empty. The basis went in times 2^-exponent.
    template <class OnPair>
    void for_each_pair(std::size_t i, int exponent, OnPair&& on_pair) {
        anticommutator_.clear();
        basis_.accumulate_pair(i, i, false, anticommutator_);
        on_pair(i, std::span<const Coefficient>(), projection_.project<1>({&anticommutator_}, exponent)[0]);
        partners_.clear();
        basis_.append_partners(i, partners_);
        for (const std::size_t j : partners_) {
            commutator_.clear();
            anticommutator_.clear();
            basis_.accumulate_both(i, j, commutator_, anticommutator_);
            if (commutes()) {
                on_pair(j, std::span<const Coefficient>(), projection_.project<1>({&anticommutator_}, exponent)[0]);
                continue;
            }
            const auto [commutator, anticommutator] =
                projection_.project<2>({&commutator_, &anticommutator_}, exponent);
            on_pair(j, commutator, anticommutator);
        }
    }

private:
    // Whether every term of the commutator cancelled: then only the
    // anticommutator is projected, to the same bits.
    bool commutes() const {
        return std::all_of(commutator_.touched().begin(), commutator_.touched().end(),
                           [&](std::size_t p) { return is_zero(commutator_.value(p)); });
    }

    SparseBasis basis_;
    SparseAccumulator commutator_, anticommutator_;
    DirectProjection projection_;
    std::vector<std::size_t> partners_;
};

}  // namespace zenqa
