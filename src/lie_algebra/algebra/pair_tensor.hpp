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
// an antisymmetric tensor), sorted by (i, j, k). The other half follows by
// symmetry. Rows are stored in segments, each holding the rows that one
// group of them was expanded into: a group's entries join the tensor where
// they were written, instead of being copied after the others.
class PairTensor {
public:
    PairTensor() { segments_.emplace_back(); }

    Symmetry symmetry = Symmetry::Antisymmetric;

    // The stored entries (i, j[e], k[e], value[e]) of row i, e < size.
    struct Row {
        const std::uint32_t* j;
        const std::uint32_t* k;
        const Complex* value;
        std::size_t size;
    };
    Row row(std::size_t i) const {
        const Segment& s = segments_[row_segment_[i]];
        const std::size_t begin = s.row_begin[i];
        return {s.j.data() + begin, s.k.data() + begin, s.value.data() + begin, s.row_begin[i + 1] - begin};
    }

    std::size_t rows() const { return row_segment_.size(); }
    std::size_t stored() const;
    // The entries (i, j, k, value_of(v)) for the coefficients (k, v) of one
    // pair, in increasing k; pairs come in increasing (i, j). Inline: the
    // expansions call it for every pair.
    template <class ValueOf>
    [[gnu::always_inline]] void append(std::size_t i, std::size_t j_, std::span<const Coefficient> coefficients,
                                       ValueOf&& value_of) {
        if (rows() <= i) add_rows(i + 1);
        Segment& s = segments_.back();
        for (const Coefficient& x : coefficients) {
            s.j.push_back(static_cast<std::uint32_t>(j_));
            s.k.push_back(static_cast<std::uint32_t>(x.k));
            s.value.push_back(value_of(x.value));
        }
        s.row_begin.back() = s.value.size();
    }
    // The rows of `part`, built apart, after these, with their entries: part
    // holds no entries in the rows these have. It is left empty, to take as
    // much room again for the next rows it is given: in a triangle of pairs
    // the groups of rows shrink, so that each group's room fits the next.
    void append_rows(PairTensor& part);
    // Closes the rows up to n, the basis size, and counts the rows of the
    // whole tensor, once for every call that writes it.
    void finish(std::size_t n);

    // The number of entries of the whole tensor, both halves.
    std::size_t full_size() const { return full_row_begin_.back(); }
    // Every entry of the whole tensor in increasing (i, j, k): index gets
    // full_size() rows (i, j, k), values the values.
    void write_entries(std::int64_t* index, Complex* values) const;
    // The n x n x n tensor into `dense`, which the caller has zeroed.
    void write_dense(Complex* dense) const;

private:
    // Rows 0 .. row_begin.size() - 2 as offsets into the arrays. A row's
    // entries lie in the one segment row_segment_ names; other segments that
    // reach the row hold it empty.
    struct Segment {
        std::vector<std::size_t> row_begin{0};
        MappedArray<std::uint32_t> j{"the tensors"}, k{"the tensors"};
        MappedArray<Complex> value{"the tensors"};
    };

    // No rows.
    void clear();
    // Rows up to `count`, empty, in the last segment, which first takes the
    // room wanted if it holds no entries yet.
    void add_rows(std::size_t count);

    std::vector<Segment> segments_;
    std::vector<std::uint32_t> row_segment_;  // per row, the segment holding its entries
    std::size_t room_wanted_ = 0;             // entries of the rows append_rows took last
    // Where each row of the whole tensor begins, and its end; set by finish.
    std::vector<std::size_t> full_row_begin_;
};

}  // namespace zenqa
