#pragma once

#include <cstddef>

#include "lie_algebra/algebra/algebra.hpp"

namespace zenqa {

// Refuses (InvalidValue) a basis whose span misses some traceless matrix:
// coherence vectors of every density matrix need all of them.
void require_traceless_span(const Algebra& algebra);

// Refuses a basis other than d*d - 1 independent matrices spanning exactly
// the traceless ones: the Kossakowski matrix is unique only in such a basis.
void require_traceless_basis(const Algebra& algebra);

}  // namespace zenqa
