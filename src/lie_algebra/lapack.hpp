#pragma once

#include <climits>
#include <cstddef>

#include "array/complex.hpp"
#include "base/fault.hpp"

// LAPACK and BLAS through their Fortran interface. The scipy-openblas32 wheel
// prefixes every symbol with scipy_; a system LAPACK has no prefix.
#define ZENQA_PASTE_(a, b) a##b
#define ZENQA_PASTE(a, b) ZENQA_PASTE_(a, b)
#define ZENQA_LAPACK_NAME(name) ZENQA_PASTE(ZENQA_LAPACK_PREFIX, name##_)

extern "C" {

void ZENQA_LAPACK_NAME(zgelsd)(const int* m, const int* n, const int* nrhs, zenqa::Complex* a, const int* lda,
                               zenqa::Complex* b, const int* ldb, double* s, const double* rcond, int* rank,
                               zenqa::Complex* work, const int* lwork, double* rwork, int* iwork, int* info);

// The trailing lengths are those of the two character arguments.
void ZENQA_LAPACK_NAME(zgemm)(const char* transa, const char* transb, const int* m, const int* n, const int* k,
                              const zenqa::Complex* alpha, const zenqa::Complex* a, const int* lda,
                              const zenqa::Complex* b, const int* ldb, const zenqa::Complex* beta, zenqa::Complex* c,
                              const int* ldc, std::size_t transa_length, std::size_t transb_length);

// OpenBLAS's setting of its thread count; a weak reference, null when the
// library is not OpenBLAS.
[[gnu::weak]] void ZENQA_PASTE(ZENQA_LAPACK_PREFIX, openblas_set_num_threads)(int count);

}  // extern "C"

namespace zenqa {

// The products here are small and many: OpenBLAS's threads cost more to wake
// than they save, and spin on a busy machine. Callers who want both cores run
// calls in two Python threads instead (the GIL is released). The thread count
// changes no result: the threads share out rows and columns, not sums.
inline void use_one_blas_thread() {
    if (&ZENQA_PASTE(ZENQA_LAPACK_PREFIX, openblas_set_num_threads) != nullptr)
        ZENQA_PASTE(ZENQA_LAPACK_PREFIX, openblas_set_num_threads)(1);
}

// LAPACK counts with 32-bit integers.
inline int lapack_int(std::size_t value) {
    if (value > static_cast<std::size_t>(INT_MAX)) raise_fault("dimension exceeds LAPACK's 32-bit integers");
    return static_cast<int>(value);
}

}  // namespace zenqa
