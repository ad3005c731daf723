#include "lie_algebra/dynamics/gks_form.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/refusals.hpp"
#include "lie_algebra/dynamics/basis_span.hpp"
#include "lie_algebra/dynamics/deviation.hpp"
#include "lie_algebra/dynamics/liouvillian.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"

namespace zenqa {

namespace {

// The superoperator S on the row-major vec, column q at q*d*d. Its
// reshuffling R[(i,k),(j,l)] = S[(i,j),(k,l)] is the Choi matrix
// sum_ab chi_ab vec(F_a) vec(F_b)^H of L(rho) = sum_ab chi_ab F_a rho F_b^H.
class Reshuffled {
public:
    Reshuffled(const Algebra& algebra, const Complex* a, const Complex* b, InterruptCheck check)
        : d_(algebra.dim()), size_(d_ * d_) {
        require_memory(checked_product({size_, size_, sizeof(Complex)}), [] { return "the superoperator"; });
        columns_.resize(size_ * size_);
        superoperator_columns(
            algebra, a, b,
            [&](std::size_t q, const Complex* column) { std::copy(column, column + size_, &columns_[q * size_]); },
            check);
    }

    // R[(i, k), (j, l)].
    Complex at(std::size_t i, std::size_t k, std::size_t j, std::size_t l) const {
        return columns_[(k * d_ + l) * size_ + i * d_ + j];
    }

    // Refuses R that is not Hermitian: L does not preserve Hermiticity.
    void require_hermitian() const {
        double deviation = 0.0;
        for (std::size_t i = 0; i < d_; ++i)
            for (std::size_t k = 0; k < d_; ++k)
                for (std::size_t j = 0; j < d_; ++j)
                    for (std::size_t l = 0; l < d_; ++l) {
                        const Complex difference = at(i, k, j, l) - conj(at(j, l, i, k));
                        deviation = std::max(deviation, std::hypot(difference.re, difference.im));
                    }
        const double largest = largest_modulus(columns_.data(), columns_.size());
        if (deviation <= choi_hermiticity_tolerance * largest) return;
        throw InvalidValue(
            "the generator does not preserve Hermiticity, so it has no GKS form: its Choi matrix R "
            "deviates from Hermitian by " +
            number_text(deviation) + " (largest |R - R^H| entry), beyond 1e-8 times its largest entry " +
            number_text(largest));
    }

private:
    std::size_t d_, size_;
    std::vector<Complex> columns_;
};

// H from G0 = unvec(R vec(I)) / d, which is G = -iH - 1/2 sum_ij C_ij B_j^H B_i
// up to a multiple of I: H = (i/2)(G0 - G0^H), its trace removed.
void write_hamiltonian(const Reshuffled& r, std::size_t d, Complex* hamiltonian) {
    const double inverse_d = 1.0 / static_cast<double>(d);
    std::vector<Complex> g(d * d);
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t k = 0; k < d; ++k) {
            Complex sum{};
            for (std::size_t j = 0; j < d; ++j) sum = sum + r.at(i, k, j, j);
            g[i * d + k] = {sum.re * inverse_d, sum.im * inverse_d};
        }
    double trace = 0.0;
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t k = 0; k < d; ++k) {
            const Complex difference = g[i * d + k] - conj(g[k * d + i]);
            hamiltonian[i * d + k] = {-0.5 * difference.im, 0.5 * difference.re};
            if (i == k) trace += hamiltonian[i * d + k].re;
        }
    for (std::size_t i = 0; i < d; ++i) hamiltonian[i * d + i].re -= trace * inverse_d;
}

}  // namespace

void gks_form(const Algebra& algebra, const Complex* a, const Complex* b, Complex* hamiltonian, Complex* kossakowski,
              InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    require_traceless_basis(algebra);
    const Reshuffled r(algebra, a, b, check);
    r.require_hermitian();
    write_hamiltonian(r, d, hamiltonian);
    // C = V^+ R (V^+)^H, V the basis columns: V^+ vec(I) = 0 drops the
    // Hamiltonian's part of R. First Y = V^+ R, column (j, l) at (j*d + l)*n.
    require_memory(checked_product({size, n, sizeof(Complex)}), [] { return "the Kossakowski matrix's work space"; });
    std::vector<Complex> y(size * n);
    project_images(
        algebra, size,
        [&](std::size_t t, Complex* matrix) {
            const std::size_t j = t / d, l = t % d;
            for (std::size_t i = 0; i < d; ++i)
                for (std::size_t k = 0; k < d; ++k) matrix[i * d + k] = r.at(i, k, j, l);
        },
        [&](std::size_t t, const Complex* coefficients) { std::copy(coefficients, coefficients + n, &y[t * n]); },
        check);
    // Then C^H = V^+ Y^H, one row of C at a time.
    project_images(
        algebra, n,
        [&](std::size_t row, Complex* matrix) {
            for (std::size_t q = 0; q < size; ++q) matrix[q] = conj(y[q * n + row]);
        },
        [&](std::size_t row, const Complex* coefficients) {
            for (std::size_t k = 0; k < n; ++k) kossakowski[row * n + k] = conj(coefficients[k]);
        },
        check);
    // Hermitian to the last bit: the mean of C and C^H.
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = i; k < n; ++k) {
            const Complex upper = kossakowski[i * n + k], lower = conj(kossakowski[k * n + i]);
            const Complex mean{0.5 * (upper.re + lower.re), 0.5 * (upper.im + lower.im)};
            kossakowski[i * n + k] = mean;
            kossakowski[k * n + i] = conj(mean);
        }
}

}  // namespace zenqa
