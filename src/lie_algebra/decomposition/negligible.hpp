#pragma once

#include "array/complex.hpp"

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

}  // namespace zenqa
