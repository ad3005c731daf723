#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// How the entries (j, i, k) follow from the stored (i, j, k): negated for the
// structure constants, the same for the d-coefficients.
enum class Symmetry { Antisymmetric, Symmetric };

// One product's coefficients T[i, j, k] as the entries with i <= j (i < j for
// an antisymmetric tensor), sorted by (i, j, k) and stored as parallel arrays;
// the other half follows by symmetry.
struct PairTensor {
    Symmetry symmetry = Symmetry::Antisymmetric;
    std::vector<std::uint32_t> i, j, k;
    std::vector<Complex> value;

    std::size_t stored() const { return value.size(); }
    void append(std::size_t i_, std::size_t j_, std::size_t k_, Complex v);

    // The number of entries of the whole tensor, both halves.
    std::size_t full_size() const;
    // Every entry of the whole tensor in increasing (i, j, k): index holds
    // full_size() rows (i, j, k), value the values. n is the basis size.
    void write_entries(std::size_t n, std::int64_t* index, Complex* values) const;
    // The n x n x n tensor into `dense`, which the caller has zeroed.
    void write_dense(std::size_t n, Complex* dense) const;
};

// Merges two tensors whose stored entries do not share a key into one, sorted.
PairTensor merge_sorted(const PairTensor& a, const PairTensor& b);

}  // namespace zenqa
