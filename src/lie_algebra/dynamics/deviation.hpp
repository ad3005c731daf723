#pragma once

#include <cstdio>
#include <string>

namespace zenqa {

// A deviation in a message: three significant digits.
inline std::string number_text(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", x);
    return text;
}

}  // namespace zenqa
