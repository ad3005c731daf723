#include "lie_algebra/algebra.hpp"

#include <cstdint>
#include <cstring>

#include "base/fault.hpp"
#include "lie_algebra/basis_columns.hpp"

namespace zenqa {

namespace {

std::vector<ComplexMatrix> as_matrices(const std::vector<Complex>& basis, std::size_t n, std::size_t d) {
    std::vector<ComplexMatrix> matrices;
    matrices.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        ComplexMatrix matrix = ComplexMatrix::zeros(d, d);
        std::memcpy(static_cast<void*>(matrix.data()), &basis[i * d * d], d * d * sizeof(Complex));
        matrices.push_back(std::move(matrix));
    }
    return matrices;
}

BlockProjector projector_of(const std::vector<ComplexMatrix>& matrices) {
    return BlockProjector(build_basis_columns(matrices));
}

// Collects the records into the stored halves of both tensors: the commutator
// of i < j as it comes, the anticommutator halved as d_coefficients halves
// it; the squares arrive in a stream of their own and are merged in at the end.
class TensorRecords final : public PairRecords {
public:
    void commutator(std::size_t i, std::size_t j, const std::vector<Coefficient>& coefficients) override {
        for (const Coefficient& x : coefficients) structure.append(i, j, x.k, x.value);
    }
    void anticommutator(std::size_t i, std::size_t j, const std::vector<Coefficient>& coefficients) override {
        PairTensor& target = i == j ? squares : pairs;
        for (const Coefficient& x : coefficients) target.append(i, j, x.k, half_of(x.value));
    }

    PairTensor structure, squares, pairs;
};

}  // namespace

Algebra::Algebra(std::vector<Complex> basis, std::size_t n, std::size_t d, InterruptCheck check_interrupt)
    : n_(n), d_(d), basis_(std::move(basis)), projector_(projector_of(as_matrices(basis_, n, d))) {
    if (n > UINT32_MAX) raise_fault("a basis of more than 2**32 - 1 matrices");
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t p = 0; p < d * d; ++p)
            if (!is_zero(basis_[i * d * d + p])) entries_.push_back({i, p, basis_[i * d * d + p]});
    TensorRecords records;
    records.structure.symmetry = Symmetry::Antisymmetric;
    expand_all_products(as_matrices(basis_, n, d), projector_, check_interrupt, records);
    structure_ = std::move(records.structure);
    d_coefficients_ = merge_sorted(records.squares, records.pairs);
    d_coefficients_.symmetry = Symmetry::Symmetric;
}

}  // namespace zenqa
