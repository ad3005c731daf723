#pragma once

#include "array/complex.hpp"

namespace zenqa {

// Both parts at most 1e-8 in absolute value; a NaN part is never negligible.
inline bool is_negligible(Complex z) { return (z.re <= 1e-8 && z.re >= -1e-8) && (z.im <= 1e-8 && z.im >= -1e-8); }

}  // namespace zenqa
