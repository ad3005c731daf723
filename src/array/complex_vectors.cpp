#include "array/complex_vectors.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace zenqa {

namespace {

[[gnu::always_inline]] inline void scaled_sum(std::size_t count, Complex w, const Complex* x, Complex* y) {
    for (std::size_t k = 0; k < count; ++k) y[k] = y[k] + x[k] * w;
}

}  // namespace

[[gnu::target_clones("avx2", "default")]] void add_scaled(std::size_t count, Complex w, const Complex* x, Complex* y) {
    scaled_sum(count, w, x, y);
}

[[gnu::target_clones("avx2", "default")]] void add_scaled_conjugate(std::size_t count, Complex w, const Complex* x,
                                                                    Complex* y) {
    for (std::size_t k = 0; k < count; ++k) y[k] = y[k] + w * conj(x[k]);
}

[[gnu::target_clones("avx2", "default")]] void add_outer_product(std::size_t rows, std::size_t cols, Complex w,
                                                                 const Complex* column, const Complex* row,
                                                                 Complex* out) {
    for (std::size_t i = 0; i < rows; ++i) scaled_sum(cols, w * column[i], row, out + i * cols);
}

namespace {

// Several maxima side by side, so that the comparisons need not wait for one
// another; the largest of them is the same whatever the order.
[[gnu::target_clones("avx512f", "avx2", "default")]] double largest_squared_modulus(const Complex* values,
                                                                                    std::size_t count) {
    constexpr std::size_t lanes = 8;
    double largest[lanes] = {};
    std::size_t p = 0;
    for (; p + lanes <= count; p += lanes)
        for (std::size_t l = 0; l < lanes; ++l) largest[l] = std::max(largest[l], squared_modulus(values[p + l]));
    for (; p < count; ++p) largest[0] = std::max(largest[0], squared_modulus(values[p]));
    return *std::max_element(largest, largest + lanes);
}

// By squares scaled for the largest component.
double rescaled_largest_modulus(const Complex* values, std::size_t count) {
    double component = 0.0;
    for (std::size_t p = 0; p < count; ++p)
        component = std::max({component, std::abs(values[p].re), std::abs(values[p].im)});
    const ScaledModulus scaled(component);
    double squared = 0.0;
    for (std::size_t p = 0; p < count; ++p) squared = std::max(squared, scaled.squared(values[p]));
    return std::isfinite(component) ? scaled.modulus(squared) : component;
}

}  // namespace

double largest_modulus(const Complex* values, std::size_t count) {
    const double squared = largest_squared_modulus(values, count);
    if (squared >= DBL_MIN && squared <= DBL_MAX) [[likely]]
        return std::sqrt(squared);
    return rescaled_largest_modulus(values, count);
}

// A value is not finite when its exponent bits are all set: blocks are
// tested by those bits at once, and only a block that holds one is searched.
[[gnu::target_clones("avx512f", "avx2", "default")]] std::size_t first_non_finite(const double* values,
                                                                                  std::size_t count) {
    constexpr std::uint64_t exponent = 0x7ff0000000000000;
    constexpr std::size_t block = 256;
    for (std::size_t first = 0; first < count; first += block) {
        const std::size_t last = std::min(count, first + block);
        bool any = false;
        for (std::size_t p = first; p < last; ++p) {
            std::uint64_t bits;
            std::memcpy(&bits, values + p, sizeof bits);
            any |= (bits & exponent) == exponent;
        }
        if (!any) [[likely]]
            continue;
        for (std::size_t p = first; p < last; ++p)
            if (!std::isfinite(values[p])) return p;
    }
    return count;
}

}  // namespace zenqa
