#include "lie_algebra/bases/sylvester.hpp"

#include <cmath>
#include <cstdio>
#include <numbers>
#include <string>

#include "base/checked_math.hpp"
#include "base/fault.hpp"
#include "base/memory_check.hpp"
#include "base/published_messages.hpp"

namespace zenqa {

namespace {

// How closely Z X must match w X Z, entry by entry, for the basis to be built;
// rounding leaves them far closer for every d a machine can hold.
constexpr double commutation_tolerance = 1e-8;

// w^k by exponentiation by squaring, multiplying the accumulator by the base.
Complex integer_power(Complex base, std::uint64_t exponent) {
    if (exponent == 0) return {1.0, 0.0};
    while ((exponent & 1) == 0) {
        base = base * base;
        exponent >>= 1;
    }
    Complex accumulator = base;
    while (exponent > 1) {
        exponent >>= 1;
        base = base * base;
        if ((exponent & 1) == 1) accumulator = accumulator * base;
    }
    return accumulator;
}

std::string render_number(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

std::string render_matrix(const ComplexMatrix& m) {
    std::string text = "[";
    for (std::size_t i = 0; i < m.rows(); ++i) {
        text += i == 0 ? "[" : ",\n [";
        for (std::size_t j = 0; j < m.cols(); ++j) {
            const Complex c = m.at(i, j);
            if (j > 0) text += ", ";
            text += published::rendered_element(render_number(c.re), render_number(c.im));
        }
        text += "]";
    }
    return text + "]" +
           published::rendered_matrix_tail(m.rows(), m.cols(), m.row_stride(), m.col_stride(),
                                           m.layout() == Layout::RowMajor);
}

}  // namespace

void sylvester_basis(std::uint64_t d, const MatrixSink& emit) {
    ComplexMatrix::check_size(d, d);
    if (d >= 2)
        require_memory(checked_product({d * d - 1, d, d, sizeof(Complex)}),
                       [d] { return "the Sylvester basis for d = " + std::to_string(d); });

    ComplexMatrix x = ComplexMatrix::zeros(d, d);
    for (std::size_t i = 1; i != d; ++i) x.set(i, i - 1, {1.0, 0.0});
    x.set(0, d - 1, {1.0, 0.0});

    // d >= 1 here: d = 0 failed on the shift matrix.
    const double angle = 2 * std::numbers::pi / static_cast<double>(d);
    const Complex w{std::cos(angle), std::sin(angle)};

    ComplexMatrix z = ComplexMatrix::zeros(d, d);
    for (std::size_t k = 0; k < d; ++k) z.set(k, k, integer_power(w, k));

    const ComplexMatrix left = matmul(z, x);
    ComplexMatrix right = matmul(x, z);
    right.scale_in_place(w);
    if (!approx_equal(left, right, commutation_tolerance))
        raise_fault(published::sylvester_check_failed(render_matrix(left), render_matrix(right)));

    emit(x.copy());
    emit(z.copy());
    ComplexMatrix x_power = x.copy();
    for (std::uint64_t j = 1; j <= d; ++j) {
        ComplexMatrix z_power = z.copy();
        for (std::uint64_t m = 1; m <= d; ++m) {
            // X^1 Z^d is X, X^d Z^1 is Z and X^d Z^d the identity.
            const bool excluded = (m == d && j == 1) || (m == 1 && j == d) || (m == d && j == d);
            if (!excluded) emit(matmul(x_power, z_power));
            z_power = matmul(z_power, z);
        }
        x_power = matmul(x_power, x);
    }
}

}  // namespace zenqa
