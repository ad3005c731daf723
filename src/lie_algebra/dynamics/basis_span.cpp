#include "lie_algebra/dynamics/basis_span.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/refusals.hpp"

namespace zenqa {

namespace {

// The identity counts as orthogonal to the span when its projection there is
// this small against its own norm sqrt(d): traces of rounded traceless
// matrices (Sylvester's powers of the clock) stay far below it.
constexpr double trace_tolerance = 1e-8;

// Whether some matrix of the span has a trace: then the identity has a
// component in the span.
bool span_holds_trace(const Algebra& algebra) {
    const std::size_t d = algebra.dim(), n = algebra.size();
    std::vector<Complex> identity(d * d), coefficients(n), projection(d * d);
    for (std::size_t r = 0; r < d; ++r) identity[r * d + r] = {1.0, 0.0};
    algebra.project(1, identity.data(), coefficients.data());
    for (std::size_t k = 0; k < n; ++k) {
        algebra.basis_columns().for_each_nonzero(
            k, [&](std::size_t p, Complex v) { projection[p] = projection[p] + coefficients[k] * v; });
    }
    double squared = 0.0;
    for (const Complex z : projection) squared += z.re * z.re + z.im * z.im;
    return std::sqrt(squared) > trace_tolerance * std::sqrt(static_cast<double>(d));
}

// The dimension of the span's intersection with the traceless matrices: the
// trace is one more condition unless the span holds no trace at all.
std::size_t traceless_dimension(const Algebra& algebra) {
    const std::size_t rank = algebra.rank();
    return rank == 0 ? 0 : rank - (span_holds_trace(algebra) ? 1 : 0);
}

std::string traceless_matrices(const Algebra& algebra) {
    const std::string d = std::to_string(algebra.dim());
    return "traceless " + d + " x " + d + " matrices";
}

}  // namespace

void require_traceless_span(const Algebra& algebra) {
    const std::size_t d = algebra.dim(), found = traceless_dimension(algebra);
    if (found == d * d - 1) return;
    throw InvalidValue("the basis does not span the traceless matrices: its rank is " + std::to_string(algebra.rank()) +
                       ", and its span holds " + std::to_string(found) + " of the " + std::to_string(d * d - 1) +
                       " dimensions of the " + traceless_matrices(algebra));
}

void require_traceless_basis(const Algebra& algebra) {
    const std::size_t d = algebra.dim(), n = algebra.size();
    if (n != d * d - 1) {
        throw InvalidValue("the Kossakowski matrix needs a basis of exactly d*d - 1 = " + std::to_string(d * d - 1) +
                           " independent traceless matrices, but the basis has " + std::to_string(n));
    }
    const std::size_t rank = algebra.rank();
    if (rank != n) {
        throw InvalidValue("the Kossakowski matrix needs " + std::to_string(n) +
                           " independent basis matrices, but the basis has rank " + std::to_string(rank));
    }
    if (span_holds_trace(algebra)) {
        throw InvalidValue("the Kossakowski matrix needs a basis spanning the " + traceless_matrices(algebra) +
                           ", but the basis holds matrices with a trace");
    }
}

}  // namespace zenqa
