#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>

#include "array/complex.hpp"
#include "base/refusals.hpp"
#include "lie_algebra/basis_forms/basis_range.hpp"

namespace zenqa {

// Coefficients and terms this small are taken for rounding noise and dropped.
inline constexpr double negligible_bound = 1e-8;
// A bound on coefficients that leaves a tenth of the negligible bound as a
// margin for its own rounding: what it holds are certainly negligible.
inline constexpr double certainly_negligible = negligible_bound / 10;

// Both parts at most negligible_bound in absolute value; a NaN part is never negligible.
inline bool is_negligible(Complex z) {
    return (z.re <= negligible_bound && z.re >= -negligible_bound) &&
           (z.im <= negligible_bound && z.im >= -negligible_bound);
}

// A coefficient of basis matrix k.
struct Coefficient {
    std::size_t k;
    Complex value;
};

[[noreturn]] inline void raise_coefficient_overflow(std::size_t k) {
    throw ResultOverflow("a coefficient of basis matrix " + std::to_string(k) + " is too large for a double");
}

// The true coefficient of basis matrix k, computed as 2^-exponent times it;
// none when negligible. One beyond the range of doubles is a ResultOverflow.
inline std::optional<Complex> true_coefficient(std::size_t k, Complex computed, int exponent) {
    const Complex value = times_power_of_two(computed, exponent);
    if (is_negligible(value)) return std::nullopt;
    if (!std::isfinite(value.re) || !std::isfinite(value.im)) raise_coefficient_overflow(k);
    return value;
}

}  // namespace zenqa
