#include "lie_algebra/dynamics/liouvillian.hpp"

#include <string>
#include <vector>

#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/refusals.hpp"
#include "lie_algebra/dynamics/basis_span.hpp"
#include "lie_algebra/dynamics/deviation.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"

namespace zenqa {

namespace {

// Column q = r*d + c of the row-major superoperator, taken from the
// column-stacked one: its image of E_rc, entry (i, k) at i*d + k.
std::vector<Complex> row_major_columns(const Complex* superoperator, std::size_t d) {
    const std::size_t size = d * d;
    require_memory(checked_product({size, size, sizeof(Complex)}), [] { return "a copy of the superoperator"; });
    std::vector<Complex> columns(size * size);
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c)
            for (std::size_t i = 0; i < d; ++i)
                for (std::size_t k = 0; k < d; ++k)
                    columns[(r * d + c) * size + i * d + k] = superoperator[(k * d + i) * size + c * d + r];
    return columns;
}

void require_trace_preserved(const std::vector<Complex>& columns, std::size_t d) {
    const std::size_t size = d * d;
    double deviation = 0.0;
    for (std::size_t q = 0; q < size; ++q) {
        Complex trace{};
        for (std::size_t i = 0; i < d; ++i) trace = trace + columns[q * size + i * d + i];
        deviation = std::max(deviation, std::hypot(trace.re, trace.im));
    }
    const double largest = largest_modulus(columns.data(), columns.size());
    if (deviation <= trace_tolerance * largest) return;
    const std::string side = std::to_string(size);
    throw InvalidValue("superoperator of shape (" + side + ", " + side +
                       ") does not preserve the trace: the trace of an image of a unit matrix reaches " +
                       number_text(deviation) + ", beyond 1e-8 times its largest entry " + number_text(largest));
}

}  // namespace

void from_liouvillian(const Algebra& algebra, const Complex* superoperator, Complex* a, Complex* b,
                      InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    require_traceless_span(algebra);
    const std::vector<Complex> columns = row_major_columns(superoperator, d);
    require_trace_preserved(columns, d);
    const double inverse_d = 1.0 / static_cast<double>(d);
    project_images(
        algebra, n + 1,
        [&](std::size_t t, Complex* matrix) {
            const auto add_column = [&](std::size_t q, Complex v) {
                const Complex* column = columns.data() + q * size;
                for (std::size_t p = 0; p < size; ++p) matrix[p] = matrix[p] + v * column[p];
            };
            if (t < n) return algebra.basis_columns().for_each_nonzero(t, add_column);
            for (std::size_t r = 0; r < d; ++r) add_column(r * d + r, {inverse_d, 0.0});
        },
        [&](std::size_t t, const Complex* coefficients) { take_generator_image(t, n, coefficients, a, b); }, check);
}

void superoperator_columns(const Algebra& algebra, const Complex* a, const Complex* b,
                           const std::function<void(std::size_t, const Complex*)>& visit, InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    const double inverse_d = 1.0 / static_cast<double>(d);
    // L(X) = sum_k (A w)_k B_k + tr(X) L(I/d), w the coefficients of the
    // traceless part of X.
    std::vector<Complex> image_of_identity(size);
    for (std::size_t k = 0; k < n; ++k) {
        algebra.basis_columns().for_each_nonzero(
            k, [&](std::size_t p, Complex v) { image_of_identity[p] = image_of_identity[p] + b[k] * v; });
    }
    project_images(
        algebra, size,
        [&](std::size_t q, Complex* matrix) {
            matrix[q] = {1.0, 0.0};
            if (q / d != q % d) return;
            for (std::size_t i = 0; i < d; ++i) matrix[i * d + i] = matrix[i * d + i] - Complex{inverse_d, 0.0};
        },
        [&](std::size_t q, const Complex* w) {
            std::vector<std::size_t> nonzero;
            for (std::size_t j = 0; j < n; ++j)
                if (!is_zero(w[j])) nonzero.push_back(j);
            std::vector<Complex> column(size);
            if (q / d == q % d) column = image_of_identity;
            for (std::size_t k = 0; k < n; ++k) {
                Complex y{};
                for (const std::size_t j : nonzero) y = y + a[k * n + j] * w[j];
                if (is_zero(y)) continue;
                algebra.basis_columns().for_each_nonzero(
                    k, [&](std::size_t p, Complex v) { column[p] = column[p] + y * v; });
            }
            visit(q, column.data());
        },
        check);
}

void to_liouvillian(const Algebra& algebra, const Complex* a, const Complex* b, Complex* superoperator,
                    InterruptCheck check) {
    const std::size_t d = algebra.dim(), size = d * d;
    require_traceless_span(algebra);
    superoperator_columns(
        algebra, a, b,
        [&](std::size_t q, const Complex* column) {
            const std::size_t r = q / d, c = q % d;
            for (std::size_t i = 0; i < d; ++i)
                for (std::size_t k = 0; k < d; ++k) superoperator[(k * d + i) * size + c * d + r] = column[i * d + k];
        },
        check);
}

}  // namespace zenqa
