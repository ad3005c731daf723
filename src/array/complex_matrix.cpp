#include "array/complex_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "base/checked_math.hpp"
#include "base/fault.hpp"
#include "base/memory_check.hpp"
#include "base/published_messages.hpp"

namespace zenqa {

void ComplexMatrix::check_size(std::uint64_t rows, std::uint64_t cols, std::source_location where) {
    const auto count = checked_product({rows == 0 ? 1 : rows, cols == 0 ? 1 : cols});
    if (!count || *count > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        raise_fault(published::shape_too_large, where);
    const auto bytes = checked_product({rows, cols, sizeof(Complex)});
    if (!bytes || *bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        raise_fault(published::capacity_overflow, where);
}

ComplexMatrix::ComplexMatrix(std::size_t rows, std::size_t cols, Layout layout)
    : elements_(rows * cols), rows_(rows), cols_(cols), layout_(layout) {}

ComplexMatrix ComplexMatrix::zeros(std::size_t rows, std::size_t cols, Layout layout) {
    check_size(rows, cols);
    require_memory(rows * cols * sizeof(Complex),
                   [&] { return "a " + std::to_string(rows) + " x " + std::to_string(cols) + " complex matrix"; });
    return ComplexMatrix(rows, cols, layout);
}

ComplexMatrix ComplexMatrix::identity(std::size_t n) {
    ComplexMatrix result = zeros(n, n);
    for (std::size_t i = 0; i < n; ++i) result.set(i, i, {1.0, 0.0});
    return result;
}

ComplexMatrix ComplexMatrix::copy() const {
    ComplexMatrix result;
    result.elements_ = elements_;
    result.rows_ = rows_;
    result.cols_ = cols_;
    result.layout_ = layout_;
    return result;
}

std::ptrdiff_t ComplexMatrix::row_stride() const {
    if (empty()) return 0;
    return layout_ == Layout::RowMajor ? static_cast<std::ptrdiff_t>(cols_) : 1;
}

std::ptrdiff_t ComplexMatrix::col_stride() const {
    if (empty()) return 0;
    return layout_ == Layout::RowMajor ? 1 : static_cast<std::ptrdiff_t>(rows_);
}

std::size_t ComplexMatrix::checked_offset(std::size_t i, std::size_t j, std::source_location where) const {
    if (i >= rows_ || j >= cols_) raise_fault(published::index_out_of_bounds(i, j, rows_, cols_), where);
    return offset(i, j);
}

void ComplexMatrix::set(std::size_t i, std::size_t j, Complex value, std::source_location where) {
    elements_[checked_offset(i, j, where)] = value;
}

void ComplexMatrix::add_at(std::size_t i, std::size_t j, Complex value, std::source_location where) {
    Complex& element = elements_[checked_offset(i, j, where)];
    element = element + value;
}

void ComplexMatrix::scale_in_place(Complex s) {
    for (Complex& c : elements_) c = c * s;
}

bool ComplexMatrix::all_finite() const {
    for (const Complex& c : elements_)
        if (!std::isfinite(c.re) || !std::isfinite(c.im)) return false;
    return true;
}

void check_product_shapes(std::size_t a_rows, std::size_t a_cols, std::size_t b_rows, std::size_t b_cols) {
    const auto count = checked_product({a_rows, b_cols});
    if (!count || *count > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        raise_fault(published::product_too_large(a_rows, b_cols));
    if (a_cols != b_rows) raise_fault(published::product_incompatible(a_rows, a_cols, b_rows, b_cols));
}

void check_broadcast(std::size_t from_rows, std::size_t from_cols, std::size_t to_rows, std::size_t to_cols) {
    if ((from_rows != to_rows && from_rows != 1) || (from_cols != to_cols && from_cols != 1))
        raise_fault(published::broadcast_failed(from_rows, from_cols, to_rows, to_cols));
}

ComplexMatrix matmul(const ComplexMatrix& a, const ComplexMatrix& b) {
    check_product_shapes(a.rows(), a.cols(), b.rows(), b.cols());
    const std::size_t m = a.rows(), k = a.cols(), n = b.cols();
    const Layout layout = a.row_stride() == 1 && b.row_stride() == 1 ? Layout::ColumnMajor : Layout::RowMajor;
    ComplexMatrix c = ComplexMatrix::zeros(m, n, layout);
    if (c.empty()) return c;

    // Row sums s[j] for the current i, accumulated over x in increasing order.
    // With finite operands a zero factor adds an exact zero, which leaves a sum
    // that starts at +0.0 unchanged, so such terms are skipped.
    const bool skip_zeros = a.all_finite() && b.all_finite();
    std::vector<Complex> sums(n);
    for (std::size_t i = 0; i < m; ++i) {
        std::fill(sums.begin(), sums.end(), Complex{});
        for (std::size_t x = 0; x < k; ++x) {
            const Complex ax = a.at(i, x);
            if (skip_zeros && is_zero(ax)) continue;
            for (std::size_t j = 0; j < n; ++j) {
                const Complex bx = b.at(x, j);
                if (skip_zeros && is_zero(bx)) continue;
                sums[j] = sums[j] + bx * ax;
            }
        }
        for (std::size_t j = 0; j < n; ++j) c.set(i, j, Complex{1.0, 0.0} * sums[j] + Complex{0.0, 0.0});
    }
    return c;
}

void add_scaled(ComplexMatrix& target, const ComplexMatrix& term, Complex s) {
    const std::size_t rows = target.rows(), cols = target.cols();
    check_broadcast(term.rows(), term.cols(), rows, cols);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const Complex c = term.at(term.rows() == 1 ? 0 : i, term.cols() == 1 ? 0 : j);
            target.add_at(i, j, c * s);
        }
    }
}

bool approx_equal(const ComplexMatrix& x, const ComplexMatrix& y, double eps) {
    if (x.rows() != y.rows() || x.cols() != y.cols()) return false;
    for (std::size_t i = 0; i < x.rows(); ++i) {
        for (std::size_t j = 0; j < x.cols(); ++j) {
            const Complex a = x.at(i, j), b = y.at(i, j);
            if (!(eps >= std::fabs(a.re - b.re) && eps >= std::fabs(a.im - b.im))) return false;
        }
    }
    return true;
}

}  // namespace zenqa
