#pragma once

namespace zenqa {

// A complex number of two IEEE doubles, real part first. The operators are
// the plain textbook formulas, evaluated in exactly the written order, so that
// results (signed zeros included) are reproducible bit for bit.
struct Complex {
    double re = 0.0;
    double im = 0.0;

    // Equal values, as doubles compare: 0.0 equals -0.0.
    bool operator==(const Complex&) const = default;
};

inline Complex operator*(Complex x, Complex y) { return {x.re * y.re - x.im * y.im, x.re * y.im + x.im * y.re}; }

inline Complex operator+(Complex x, Complex y) { return {x.re + y.re, x.im + y.im}; }

inline Complex operator-(Complex x, Complex y) { return {x.re - y.re, x.im - y.im}; }

inline Complex operator-(Complex z) { return {-z.re, -z.im}; }

inline Complex conj(Complex z) { return {z.re, -z.im}; }

inline bool is_zero(Complex z) { return z.re == 0.0 && z.im == 0.0; }

// |z|^2: cheaper than the modulus where only comparisons need it.
inline double squared_modulus(Complex z) { return z.re * z.re + z.im * z.im; }

}  // namespace zenqa
