#pragma once

#include <cstddef>

#include "array/complex.hpp"
#include "lie_algebra/lapack/lapack.hpp"

namespace zenqa {

// Products of at most this many complex multiply-adds are summed here: for
// them the call into zgemm costs more than it saves.
inline constexpr std::size_t largest_summed_product = 512;
// The same bound on the multiply-adds of one column, for multiply_columns.
inline constexpr std::size_t largest_summed_column = 16;

// How zgemm forms a complex product. With four real products each, every
// entry of c lies within a few roundings of the sum of its terms' moduli.
// With three (the 3M form, zgemm3m), a quarter fewer operations, within a
// few roundings of the moduli of its row's and column's real and imaginary
// parts. Either sums each column of c the same way however many come with
// it. The constants keep four, so that their values stay where they were
// within 1e-15; the dynamics, whose results carry tolerances, take three.
enum class ComplexProducts { four_real, three_real };

// zgemm or zgemm3m, as `products` asks.
inline auto complex_gemm(ComplexProducts products) {
    return products == ComplexProducts::three_real ? lapack::zgemm3m : lapack::zgemm;
}

// c = op(a) b, summed in plain loops; the arguments are multiply_columns'.
inline void summed_product(bool adjoint, std::size_t m, std::size_t n, std::size_t k, const Complex* a,
                           const Complex* b, Complex* c, std::size_t lda, std::size_t ldc) {
    for (std::size_t col = 0; col < n; ++col) {
        for (std::size_t row = 0; row < m; ++row) {
            Complex sum{};
            for (std::size_t q = 0; q < k; ++q) {
                const Complex x = adjoint ? conj(a[row * lda + q]) : a[q * lda + row];
                sum = sum + x * b[col * k + q];
            }
            c[col * ldc + row] = sum;
        }
    }
}

// c = op(a) b by zgemm; the arguments are multiply_columns'.
inline void gemm_product(bool adjoint, std::size_t m, std::size_t n, std::size_t k, const Complex* a, const Complex* b,
                         Complex* c, std::size_t lda, std::size_t ldc,
                         ComplexProducts products = ComplexProducts::four_real) {
    const int rows = lapack_int(m), cols = lapack_int(n), inner = lapack_int(k);
    const int leading_a = lapack_int(lda), leading_c = lapack_int(ldc);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    complex_gemm(products)(adjoint ? "C" : "N", "N", &rows, &cols, &inner, &one, a, &leading_a, b, &inner, &zero, c,
                           &leading_c);
}

// c = op(a) b for column-major matrices: op(a) is m x k (a itself, or its
// conjugate transpose when `adjoint` is set), b is k x n and c is m x n.
// Inline, so that the small products of a known kind compile to their own loops.
inline void multiply(bool adjoint, std::size_t m, std::size_t n, std::size_t k, const Complex* a, const Complex* b,
                     Complex* c) {
    const std::size_t lda = adjoint ? k : m;
    if (m * n * k <= largest_summed_product) return summed_product(adjoint, m, n, k, a, b, c, lda, m);
    gemm_product(adjoint, m, n, k, a, b, c, lda, m);
}

// multiply(false, ...), choosing between the loops and zgemm by the work of
// one column. zgemm sums each column the same way however many come with it,
// so each column of c is the same bits whatever n is: callers may split
// their columns by the number of threads. The columns of c lie ldc apart,
// by default m.
inline void multiply_columns(std::size_t m, std::size_t n, std::size_t k, const Complex* a, const Complex* b,
                             Complex* c, std::size_t lda = 0, std::size_t ldc = 0,
                             ComplexProducts products = ComplexProducts::four_real) {
    if (lda == 0) lda = m;
    if (ldc == 0) ldc = m;
    if (m * k <= largest_summed_column) return summed_product(false, m, n, k, a, b, c, lda, ldc);
    gemm_product(false, m, n, k, a, b, c, lda, ldc, products);
}

// c = a b^H by zgemm: a is m x k, b is n x k and c is m x n, column-major,
// their columns lda, ldb and ldc apart. Like multiply_columns, each column of
// c is the same bits however many come with it.
inline void multiply_by_adjoint(std::size_t m, std::size_t n, std::size_t k, const Complex* a, std::size_t lda,
                                const Complex* b, std::size_t ldb, Complex* c, std::size_t ldc,
                                ComplexProducts products) {
    const int rows = lapack_int(m), cols = lapack_int(n), inner = lapack_int(k);
    const int leading_a = lapack_int(lda), leading_b = lapack_int(ldb), leading_c = lapack_int(ldc);
    const Complex one{1.0, 0.0}, zero{0.0, 0.0};
    complex_gemm(products)("N", "C", &rows, &cols, &inner, &one, a, &leading_a, b, &leading_b, &zero, c, &leading_c);
}

// c = a b for real column-major matrices: a is m x k, b is k x n and c is
// m x n, their columns lda, ldb and ldc apart. Unlike zgemm, dgemm may sum a
// column of c differently with n.
inline void multiply_real(std::size_t m, std::size_t n, std::size_t k, const double* a, std::size_t lda,
                          const double* b, std::size_t ldb, double* c, std::size_t ldc) {
    const int rows = lapack_int(m), cols = lapack_int(n), inner = lapack_int(k);
    const int leading_a = lapack_int(lda), leading_b = lapack_int(ldb), leading_c = lapack_int(ldc);
    const double one = 1.0, zero = 0.0;
    lapack::dgemm("N", "N", &rows, &cols, &inner, &one, a, &leading_a, b, &leading_b, &zero, c, &leading_c);
}

}  // namespace zenqa
