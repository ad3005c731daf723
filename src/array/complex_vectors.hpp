#pragma once

#include <cmath>
#include <cstddef>

#include "array/complex.hpp"

namespace zenqa {

// The loops over vectors that the open-system methods spend most of their
// time in, each built for the baseline processor and AVX2 (and AVX-512 where
// no complex product is formed) and chosen at run time. Every entry takes the
// same IEEE operations in the same order on each, so the results do not
// depend on the machine: for AVX-512, GCC fuses the multiply-adds of complex
// products even with -ffp-contract=off.

// y[k] = y[k] + x[k] * w for k < count.
void add_scaled(std::size_t count, Complex w, const Complex* x, Complex* y);

// y[k] = y[k] + w * conj(x[k]) for k < count.
void add_scaled_conjugate(std::size_t count, Complex w, const Complex* x, Complex* y);

// out[i * cols + k] = out[i * cols + k] + (w * column[i]) * row[k] for
// i < rows, k < cols.
void add_outer_product(std::size_t rows, std::size_t cols, Complex w, const Complex* column, const Complex* row,
                       Complex* out);

// Asks for the cache lines of `count` values before they are used.
inline void prefetch(const Complex* values, std::size_t count) {
    const auto* bytes = reinterpret_cast<const char*>(values);
    for (std::size_t offset = 0; offset < count * sizeof(Complex); offset += 64) __builtin_prefetch(bytes + offset);
}

// The largest modulus of the values, also where its square would leave the
// range of doubles.
double largest_modulus(const Complex* values, std::size_t count);

// Squared moduli of values scaled by a power of two, so that those up to
// `largest` neither overflow nor vanish in underflow: a deviation measured by
// plain squares reads infinity or 0 far from 1. The scaling is exact, so in
// between the moduli are those of the plain squares, to the bit.
class ScaledModulus {
public:
    explicit ScaledModulus(double largest)
        : factor_(largest > 0.0 && std::isfinite(largest) ? std::ldexp(1.0, -std::ilogb(largest)) : 1.0) {}
    double squared(Complex z) const { return squared_modulus(Complex{z.re * factor_, z.im * factor_}); }
    double modulus(double squared) const { return std::sqrt(squared) / factor_; }

private:
    double factor_;
};

// The index of the first NaN or infinity among the values, or count.
std::size_t first_non_finite(const double* values, std::size_t count);

}  // namespace zenqa
