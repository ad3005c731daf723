#pragma once

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

// The largest modulus of the values.
double largest_modulus(const Complex* values, std::size_t count);

// The index of the first NaN or infinity among the values, or count.
std::size_t first_non_finite(const double* values, std::size_t count);

}  // namespace zenqa
