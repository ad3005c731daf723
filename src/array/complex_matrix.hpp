#pragma once

#include <cstddef>
#include <cstdint>
#include <source_location>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

enum class Layout { RowMajor, ColumnMajor };

// A dense rows x columns matrix of complex numbers that owns its elements,
// stored contiguously in row-major or column-major order. Copies are explicit.
class ComplexMatrix {
public:
    ComplexMatrix() = default;
    ComplexMatrix(const ComplexMatrix&) = delete;
    ComplexMatrix& operator=(const ComplexMatrix&) = delete;
    ComplexMatrix(ComplexMatrix&&) noexcept = default;
    ComplexMatrix& operator=(ComplexMatrix&&) noexcept = default;

    // Every element (0.0, 0.0).
    static ComplexMatrix zeros(std::size_t rows, std::size_t cols, Layout layout = Layout::RowMajor);
    // (1.0, 0.0) on the diagonal, (0.0, 0.0) elsewhere.
    static ComplexMatrix identity(std::size_t n);

    // The size rule of every creation: the product of the non-zero extents
    // must fit a signed 64-bit count, and its byte size the address space.
    static void check_size(std::uint64_t rows, std::uint64_t cols,
                           std::source_location where = std::source_location::current());

    ComplexMatrix copy() const;

    std::size_t rows() const { return rows_; }
    std::size_t cols() const { return cols_; }
    std::size_t size() const { return elements_.size(); }
    bool empty() const { return elements_.empty(); }
    Layout layout() const { return layout_; }

    // Strides in elements; (0, 0) for an empty matrix.
    std::ptrdiff_t row_stride() const;
    std::ptrdiff_t col_stride() const;

    // Elements in memory order.
    Complex* data() { return elements_.data(); }
    const Complex* data() const { return elements_.data(); }

    // Whether the elements lie in row-major order: always, but for a
    // column-major matrix with more than one row and column.
    bool row_major_contiguous() const { return layout_ == Layout::RowMajor || rows_ <= 1 || cols_ <= 1; }

    // Bounds-checked element access; an index outside the extents is a fault.
    void set(std::size_t i, std::size_t j, Complex value, std::source_location where = std::source_location::current());
    void add_at(std::size_t i, std::size_t j, Complex value,
                std::source_location where = std::source_location::current());

    // Unchecked access, for loops that stay inside the extents.
    Complex at(std::size_t i, std::size_t j) const { return elements_[offset(i, j)]; }

    // The element at a flat index counted in row-major order, whatever the
    // layout; flat < size().
    Complex row_major_at(std::size_t flat) const {
        return layout_ == Layout::RowMajor ? elements_[flat] : at(flat / cols_, flat % cols_);
    }

    // Every element c becomes c * s.
    void scale_in_place(Complex s);

    // All elements finite, so that a zero factor contributes an exact zero to a product.
    bool all_finite() const;

private:
    ComplexMatrix(std::size_t rows, std::size_t cols, Layout layout);
    std::size_t offset(std::size_t i, std::size_t j) const {
        return layout_ == Layout::RowMajor ? i * cols_ + j : j * rows_ + i;
    }
    std::size_t checked_offset(std::size_t i, std::size_t j, std::source_location where) const;

    std::vector<Complex> elements_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    Layout layout_ = Layout::RowMajor;
};

// The faults of a product of an a_rows x a_cols and a b_rows x b_cols matrix,
// for callers that check shapes before computing.
void check_product_shapes(std::size_t a_rows, std::size_t a_cols, std::size_t b_rows, std::size_t b_cols);

// The fault of stretching a from_rows x from_cols operand to to_rows x to_cols:
// each extent must match or be 1.
void check_broadcast(std::size_t from_rows, std::size_t from_cols, std::size_t to_rows, std::size_t to_cols);

// The product a . b. Each element accumulates b[x][j] * a[i][x] over x in
// increasing order from (0.0, 0.0) and is stored as (1.0 + 0i) * s + (0.0 + 0i),
// so the product never holds a negative zero. The result is column-major when
// the row strides of a and b are both 1, row-major otherwise.
ComplexMatrix matmul(const ComplexMatrix& a, const ComplexMatrix& b);

// target[i][j] = target[i][j] + term[i][j] * s, with term stretched to the
// target's shape along axes of extent 1; any other shape is a fault.
void add_scaled(ComplexMatrix& target, const ComplexMatrix& term, Complex s);

// Same shape, and every component within eps; a NaN anywhere gives false.
bool approx_equal(const ComplexMatrix& x, const ComplexMatrix& y, double eps);

}  // namespace zenqa
