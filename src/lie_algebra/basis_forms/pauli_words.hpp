#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "array/complex.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/basis_forms/sparse_accumulator.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// A basis of d = 2^q matrices written in the Pauli words W(x, z) = X^x Z^z,
// whose entry (c ^ x, c) is (-1)^|z & c|, as sums of Pauli strings are
// written. The d*d words are orthogonal, each of squared norm d, and span
// every d x d matrix, so a target's least-squares coefficients are the same
// whether it and the basis are given by their entries or by their words. Two
// words multiply to a third up to a sign,
//     W(a, b) W(e, f) = (-1)^|b & e| W(a ^ e, b ^ f),
// so word x*d + z times word y*d + w is word (x*d + z) ^ (y*d + w): a
// product of sums of a few strings costs the pairs of their words, where
// their entries cost d for each. Copies share the words, so each thread
// takes one.
class PauliWords {
public:
    // None unless d is a power of two and the words of the columns (the
    // d*d x n basis times 2^-exponent) are few enough against their entries
    // that the products cost less in words.
    static std::optional<PauliWords> of(const SparseColumns& columns, std::size_t d, InterruptCheck check_interrupt);

    // The basis' words: column k holds B_k's coefficient of W(x, z) at
    // position x*d + z.
    const SparseColumns& columns() const { return *columns_; }
    // The position of the identity, W(0, 0).
    static constexpr std::size_t identity = 0;

    // Appends every j > i: any two words have a product.
    void append_partners(std::size_t i, std::vector<std::size_t>& partners) const;
    // target += B_i B_j - B_j B_i for the commutator, B_i B_j + B_j B_i
    // otherwise, word by word.
    void accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target) const;
    // accumulate_pair for both products at once, each target receiving its
    // terms in the order accumulate_pair adds them.
    void accumulate_both(std::size_t i, std::size_t j, SparseAccumulator& commutator,
                         SparseAccumulator& anticommutator) const;

private:
    PauliWords(std::shared_ptr<const SparseColumns> columns, std::size_t d);

    // add(p, 2 t, commute) for every pair of words u of B_i and v of B_j,
    // t = c_u c_v (-1)^|z_u & x_v| their term of B_i B_j at word p = u ^ v:
    // W_u and W_v commute or anticommute, so the term of B_j B_i is t or -t,
    // and the pair adds 2t to one product and nothing to the other.
    template <class Add>
    void for_each_term(std::size_t i, std::size_t j, Add&& add) const;

    std::shared_ptr<const SparseColumns> columns_;
    std::size_t bits_;  // q
};

}  // namespace zenqa
