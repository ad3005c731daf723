#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "array/complex.hpp"
#include "array/complex_vectors.hpp"
#include "base/refusals.hpp"

namespace zenqa {

// A deviation in a message: three significant digits.
inline std::string number_text(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", x);
    return text;
}

// Refuses a result with an entry beyond the doubles (ResultOverflow): from
// finite arguments, only a step that overflowed leaves one.
inline void require_finite_result(const Complex* values, std::size_t count, const char* what) {
    if (first_non_finite(reinterpret_cast<const double*>(values), 2 * count) < 2 * count)
        throw ResultOverflow(std::string(what) + " is too large for a double");
}

// The same for a generator (A, b) of n coefficients per image.
inline void require_finite_generator(const Complex* a, const Complex* b, std::size_t n) {
    require_finite_result(a, n * n, "a coefficient of the generator A");
    require_finite_result(b, n, "a coefficient of the generator's b");
}

}  // namespace zenqa
