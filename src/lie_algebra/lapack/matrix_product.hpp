#pragma once

#include <cstddef>

#include "array/complex.hpp"
#include "lie_algebra/lapack/lapack.hpp"

namespace zenqa {

// Products of at most this many complex multiply-adds are summed here: for
// them the call into zgemm costs more than it saves.
inline constexpr std::size_t largest_summed_product = 512;

// c = op(a) b for column-major matrices: op(a) is m x k (a itself, or its
// conjugate transpose when `adjoint` is set), b is k x n and c is m x n. The
// columns of a lie lda apart, by default as close as they can.
// Inline, so that the small products of a known kind compile to their own loops.
inline void multiply(bool adjoint, std::size_t m, std::size_t n, std::size_t k, const Complex* a, const Complex* b,
                     Complex* c, std::size_t lda = 0) {
    if (lda == 0) lda = adjoint ? k : m;
    if (m * n * k <= largest_summed_product) {
        for (std::size_t col = 0; col < n; ++col) {
            for (std::size_t row = 0; row < m; ++row) {
                Complex sum{};
                for (std::size_t q = 0; q < k; ++q) {
                    const Complex x = adjoint ? conj(a[row * lda + q]) : a[q * lda + row];
                    sum = sum + x * b[col * k + q];
                }
                c[col * m + row] = sum;
            }
        }
        return;
    }
    const int rows = lapack_int(m), cols = lapack_int(n), inner = lapack_int(k), leading = lapack_int(lda);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    lapack::zgemm(adjoint ? "C" : "N", "N", &rows, &cols, &inner, &one, a, &leading, b, &inner, &zero, c, &rows);
}

}  // namespace zenqa
