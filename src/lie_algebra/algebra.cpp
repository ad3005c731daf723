#include "lie_algebra/algebra.hpp"

#include <cstdint>

#include "base/fault.hpp"

namespace zenqa {

namespace {

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

// The matrices one after another, each row-major, are the columns of the
// d*d x n column matrix in column-major order.
Algebra::Algebra(std::vector<Complex> basis, std::size_t n, std::size_t d, InterruptCheck check_interrupt)
    : n_(n),
      d_(d),
      columns_(ComplexMatrix::from_elements(d * d, n, Layout::ColumnMajor, std::move(basis))),
      projector_(columns_) {
    if (n > UINT32_MAX) raise_fault("a basis of more than 2**32 - 1 matrices");
    const Complex* values = columns_.data();
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t p = 0; p < d * d; ++p)
            if (!is_zero(values[i * d * d + p])) entries_.push_back({i, p, values[i * d * d + p]});
    TensorRecords records;
    expand_all_products(columns_, d, projector_, check_interrupt, records);
    structure_ = std::move(records.structure);
    d_coefficients_ = merge_sorted(records.squares, records.pairs);
    d_coefficients_.symmetry = Symmetry::Symmetric;
}

}  // namespace zenqa
