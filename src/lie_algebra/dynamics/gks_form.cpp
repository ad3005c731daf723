#include "lie_algebra/dynamics/gks_form.hpp"

#include <algorithm>
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

// The reshuffled superoperator R[(i,k),(j,l)] = S[(i,j),(k,l)], S on the
// row-major vec: the Choi matrix sum_ab chi_ab vec(F_a) vec(F_b)^H of
// L(rho) = sum_ab chi_ab F_a rho F_b^H. Stored by columns: column (j, l) at
// (j*d + l)*d*d, entry (i, k) at i*d + k.
class ChoiMatrix {
public:
    ChoiMatrix(const Algebra& algebra, std::vector<Complex> a, const Complex* b, InterruptCheck check)
        : d_(algebra.dim()), size_(d_ * d_) {
        require_memory(checked_product({2, size_, size_, sizeof(Complex)}), [] { return "the superoperator"; });
        std::vector<Complex> superoperator(size_ * size_);
        superoperator_columns(
            algebra, std::move(a), b,
            [&](std::size_t q, const Complex* column) { std::copy(column, column + size_, &superoperator[q * size_]); },
            check);
        columns_.resize(size_ * size_);
        // Column q = k*d + l of S, entry p = i*d + j, to column j*d + l, entry
        // i*d + k: digits (k, l, i, j) to (j, l, i, k).
        exchange_outer_digits(d_, superoperator.data(), columns_.data(), false);
    }

    const Complex* columns() const { return columns_.data(); }
    Complex at(std::size_t i, std::size_t k, std::size_t j, std::size_t l) const {
        return columns_[(j * d_ + l) * size_ + i * d_ + k];
    }

    // Refuses R that is not Hermitian: L does not preserve Hermiticity.
    void require_hermitian() const {
        constexpr std::size_t tile = 16;
        double squared = 0.0;
        for (std::size_t p0 = 0; p0 < size_; p0 += tile)
            for (std::size_t q0 = p0; q0 < size_; q0 += tile)
                for (std::size_t p = p0; p < std::min(size_, p0 + tile); ++p)
                    for (std::size_t q = q0; q < std::min(size_, q0 + tile); ++q)
                        squared =
                            std::max(squared, squared_modulus(columns_[q * size_ + p] - conj(columns_[p * size_ + q])));
        const double deviation = std::sqrt(squared);
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
void write_hamiltonian(const ChoiMatrix& r, std::size_t d, Complex* hamiltonian) {
    const double inverse_d = 1.0 / static_cast<double>(d);
    std::vector<Complex> g(d * d);
    for (std::size_t j = 0; j < d; ++j) {
        const Complex* column = r.columns() + (j * d + j) * d * d;
        for (std::size_t p = 0; p < d * d; ++p) g[p] = g[p] + column[p];
    }
    for (Complex& z : g) z = {z.re * inverse_d, z.im * inverse_d};
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

void gks_form(const Algebra& algebra, std::vector<Complex> a, const Complex* b, Complex* hamiltonian,
              Complex* kossakowski, InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    require_traceless_basis(algebra);
    // C = V^+ R (V^+)^H, V the basis columns: V^+ vec(I) = 0 drops the
    // Hamiltonian's part of R. First Y = V^+ R, column (j, l) at (j*d + l)*n;
    // R goes once Y is formed.
    std::vector<Complex> y;
    {
        const ChoiMatrix r(algebra, std::move(a), b, check);
        r.require_hermitian();
        write_hamiltonian(r, d, hamiltonian);
        require_memory(checked_product({size, n, sizeof(Complex)}),
                       [] { return "the Kossakowski matrix's work space"; });
        y.resize(size * n);
        run_in_chunks(size, size, check, [&](std::size_t first, std::size_t last) {
            algebra.project(last - first, r.columns() + first * size, &y[first * n]);
        });
    }
    // Then C^H = V^+ Y^H, a chunk of rows of C at a time.
    project_chunks(
        algebra, n,
        [&](std::size_t first, std::size_t last, Complex* matrices) {
            for (std::size_t q = 0; q < size; ++q)
                for (std::size_t row = first; row < last; ++row)
                    matrices[(row - first) * size + q] = conj(y[q * n + row]);
        },
        [&](std::size_t row, const Complex* coefficients) {
            for (std::size_t k = 0; k < n; ++k) kossakowski[row * n + k] = conj(coefficients[k]);
        },
        check);
    // Hermitian to the last bit: the mean of C and C^H, in tiles.
    constexpr std::size_t tile = 16;
    for (std::size_t i0 = 0; i0 < n; i0 += tile)
        for (std::size_t k0 = i0; k0 < n; k0 += tile)
            for (std::size_t i = i0; i < std::min(n, i0 + tile); ++i)
                for (std::size_t k = std::max(k0, i); k < std::min(n, k0 + tile); ++k) {
                    const Complex upper = kossakowski[i * n + k], lower = conj(kossakowski[k * n + i]);
                    const Complex mean{0.5 * (upper.re + lower.re), 0.5 * (upper.im + lower.im)};
                    kossakowski[i * n + k] = mean;
                    kossakowski[k * n + i] = conj(mean);
                }
}

}  // namespace zenqa
