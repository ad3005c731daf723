#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
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
    // targets with entries values_at(s)[t] at the given slots, whose true
    // coefficients are the computed ones times 2^exponent; valid until the
    // next call.
    template <std::size_t Count, class ValuesAt>
    std::array<std::span<const Coefficient>, Count> project(std::span<const std::size_t> slots, ValuesAt&& values_at,
                                                            int exponent) {
        static_assert(Count <= 2);
        // Plain pointers: through the vectors, every store would reload them.
        std::array<Complex, 2>* sums = sums_.data();
        std::uint32_t* summed = summed_.data();
        std::size_t* touched = touched_.data();
        // A new mark for this target: the marks of the ones before need no clearing.
        const std::uint32_t mark = next_mark();
        std::size_t count = 0;
        for (const std::size_t slot : slots) {
            const std::array<Complex, Count> v = values_at(slot);
            if (std::all_of(v.begin(), v.end(), is_zero)) continue;  // every term cancelled
            inverse_.for_each_in_column(slot, [&](std::size_t k, Complex w) {
                if (summed[k] != mark) {
                    summed[k] = mark;
                    touched[count++] = k;
                    sums[k] = {};
                }
                for (std::size_t t = 0; t < Count; ++t) sums[k][t] = sums[k][t] + w * v[t];
            });
        }
        sort_reached(touched, count);
        std::array<std::size_t, Count> kept_count{};
        for (std::size_t e = 0; e < count; ++e) {
            const std::size_t k = touched[e];
            for (std::size_t t = 0; t < Count; ++t)
                if (const auto value = true_coefficient(k, sums[k][t], exponent))
                    kept_[t * inverse_.matrices() + kept_count[t]++] = {k, *value};
        }
        std::array<std::span<const Coefficient>, Count> coefficients;
        for (std::size_t t = 0; t < Count; ++t)
            coefficients[t] = std::span<const Coefficient>(kept_.data() + t * inverse_.matrices(), kept_count[t]);
        return coefficients;
    }

private:
    std::uint32_t next_mark() {
        if (++mark_ == 0) [[unlikely]]
            forget_marks();
        return mark_;
    }
    // After the marks wrapped around: old ones could pass for new ones.
    void forget_marks();
    // Sorts the matrices a target reached: the few of most targets by
    // insertion, inline, many by std::sort.
    static void sort_reached(std::size_t* k, std::size_t count) {
        constexpr std::size_t few = 16;
        if (count > few) return std::sort(k, k + count);
        for (std::size_t e = 1; e < count; ++e)
            for (std::size_t f = e; f > 0 && k[f - 1] > k[f]; --f) std::swap(k[f - 1], k[f]);
    }

    const InverseColumns& inverse_;
    std::vector<std::array<Complex, 2>> sums_;  // per basis matrix, the sums of up to two targets
    std::vector<std::uint32_t> summed_;         // per basis matrix, the mark of the last target that reached it
    std::uint32_t mark_ = 0;
    std::vector<std::size_t> touched_;  // the matrices the target reached, first come first
    std::vector<Coefficient> kept_;     // per target, its coefficients that are not negligible
};

// Both products of the pairs of a sparse basis whose InverseColumns exist,
// each pair product formed once and projected as it comes. One per thread.
class DirectPairs {
public:
    DirectPairs(const SparseBasis& basis, const InverseColumns& inverse);

    // For j = i and then every j > i whose products with B_i may be nonzero,
    // in increasing order: on_pair(j, commutator, anticommutator) with the
    // coefficients of [B_i, B_j] and {B_i, B_j} that are not negligible; the
    // commutator of (i, i) is empty. The basis went in times 2^-exponent.
    template <class OnPair>
    void for_each_pair(std::size_t i, int exponent, OnPair&& on_pair) {
        const auto anticommutator_at = [&](std::size_t s) { return std::array{products_.value(s).anticommutator}; };
        const auto both_at = [&](std::size_t s) {
            return std::array{products_.value(s).commutator, products_.value(s).anticommutator};
        };
        products_.clear();
        basis_.accumulate_both(i, i, products_);
        on_pair(i, std::span<const Coefficient>(),
                projection_.project<1>(products_.touched(), anticommutator_at, exponent)[0]);
        partners_.clear();
        basis_.append_partners(i, partners_);
        for (const std::size_t j : partners_) {
            products_.clear();
            basis_.accumulate_both(i, j, products_);
            // Where every term of the commutator cancelled, the anticommutator
            // alone is projected, to the same bits.
            if (commutes()) {
                on_pair(j, std::span<const Coefficient>(),
                        projection_.project<1>(products_.touched(), anticommutator_at, exponent)[0]);
                continue;
            }
            const auto [commutator, anticommutator] = projection_.project<2>(products_.touched(), both_at, exponent);
            on_pair(j, commutator, anticommutator);
        }
    }

private:
    bool commutes() const {
        return std::all_of(products_.touched().begin(), products_.touched().end(),
                           [&](std::size_t s) { return is_zero(products_.value(s).commutator); });
    }

    SparseBasis basis_;
    PairAccumulator products_;
    DirectProjection projection_;
    std::vector<std::size_t> partners_;
};

}  // namespace zenqa
