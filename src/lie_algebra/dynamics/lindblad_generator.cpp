#include "lie_algebra/dynamics/lindblad_generator.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "array/complex_vectors.hpp"
#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/refusals.hpp"
#include "lie_algebra/dynamics/basis_span.hpp"
#include "lie_algebra/dynamics/deviation.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"
#include "lie_algebra/lapack/matrix_product.hpp"

namespace zenqa {

namespace {

// One nonzero entry of a matrix: value at position r*d + c.
struct Entry {
    std::size_t position;
    Complex value;
};

// Matrices with more nonzero entries than d are mapped by matrix products;
// sparser ones, Gell-Mann's and the clock-and-shift ones, entry by entry.
class LindbladMap {
public:
    LindbladMap(std::size_t d, const LindbladEquation& equation)
        : d_(d), m_(equation.rates.size()), rates_(equation.rates), jumps_(equation.jumps) {
        const std::size_t size = d * d;
        // G = -iH - 1/2 sum_m g_m L_m^H L_m, so that L(X) = G X + X G^H + sum_m g_m L_m X L_m^H.
        std::vector<Complex> decay(size), product(size);
        require_memory(checked_product({2, m_, size, sizeof(Complex)}),
                       [] { return "the adjoints and transposes of the jump operators"; });
        adjoints_.resize(m_ * size);
        transposes_.resize(m_ * size);
        for (std::size_t j = 0; j < m_; ++j) {
            const Complex* jump = jumps_.data() + j * size;
            for (std::size_t r = 0; r < d; ++r) {
                for (std::size_t c = 0; c < d; ++c) {
                    adjoints_[j * size + c * d + r] = conj(jump[r * d + c]);
                    transposes_[j * size + c * d + r] = jump[r * d + c];
                }
            }
            multiply_row_major(adjoints_.data() + j * size, jump, product.data());
            for (std::size_t p = 0; p < size; ++p) decay[p] = decay[p] + scaled(product[p], rates_[j]);
        }
        g_.resize(size);
        g_adjoint_.resize(size);
        for (std::size_t p = 0; p < size; ++p) {
            const Complex h = equation.hamiltonian[p];
            g_[p] = Complex{h.im, -h.re} - scaled(decay[p], 0.5);
        }
        for (std::size_t r = 0; r < d; ++r)
            for (std::size_t c = 0; c < d; ++c) g_adjoint_[c * d + r] = conj(g_[r * d + c]);
    }

    // L of the matrix with these entries, added to `out` (d x d, zeroed).
    void image(const std::vector<Entry>& entries, Complex* out) const {
        if (entries.size() <= d_) {
            for (const Entry& entry : entries) add_image_of_entry(entry, out);
        } else {
            add_image_of_dense(entries, out);
        }
    }

private:
    static Complex scaled(Complex z, double s) { return {z.re * s, z.im * s}; }

    // c = a b for d x d matrices in row-major order.
    void multiply_row_major(const Complex* a, const Complex* b, Complex* c) const {
        multiply(false, d_, d_, d_, b, a, c);
    }

    // For X = v E_rc: G X adds v G[:, r] to column c, X G^H adds v G^H[c, :] to
    // row r, and L X L^H is the outer product v L[:, r] L^H[c, :].
    void add_image_of_entry(const Entry& entry, Complex* out) const {
        const std::size_t d = d_, r = entry.position / d, c = entry.position % d;
        const Complex v = entry.value;
        for (std::size_t i = 0; i < d; ++i) out[i * d + c] = out[i * d + c] + v * g_[i * d + r];
        add_scaled(d, v, g_adjoint_.data() + c * d, out + r * d);
        for (std::size_t j = 0; j < m_; ++j) {
            const Complex* column = transposes_.data() + j * d * d + r * d;
            const Complex* row = adjoints_.data() + j * d * d + c * d;
            add_outer_product(d, d, scaled(v, rates_[j]), column, row, out);
        }
    }

    void add_image_of_dense(const std::vector<Entry>& entries, Complex* out) const {
        const std::size_t size = d_ * d_;
        std::vector<Complex> x(size), left(size), product(size);
        for (const Entry& entry : entries) x[entry.position] = entry.value;
        const auto add = [&](double weight) {
            for (std::size_t p = 0; p < size; ++p) out[p] = out[p] + scaled(product[p], weight);
        };
        multiply_row_major(g_.data(), x.data(), product.data());
        add(1.0);
        multiply_row_major(x.data(), g_adjoint_.data(), product.data());
        add(1.0);
        for (std::size_t j = 0; j < m_; ++j) {
            multiply_row_major(jumps_.data() + j * size, x.data(), left.data());
            multiply_row_major(left.data(), adjoints_.data() + j * size, product.data());
            add(rates_[j]);
        }
    }

    std::size_t d_, m_;
    const std::vector<double>& rates_;
    const std::vector<Complex>& jumps_;
    std::vector<Complex> adjoints_, transposes_;  // of each L_m, row-major
    std::vector<Complex> g_, g_adjoint_;
};

void require_hermitian(const std::vector<Complex>& h, std::size_t d) {
    const double largest = largest_modulus(h.data(), h.size());
    const ScaledModulus scaled(largest);
    double squared = 0.0;
    for (std::size_t r = 0; r < d; ++r) {
        for (std::size_t c = 0; c < d; ++c) {
            const Complex difference = h[r * d + c] - conj(h[c * d + r]);
            squared = std::max(squared, scaled.squared(difference));
        }
    }
    const double deviation = scaled.modulus(squared);
    if (deviation <= hermiticity_tolerance * largest) return;
    const std::string size = std::to_string(d);
    throw InvalidValue("hamiltonian of shape (" + size + ", " + size +
                       ") is not Hermitian: its largest |H - H^H| entry is " + number_text(deviation) +
                       ", beyond 1e-10 times its largest entry " + number_text(largest));
}

}  // namespace

void lindblad_generator(const Algebra& algebra, const LindbladEquation& equation, Complex* a, Complex* b,
                        InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim();
    require_hermitian(equation.hamiltonian, d);
    require_traceless_span(algebra);
    const LindbladMap map(d, equation);
    Workers workers(check);
    // Image n is that of I/d, whose coefficients are b.
    project_images(
        algebra, n + 1,
        [&](std::size_t t, Complex* matrix) {
            std::vector<Entry> entries;
            if (t < n) {
                algebra.basis_columns().for_each_nonzero(t,
                                                         [&](std::size_t p, Complex v) { entries.push_back({p, v}); });
            } else {
                for (std::size_t r = 0; r < d; ++r) entries.push_back({r * d + r, {1.0 / static_cast<double>(d), 0.0}});
            }
            map.image(entries, matrix);
        },
        [&](std::size_t first, std::size_t last, const Complex* coefficients) {
            take_generator_images(first, last, n, coefficients, a, b);
        },
        workers);
    require_finite_generator(a, b, n);
}

}  // namespace zenqa
