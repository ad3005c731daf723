#pragma once

#include <cstddef>

#include "array/complex.hpp"
#include "lie_algebra/algebra/algebra.hpp"

namespace zenqa {

// Coefficient vectors of n elements each, read in place: vector v of the
// batch is row rows[v] of `data`, real (one double per coefficient) or
// complex (two). Broadcasting maps several vectors to one row.
struct CoefficientRows {
    const double* data;
    bool complex;
    const std::size_t* rows;
};

// For `count` vector pairs, the coefficients of [A, B] (bracket) or of
// {A, B} (anticommutator), n per pair, into `out`.
void bracket(const Algebra& algebra, CoefficientRows a, CoefficientRows b, std::size_t count, Complex* out);
void anticommutator(const Algebra& algebra, CoefficientRows a, CoefficientRows b, std::size_t count, Complex* out);

// The n x n matrices of ad(A), row k holding the coefficients of B_k, so that
// ad(A) b is the bracket of a and b.
void adjoint(const Algebra& algebra, CoefficientRows a, std::size_t count, Complex* out);

// The d x d matrices sum a_i B_i.
void matrices(const Algebra& algebra, CoefficientRows a, std::size_t count, Complex* out);

// The minimum-norm least-squares coefficients of `count` d x d matrices.
void coefficients(const Algebra& algebra, const Complex* matrices, std::size_t count, Complex* out);

}  // namespace zenqa
