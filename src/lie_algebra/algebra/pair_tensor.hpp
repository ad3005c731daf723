#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "array/complex.hpp"
#include "base/mapped_array.hpp"
#include "lie_algebra/decomposition/negligible.hpp"

namespace zenqa {

// How the entries (j, i, k) follow from the stored (i, j, k): negated for the
// structure constants, the same for the d-coefficients.
enum class Symmetry { Antisymmetric, Symmetric };

// One product's coefficients T[i, j, k] as the entries with i <= j (i < j for
// an antisymmetric tensor), sorted by (i, j, k): row i holds the entries
// row_begin[i] .. row_begin[i + 1] - 1 of the parallel arrays j, k, value.
// The other half follows by symmetry.
struct PairTensor {
    Symmetry symmetry = Symmetry::Antisymmetric;
    std::vector<std::size_t> row_begin{0};
    MappedArray<std::uint32_t> j{"the tensors"}, k{"the tensors"};
    MappedArray<Complex> value{"the tensors"};
    // Where each row of the whole tensor begins, and its end; set by finish.
    std::vector<std::size_t> full_row_begin;

    std::size_t stored() const { return value.size(); }
    std::size_t rows() const { return row_begin.size() - 1; }
    // The entries (i, j, k, value_of(v)) for the coefficients (k, v) of one
    // pair, in increasing k; pairs come in increasing (i, j). Inline: the
    // expansions call it for every pair.
    template <class ValueOf>
    [[gnu::always_inline]] void append(std::size_t i, std::size_t j_, std::span<const Coefficient> coefficients,
                                       ValueOf&& value_of) {
        if (rows() <= i) row_begin.resize(i + 2, stored());
        for (const Coefficient& x : coefficients) {
            j.push_back(static_cast<std::uint32_t>(j_));
            k.push_back(static_cast<std::uint32_t>(x.k));
            value.push_back(value_of(x.value));
        }
        row_begin.back() = stored();
    }
    // The rows of `part`, built apart, after these: part holds no entries in
    // the rows these have.
    void append_rows(const PairTensor& part);
    // Closes the rows up to n, the basis size, and counts the rows of the
    // whole tensor, once for every call that writes it.
    void finish(std::size_t n);
    // No rows, the room for their entries kept.
    void clear() {
        row_begin.assign(1, 0);
        j.clear();
        k.clear();
        value.clear();
    }

    // The number of entries of the whole tensor, both halves.
    std::size_t full_size() const { return full_row_begin.back(); }
    // Every entry of the whole tensor in increasing (i, j, k): index gets
    // full_size() rows (i, j, k), values the values.
    void write_entries(std::int64_t* index, Complex* values) const;
    // The n x n x n tensor into `dense`, which the caller has zeroed.
    void write_dense(Complex* dense) const;
};

}  // namespace zenqa
