#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "lie_algebra/basis_forms/sparse_accumulator.hpp"

namespace zenqa {

// A basis with at least one nonzero entry in this many is multiplied by zgemm:
// from there on, whole-matrix products beat following the entries one by one.
inline constexpr std::size_t dense_one_in = 4;

// Pair products of basis matrices (d x d) that are mostly nonzero, by matrix
// multiplication: the products of B_i with every B_j, j >= i, take two zgemm
// calls, made when a pair of a new row i is first asked for. Copies share the
// matrices and keep row products of their own, so each thread takes one.
class DenseBasis {
public:
    // From the d*d x n basis columns.
    DenseBasis(const ComplexMatrix& columns, std::size_t d);

    // Whether the matrices hold enough nonzero entries to be worth it.
    static bool suits(const ComplexMatrix& columns);
    // The same, from the count of nonzero entries among `size`.
    static bool suits(std::size_t nonzero, std::size_t size) { return dense_one_in * nonzero >= size; }

    // Appends every j > i, in increasing order.
    void append_partners(std::size_t i, std::vector<std::size_t>& partners) const;

    // target += B_i B_j - B_j B_i for the commutator, B_i B_j + B_j B_i
    // otherwise; j >= i.
    void accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target);

    // accumulate_pair for both products at once; j > i.
    void accumulate_both(std::size_t i, std::size_t j, SparseAccumulator& commutator,
                         SparseAccumulator& anticommutator);

private:
    void multiply_row(std::size_t i);
    // visit(p, (B_i B_j)[p], (B_j B_i)[p]) for every position p = r*d + c; j >= i.
    template <class Visit>
    void visit_products(std::size_t i, std::size_t j, Visit&& visit);

    struct Matrices {
        std::vector<Complex> plain;       // each B_j in row-major order, one after another
        std::vector<Complex> transposed;  // each B_j^T likewise
    };

    std::size_t d_;
    std::size_t n_;
    std::shared_ptr<const Matrices> matrices_;
    std::size_t row_ = 0;         // the row the products are of, plus one
    std::vector<Complex> left_;   // B_i B_j for j = i .. n-1, each column-major
    std::vector<Complex> right_;  // B_j B_i for j = i .. n-1, each row-major
};

}  // namespace zenqa
