#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>

#include "array/complex.hpp"

namespace zenqa {

// The largest modulus of the n values.
inline double largest_modulus(const Complex* values, std::size_t n) {
    double largest = 0.0;
    for (std::size_t p = 0; p < n; ++p) largest = std::max(largest, squared_modulus(values[p]));
    return std::sqrt(largest);
}

// A deviation in a message: three significant digits.
inline std::string number_text(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", x);
    return text;
}

}  // namespace zenqa
