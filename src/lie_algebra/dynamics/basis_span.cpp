#include "lie_algebra/dynamics/basis_span.hpp"

#include <string>

#include "base/refusals.hpp"

namespace zenqa {

namespace {

// The dimension of the span's intersection with the traceless matrices: the
// trace is one more condition unless the span holds no trace at all.
std::size_t traceless_dimension(const Algebra& algebra) {
    const std::size_t rank = algebra.rank();
    return rank == 0 ? 0 : rank - (algebra.facts().span_holds_trace ? 1 : 0);
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
    if (algebra.facts().span_holds_trace) {
        throw InvalidValue("the Kossakowski matrix needs a basis spanning the " + traceless_matrices(algebra) +
                           ", but the basis holds matrices with a trace");
    }
}

}  // namespace zenqa
