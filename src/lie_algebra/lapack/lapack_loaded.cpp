#include <dlfcn.h>

#include <atomic>

#include "lie_algebra/lapack/lapack.hpp"

namespace zenqa::lapack {

namespace {

// Fortran interface; the trailing lengths are those of the character arguments.
using Zgelsd = void(const int*, const int*, const int*, Complex*, const int*, Complex*, const int*, double*,
                    const double*, int*, Complex*, const int*, double*, int*, int*);
using Zgemm = void(const char*, const char*, const int*, const int*, const int*, const Complex*, const Complex*,
                   const int*, const Complex*, const int*, const Complex*, Complex*, const int*, std::size_t,
                   std::size_t);
using Dgemm = void(const char*, const char*, const int*, const int*, const int*, const double*, const double*,
                   const int*, const double*, const int*, const double*, double*, const int*, std::size_t, std::size_t);
using GetNumThreads = int();
using SetNumThreads = void(int);

struct Routines {
    Zgelsd* zgelsd;
    Zgemm* zgemm;
    Zgemm* zgemm3m;
    Dgemm* dgemm;
    GetNumThreads* get_num_threads;
    SetNumThreads* set_num_threads;
};

// Published once, after every pointer is resolved; callers that may run
// without the interpreter lock read it without taking one.
std::atomic<const Routines*> loaded{nullptr};

template <class Function>
Function* resolve(void* library, const std::string& path, const char* name) {
    void* symbol = dlsym(library, name);
    if (symbol == nullptr) throw LibraryError(path + " has no " + name);
    return reinterpret_cast<Function*>(symbol);
}

// The module shares large products out over threads of its own, which sleep
// while they wait; OpenBLAS's would spin inside them and oversubscribe the
// cores. threadpoolctl lists this OpenBLAS too, so a limit set on every
// library gives it more threads: each call takes it back to one.
const Routines& routines() {
    const Routines* table = loaded.load(std::memory_order_acquire);
    if (table == nullptr) raise_fault("LAPACK called before OpenBLAS was loaded");
    if (table->get_num_threads() != 1) table->set_num_threads(1);
    return *table;
}

}  // namespace

bool is_loaded() { return loaded.load(std::memory_order_acquire) != nullptr; }

void open_library(const std::string& path) {
    if (is_loaded()) return;
    // The handle stays open for the life of the process.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw LibraryError(dlerror());
    static const Routines table{resolve<Zgelsd>(library, path, "scipy_zgelsd_"),
                                resolve<Zgemm>(library, path, "scipy_zgemm_"),
                                resolve<Zgemm>(library, path, "scipy_zgemm3m_"),
                                resolve<Dgemm>(library, path, "scipy_dgemm_"),
                                resolve<GetNumThreads>(library, path, "scipy_openblas_get_num_threads"),
                                resolve<SetNumThreads>(library, path, "scipy_openblas_set_num_threads")};
    table.set_num_threads(1);
    loaded.store(&table, std::memory_order_release);
}

void zgelsd(const int* m, const int* n, const int* nrhs, Complex* a, const int* lda, Complex* b, const int* ldb,
            double* s, const double* rcond, int* rank, Complex* work, const int* lwork, double* rwork, int* iwork,
            int* info) {
    routines().zgelsd(m, n, nrhs, a, lda, b, ldb, s, rcond, rank, work, lwork, rwork, iwork, info);
}

void zgemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const Complex* alpha,
           const Complex* a, const int* lda, const Complex* b, const int* ldb, const Complex* beta, Complex* c,
           const int* ldc) {
    routines().zgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}

void zgemm3m(const char* transa, const char* transb, const int* m, const int* n, const int* k, const Complex* alpha,
             const Complex* a, const int* lda, const Complex* b, const int* ldb, const Complex* beta, Complex* c,
             const int* ldc) {
    routines().zgemm3m(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}

void dgemm(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
           const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c,
           const int* ldc) {
    routines().dgemm(transa, transb, m, n, k, alpha, a, lda, b, ldb, beta, c, ldc, 1, 1);
}

}  // namespace zenqa::lapack
