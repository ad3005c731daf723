#include "lie_algebra/basis_forms/dense_basis.hpp"

#include <algorithm>

#include "lie_algebra/lapack/lapack.hpp"

namespace zenqa {

DenseBasis::DenseBasis(const ComplexMatrix& columns, std::size_t d) : d_(d), n_(columns.cols()) {
    const std::size_t m = d * d;
    auto matrices = std::make_shared<Matrices>(Matrices{std::vector<Complex>(m * n_), std::vector<Complex>(m * n_)});
    for (std::size_t k = 0; k < n_; ++k) {
        for (std::size_t r = 0; r < d; ++r) {
            for (std::size_t c = 0; c < d; ++c) {
                matrices->plain[k * m + r * d + c] = columns.at(r * d + c, k);
                matrices->transposed[k * m + c * d + r] = columns.at(r * d + c, k);
            }
        }
    }
    matrices_ = std::move(matrices);
}

bool DenseBasis::suits(const ComplexMatrix& columns) {
    // In memory order, whatever the layout.
    const std::size_t nonzero =
        std::count_if(columns.data(), columns.data() + columns.size(), [](Complex z) { return !is_zero(z); });
    return suits(nonzero, columns.size());
}

void DenseBasis::append_partners(std::size_t i, std::vector<std::size_t>& partners) const {
    for (std::size_t j = i + 1; j < n_; ++j) partners.push_back(j);
}

// Row-major memory of M, read as a column-major matrix, is M^T. So with R(M)
// the memory of M: R(B_i) R(B_j) = (B_j B_i)^T, stored column-major, is B_j B_i
// in row-major order; R(B_i^T) R(B_j^T) = B_i B_j, stored column-major.
void DenseBasis::multiply_row(std::size_t i) {
    const std::size_t m = d_ * d_, count = n_ - i;
    left_.resize(m * count);
    right_.resize(m * count);
    const int d = lapack_int(d_), width = lapack_int(d_ * count);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    const Complex *plain = &matrices_->plain[i * m], *transposed = &matrices_->transposed[i * m];
    lapack::zgemm("N", "N", &d, &width, &d, &one, plain, &d, plain, &d, &zero, right_.data(), &d);
    lapack::zgemm("N", "N", &d, &width, &d, &one, transposed, &d, transposed, &d, &zero, left_.data(), &d);
    row_ = i + 1;
}

template <class Visit>
void DenseBasis::visit_products(std::size_t i, std::size_t j, Visit&& visit) {
    if (row_ != i + 1) multiply_row(i);
    const std::size_t m = d_ * d_;
    const Complex* left = &left_[(j - i) * m];
    const Complex* right = &right_[(j - i) * m];
    for (std::size_t r = 0; r < d_; ++r) {
        for (std::size_t c = 0; c < d_; ++c) {
            const std::size_t p = r * d_ + c;
            visit(p, left[c * d_ + r], right[p]);
        }
    }
}

void DenseBasis::accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target) {
    visit_products(i, j, [&](std::size_t p, Complex ij, Complex ji) { target.add(p, commutator ? ij - ji : ij + ji); });
}

void DenseBasis::accumulate_both(std::size_t i, std::size_t j, SparseAccumulator& commutator,
                                 SparseAccumulator& anticommutator) {
    visit_products(i, j, [&](std::size_t p, Complex ij, Complex ji) {
        commutator.add(p, ij - ji);
        anticommutator.add(p, ij + ji);
    });
}

}  // namespace zenqa
