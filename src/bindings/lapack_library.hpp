#pragma once

namespace zenqa {

// Loads OpenBLAS from the installed scipy-openblas32 package before the first
// computation that calls LAPACK or BLAS. Without that package: ImportError
// saying how to install it; the next call tries again.
void require_lapack();

}  // namespace zenqa
