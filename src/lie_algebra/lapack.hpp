#pragma once

#include "array/complex.hpp"

// LAPACK and BLAS through their Fortran interface. The scipy-openblas32 wheel
// prefixes every symbol with scipy_; a system LAPACK has no prefix.
#define ZENQA_PASTE_(a, b) a##b
#define ZENQA_PASTE(a, b) ZENQA_PASTE_(a, b)
#define ZENQA_LAPACK_NAME(name) ZENQA_PASTE(ZENQA_LAPACK_PREFIX, name##_)

extern "C" {

void ZENQA_LAPACK_NAME(zgelsd)(const int* m, const int* n, const int* nrhs, zenqa::Complex* a, const int* lda,
                               zenqa::Complex* b, const int* ldb, double* s, const double* rcond, int* rank,
                               zenqa::Complex* work, const int* lwork, double* rwork, int* iwork, int* info);

}  // extern "C"
