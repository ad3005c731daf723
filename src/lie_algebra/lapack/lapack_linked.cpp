#include "lie_algebra/lapack/lapack.hpp"

extern "C" {

void zgelsd_(const int* m, const int* n, const int* nrhs, zenqa::Complex* a, const int* lda, zenqa::Complex* b,
             const int* ldb, double* s, const double* rcond, int* rank, zenqa::Complex* work, const int* lwork,
             double* rwork, int* iwork, int* info);

// The trailing lengths are those of the two character arguments.
void zgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k,
            const zenqa::Complex* alpha, const zenqa::Complex* a, const int* lda, const zenqa::Complex* b,
            const int* ldb, const zenqa::Complex* beta, zenqa::Complex* c, const int* ldc, std::size_t transa_length,
            std::size_t transb_length);

void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
            const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c,
            const int* ldc, std::size_t transa_length, std::size_t transb_length);

}  // extern "C"

namespace zenqa::lapack {

bool is_loaded() { return true; }

void open_library(const std::string&) {}

void zgelsd(const int* m, const int* n, const int* nrhs, Complex* a, const int* lda, Complex* b, const int* ldb,
            double* s, const double* rcond, int* rank, Complex* work, const int* lwork, double* rwork, int* iwork,
            int* info) {
    zgelsd_(m, n, nrhs, a, lda, b, ldb, s, rcond, rank, work, lwork, rwork, iwork, info);
}

void zgemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const Complex* alpha,
           const Complex* a, const int* lda, const Complex* b, const int* ldb, const Complex* beta, Complex* c,
           const int* ldc) {
    zgemm_(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}

// The reference BLAS has no zgemm3m, and the linked one may be it.
void zgemm3m(const char* transa, const char* transb, const int* m, const int* n, const int* k, const Complex* alpha,
             const Complex* a, const int* lda, const Complex* b, const int* ldb, const Complex* beta, Complex* c,
             const int* ldc) {
    zgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc);
}

void dgemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
           const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c,
           const int* ldc) {
    dgemm_(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}

}  // namespace zenqa::lapack
