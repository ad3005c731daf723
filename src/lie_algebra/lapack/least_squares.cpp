#include "lie_algebra/lapack/least_squares.hpp"

#include <algorithm>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "lie_algebra/lapack/lapack.hpp"

namespace zenqa {

namespace {

void check_info(int info) {
    if (info < 0) raise_failed_step_fault(published::lapack_invalid_value(info));
    if (info > 0) raise_failed_step_fault(published::lapack_computational_failure(info));
}

// A workspace size that the query returned as a float.
std::size_t workspace_size(double reported, double imaginary_part = 0.0) {
    if (imaginary_part != 0.0 || !(reported > -1.0 && reported < 0x1p64)) raise_missing_value_fault();
    return static_cast<std::size_t>(reported);
}

}  // namespace

LeastSquaresSolution solve_least_squares(const ComplexMatrix& a, const ComplexMatrix& b, double rcond) {
    const std::size_t rows = a.rows(), cols = a.cols(), rhs = b.cols();
    if (b.rows() != rows) raise_shape_fault(ShapeFault::Incompatible);
    const int m = lapack_int(rows), n = lapack_int(cols), nrhs = lapack_int(rhs);
    const int lda = std::max(1, m);
    // When n > m the right-hand sides are padded with zeros to n rows: the
    // solution overwrites them.
    const int ldb = std::max({1, m, n});

    // Column-major copies, which LAPACK overwrites.
    std::vector<Complex> a_buffer(static_cast<std::size_t>(lda) * std::max<std::size_t>(cols, 1));
    for (std::size_t c = 0; c < cols; ++c)
        for (std::size_t r = 0; r < rows; ++r) a_buffer[c * lda + r] = a.at(r, c);
    std::vector<Complex> b_buffer(static_cast<std::size_t>(ldb) * std::max<std::size_t>(rhs, 1));
    for (std::size_t c = 0; c < rhs; ++c)
        for (std::size_t r = 0; r < rows; ++r) b_buffer[c * ldb + r] = b.at(r, c);
    std::vector<double> singular_values(std::max<std::size_t>(std::min(rows, cols), 1));
    int rank = 0, info = 0;

    Complex work_query{};
    double rwork_query = 0.0;
    int iwork_query = 0;
    const int query = -1;
    lapack::zgelsd(&m, &n, &nrhs, a_buffer.data(), &lda, b_buffer.data(), &ldb, singular_values.data(), &rcond, &rank,
                   &work_query, &query, &rwork_query, &iwork_query, &info);
    check_info(info);
    const std::size_t lwork = workspace_size(work_query.re, work_query.im);
    const std::size_t lrwork = workspace_size(rwork_query);
    if (iwork_query < 0) raise_missing_value_fault();

    std::vector<Complex> work(std::max<std::size_t>(lwork, 1));
    std::vector<double> rwork(std::max<std::size_t>(lrwork, 1));
    std::vector<int> iwork(std::max(iwork_query, 1));
    const int lwork_int = lapack_int(lwork);
    lapack::zgelsd(&m, &n, &nrhs, a_buffer.data(), &lda, b_buffer.data(), &ldb, singular_values.data(), &rcond, &rank,
                   work.data(), &lwork_int, rwork.data(), iwork.data(), &info);
    check_info(info);

    ComplexMatrix x = ComplexMatrix::zeros(cols, rhs, Layout::ColumnMajor);
    for (std::size_t c = 0; c < rhs; ++c)
        for (std::size_t r = 0; r < cols; ++r) x.set(r, c, b_buffer[c * ldb + r]);
    singular_values.resize(std::min(rows, cols));
    return {std::move(x), std::move(singular_values)};
}

}  // namespace zenqa
