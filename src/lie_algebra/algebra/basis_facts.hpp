#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace zenqa {

class Algebra;

// What the open-system methods need to know of a basis on every call, found
// once per algebra.
struct BasisFacts {
    // Per matrix: Hermitian (true) or anti-Hermitian (false), within
    // adjoint_tolerance of its largest entry; none where one is neither.
    std::optional<std::vector<bool>> hermitian;
    // The largest sum over k of |B_k[p]| at one position p.
    double largest_position_sum = 0.0;
    // The largest modulus of a coefficient of a unit matrix E_p, and how many
    // of those coefficients are nonzero: the entries of the pseudo-inverse.
    double largest_unit_coefficient = 0.0;
    std::size_t unit_coefficients = 0;
    // Whether some matrix of the span has a trace: whether the identity has a
    // component there beyond 1e-8 of its norm sqrt(d), far above the traces
    // of rounded traceless matrices (Sylvester's powers of the clock).
    bool span_holds_trace = false;
};

// U B U^H is Hermitian or anti-Hermitian only within rounding.
inline constexpr double adjoint_tolerance = 1e-13;

BasisFacts find_basis_facts(const Algebra& algebra);

}  // namespace zenqa
