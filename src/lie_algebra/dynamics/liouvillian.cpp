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
    // Row k*d + i, column c*d + r of the column-stacked one.
    permute_in_tiles(size, size, superoperator, columns.data(), [d, size](std::size_t row, std::size_t col) {
        return (col % d * d + col / d) * size + row % d * d + row / d;
    });
    return columns;
}

void require_trace_preserved(const std::vector<Complex>& columns, std::size_t d) {
    const std::size_t size = d * d;
    double squared = 0.0;
    for (std::size_t q = 0; q < size; ++q) {
        Complex trace{};
        for (std::size_t i = 0; i < d; ++i) trace = trace + columns[q * size + i * d + i];
        squared = std::max(squared, squared_modulus(trace));
    }
    const double deviation = std::sqrt(squared);
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
    // A by columns, so that A w reads only the columns of the nonzero w_j.
    require_memory(checked_product({n, n, sizeof(Complex)}), [] { return "a transposed copy of the generator"; });
    std::vector<Complex> a_columns(n * n);
    permute_in_tiles(n, n, a, a_columns.data(), [n](std::size_t k, std::size_t j) { return j * n + k; });
    project_images(
        algebra, size,
        [&](std::size_t q, Complex* matrix) {
            matrix[q] = {1.0, 0.0};
            if (q / d != q % d) return;
            for (std::size_t i = 0; i < d; ++i) matrix[i * d + i] = matrix[i * d + i] - Complex{inverse_d, 0.0};
        },
        [&](std::size_t q, const Complex* w) {
            std::vector<Complex> y(n), column(size);
            for (std::size_t j = 0; j < n; ++j) {
                if (is_zero(w[j])) continue;
                const Complex* a_column = a_columns.data() + j * n;
                for (std::size_t k = 0; k < n; ++k) y[k] = y[k] + a_column[k] * w[j];
            }
            if (q / d == q % d) column = image_of_identity;
            for (std::size_t k = 0; k < n; ++k) {
                if (is_zero(y[k])) continue;
                algebra.basis_columns().for_each_nonzero(
                    k, [&](std::size_t p, Complex v) { column[p] = column[p] + y[k] * v; });
            }
            visit(q, column.data());
        },
        check);
}

void to_liouvillian(const Algebra& algebra, const Complex* a, const Complex* b, Complex* superoperator,
                    InterruptCheck check) {
    const std::size_t d = algebra.dim(), size = d * d;
    require_traceless_span(algebra);
    require_memory(checked_product({size, size, sizeof(Complex)}), [] { return "the superoperator's work space"; });
    std::vector<Complex> columns(size * size);
    superoperator_columns(
        algebra, a, b,
        [&](std::size_t q, const Complex* column) { std::copy(column, column + size, &columns[q * size]); }, check);
    // Column q = r*d + c, entry p = i*d + k to row k*d + i, column c*d + r.
    permute_in_tiles(size, size, columns.data(), superoperator, [d, size](std::size_t q, std::size_t p) {
        return (p % d * d + p / d) * size + q % d * d + q / d;
    });
}

}  // namespace zenqa
