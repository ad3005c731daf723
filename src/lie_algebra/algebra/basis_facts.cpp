#include "lie_algebra/algebra/basis_facts.hpp"

#include <algorithm>
#include <cmath>

#include "lie_algebra/algebra/algebra.hpp"

namespace zenqa {

namespace {

std::optional<std::vector<bool>> hermitian_matrices(const SparseColumns& basis, std::size_t d) {
    std::vector<Complex> matrix(d * d);
    std::vector<bool> hermitian(basis.cols());
    for (std::size_t k = 0; k < basis.cols(); ++k) {
        double largest = 0.0;
        basis.for_each_nonzero(k, [&](std::size_t p, Complex v) {
            matrix[p] = v;
            largest = std::max(largest, squared_modulus(v));
        });
        const double tolerance = adjoint_tolerance * adjoint_tolerance * largest;
        bool is_hermitian = true, is_anti_hermitian = true;
        basis.for_each_nonzero(k, [&](std::size_t p, Complex v) {
            const Complex mirrored = conj(matrix[(p % d) * d + p / d]);
            is_hermitian = is_hermitian && squared_modulus(v - mirrored) <= tolerance;
            is_anti_hermitian = is_anti_hermitian && squared_modulus(v + mirrored) <= tolerance;
        });
        basis.for_each_nonzero(k, [&](std::size_t p, Complex) { matrix[p] = Complex{}; });
        if (!is_hermitian && !is_anti_hermitian) return std::nullopt;
        hermitian[k] = is_hermitian;
    }
    return hermitian;
}

bool span_holds_trace(const Algebra& algebra) {
    const std::size_t d = algebra.dim(), n = algebra.size();
    std::vector<Complex> identity(d * d), coefficients(n), projection(d * d);
    for (std::size_t r = 0; r < d; ++r) identity[r * d + r] = {1.0, 0.0};
    algebra.project(1, identity.data(), coefficients.data());
    for (std::size_t k = 0; k < n; ++k) {
        algebra.basis_columns().for_each_nonzero(
            k, [&](std::size_t p, Complex v) { projection[p] = projection[p] + coefficients[k] * v; });
    }
    double squared = 0.0;
    for (const Complex z : projection) squared += squared_modulus(z);
    return std::sqrt(squared) > 1e-8 * std::sqrt(static_cast<double>(d));
}

}  // namespace

BasisFacts find_basis_facts(const Algebra& algebra) {
    const std::size_t d = algebra.dim();
    const SparseColumns& basis = algebra.basis_columns();
    BasisFacts facts;
    facts.hermitian = hermitian_matrices(basis, d);
    std::vector<double> position_sums(d * d);
    for (std::size_t k = 0; k < basis.cols(); ++k)
        basis.for_each_nonzero(k, [&](std::size_t p, Complex v) { position_sums[p] += std::sqrt(squared_modulus(v)); });
    facts.largest_position_sum = *std::max_element(position_sums.begin(), position_sums.end());
    double largest = 0.0;
    for (std::size_t p = 0; p < d * d; ++p)
        algebra.for_each_unit_coefficient(p, [&](std::size_t, Complex v) {
            largest = std::max(largest, squared_modulus(v));
            ++facts.unit_coefficients;
        });
    facts.largest_unit_coefficient = std::sqrt(largest);
    facts.span_holds_trace = span_holds_trace(algebra);
    return facts;
}

}  // namespace zenqa
