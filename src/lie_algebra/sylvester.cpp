#include "lie_algebra/sylvester.hpp"

#include <cmath>
#include <cstdio>
#include <string>

#include "base/checked_math.hpp"
#include "base/fault.hpp"
#include "base/memory_check.hpp"

namespace zenqa {

namespace {

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
            text += "Complex { re: " + render_number(c.re) + ", im: " + render_number(c.im) + " }";
        }
        text += "]";
    }
    text += "], shape=[" + std::to_string(m.rows()) + ", " + std::to_string(m.cols()) + "], strides=[" +
            std::to_string(m.row_stride()) + ", " + std::to_string(m.col_stride()) +
            "], layout=" + (m.layout() == Layout::RowMajor ? "C" : "F") + ", const ndim=2";
    return text;
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

    const double df = static_cast<double>(d);
    const double angle = 6.283185307179586 / df;
    const double modulus = std::exp(0.0 / df);
    const Complex w{modulus * std::cos(angle), modulus * std::sin(angle)};

    ComplexMatrix z = ComplexMatrix::zeros(d, d);
    for (std::size_t k = 0; k < d; ++k) z.set(k, k, integer_power(w, k));

    const ComplexMatrix left = matmul(z, x);
    ComplexMatrix right = matmul(x, z);
    right.scale_in_place(w);
    if (!approx_equal(left, right, 1e-8)) {
        raise_fault("assert_abs_diff_eq!(z.dot(&x), w * x.dot(&z), epsilon = 1e-8)\n\n    left  = " +
                    render_matrix(left) + "\n    right = " + render_matrix(right) + "\n\n");
    }

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
