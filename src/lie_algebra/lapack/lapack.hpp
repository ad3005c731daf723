#pragma once

#include <climits>
#include <cstddef>
#include <stdexcept>
#include <string>

#include "array/complex.hpp"
#include "base/fault.hpp"

// LAPACK and BLAS with their Fortran arguments. The scipy-openblas32 build
// opens OpenBLAS at run time, so that the module does not depend on where that
// wheel was installed; a system LAPACK is linked.
namespace zenqa::lapack {

// Whether the routines can be called: a linked LAPACK always can, OpenBLAS
// once open_library has succeeded.
bool is_loaded();

// A library that cannot be opened, or lacks a routine; the message says which.
class LibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opens OpenBLAS at path and resolves the routines, once for the process.
// Each call runs on the calling thread alone (see ThreadTeam). Throws
// LibraryError.
void open_library(const std::string& path);

void zgelsd(const int* m, const int* n, const int* nrhs, Complex* a, const int* lda, Complex* b, const int* ldb,
            double* s, const double* rcond, int* rank, Complex* work, const int* lwork, double* rwork, int* iwork,
            int* info);

void zgemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const Complex* alpha,
           const Complex* a, const int* lda, const Complex* b, const int* ldb, const Complex* beta, Complex* c,
           const int* ldc);

// zgemm in three real products per complex one; a linked BLAS that lacks it
// forms the product with four.
void zgemm3m(const char* transa, const char* transb, const int* m, const int* n, const int* k, const Complex* alpha,
             const Complex* a, const int* lda, const Complex* b, const int* ldb, const Complex* beta, Complex* c,
             const int* ldc);

void dgemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
           const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c,
           const int* ldc);

}  // namespace zenqa::lapack

namespace zenqa {

// LAPACK counts with 32-bit integers.
inline int lapack_int(std::size_t value) {
    if (value > static_cast<std::size_t>(INT_MAX)) raise_fault("dimension exceeds LAPACK's 32-bit integers");
    return static_cast<int>(value);
}

}  // namespace zenqa
