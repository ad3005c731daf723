#include "lie_algebra/dynamics/liouvillian.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "array/complex_vectors.hpp"
#include "array/zeroed_array.hpp"
#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/refusals.hpp"
#include "lie_algebra/dynamics/basis_span.hpp"
#include "lie_algebra/dynamics/deviation.hpp"
#include "lie_algebra/dynamics/hermitian_images.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"
#include "lie_algebra/lapack/matrix_product.hpp"

namespace zenqa {

namespace {

// The basis columns as a d*d x n column-major matrix, where the basis has so
// many nonzero entries that matrix products beat following them one by one;
// null otherwise. Where every entry is nonzero, the stored values are that
// matrix already.
class DenseColumns {
public:
    explicit DenseColumns(const Algebra& algebra) {
        const SparseColumns& basis = algebra.basis_columns();
        const std::size_t entries = basis.rows() * basis.cols();
        if (basis.nonzeros() == entries) {
            data_ = basis.values(0);
        } else if (basis.nonzeros() * 4 > entries) {
            copy_ = basis.dense();
            data_ = copy_.data();
        }
    }
    const Complex* data() const { return data_; }

private:
    ComplexMatrix copy_;
    const Complex* data_ = nullptr;
};

// Column q = r*d + c of the row-major superoperator, taken from the
// column-stacked one: its image of E_rc, entry (i, k) at i*d + k.
std::vector<Complex> row_major_columns(const Complex* superoperator, std::size_t d, Workers& workers) {
    const std::size_t size = d * d;
    require_memory(checked_product({size, size, sizeof(Complex)}), [] { return "a copy of the superoperator"; });
    std::vector<Complex> columns(size * size);
    // Row k*d + i, column c*d + r of the column-stacked one: digits (k, i, c, r) to (r, c, i, k).
    exchange_outer_digits(d, superoperator, columns.data(), true, workers);
    return columns;
}

void require_trace_preserved(const std::vector<Complex>& columns, std::size_t d) {
    const std::size_t size = d * d;
    const double largest = largest_modulus(columns.data(), columns.size());
    const ScaledModulus scaled(largest);
    double squared = 0.0;
    for (std::size_t q = 0; q < size; ++q) {
        Complex trace{};
        for (std::size_t i = 0; i < d; ++i) trace = trace + columns[q * size + i * d + i];
        squared = std::max(squared, scaled.squared(trace));
    }
    const double deviation = scaled.modulus(squared);
    if (deviation <= trace_tolerance * largest) return;
    const std::string side = std::to_string(size);
    throw InvalidValue("superoperator of shape (" + side + ", " + side +
                       ") does not preserve the trace: the trace of an image of a unit matrix reaches " +
                       number_text(deviation) + ", beyond 1e-8 times its largest entry " + number_text(largest));
}

}  // namespace

void from_liouvillian(const Algebra& algebra, const Complex* superoperator, Complex* a, Complex* b,
                      InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    require_traceless_span(algebra);
    Workers workers(check);
    const std::vector<Complex> columns = row_major_columns(superoperator, d, workers);
    require_trace_preserved(columns, d);
    const double inverse_d = 1.0 / static_cast<double>(d);
    const DenseColumns dense(algebra);
    project_chunks(
        algebra, n + 1,
        [&](std::size_t first, std::size_t last, Complex* matrices) {
            const auto add_column = [&](Complex* matrix, std::size_t q, Complex v) {
                const Complex* column = columns.data() + q * size;
                for (std::size_t p = 0; p < size; ++p) matrix[p] = matrix[p] + v * column[p];
            };
            // Image n, of I/d, is b's.
            const std::size_t basis_last = std::min(last, n);
            if (dense.data() != nullptr && first < basis_last) {
                multiply_columns(size, basis_last - first, size, columns.data(), dense.data() + first * size, matrices,
                                 size, size, ComplexProducts::three_real);
            } else {
                for (std::size_t t = first; t < basis_last; ++t) {
                    algebra.basis_columns().for_each_nonzero(
                        t, [&](std::size_t q, Complex v) { add_column(matrices + (t - first) * size, q, v); });
                }
            }
            if (last <= n) return;
            for (std::size_t r = 0; r < d; ++r) add_column(matrices + (n - first) * size, r * d + r, {inverse_d, 0.0});
        },
        [&](std::size_t first, std::size_t last, const Complex* coefficients) {
            take_generator_images(first, last, n, coefficients, a, b);
        },
        workers);
    require_finite_generator(a, b, n);
}

void superoperator_columns(const Algebra& algebra, const Complex* a_columns, const Complex* b,
                           bool preserves_hermiticity, Complex* columns, Workers& workers) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    const DenseColumns dense(algebra);
    const std::optional<std::vector<bool>>& hermitian = algebra.facts().hermitian;
    if (preserves_hermiticity && dense.data() != nullptr && hermitian)
        return hermitian_unit_images(algebra, dense.data(), *hermitian, a_columns, b, columns, workers);
    const SparseColumns& basis = algebra.basis_columns();
    // L(X) = sum_k (A w)_k B_k + tr(X) L(I/d), w the coefficients of the
    // traceless part of X: of E_rc, less I/d on the diagonal.
    std::vector<Complex> image_of_identity(size);
    if (dense.data() != nullptr) {
        multiply_columns(size, 1, n, dense.data(), b, image_of_identity.data(), size, size,
                         ComplexProducts::three_real);
    } else {
        for (std::size_t k = 0; k < n; ++k)
            basis.for_each_nonzero(
                k, [&](std::size_t p, Complex v) { image_of_identity[p] = image_of_identity[p] + b[k] * v; });
    }
    const std::vector<Complex> identity_part = identity_coefficients(algebra);
    std::vector<std::size_t> units;
    for (std::size_t q = 0; q < size; ++q)
        if (!preserves_hermiticity || q / d <= q % d) units.push_back(q);
    workers.run_in_pieces(units.size(), size, dense.data() != nullptr, [&](std::size_t first, std::size_t last) {
        const std::size_t count = last - first;
        std::vector<Complex> w(count * n), y(count * n);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t q = units[first + t];
            Complex* w_t = w.data() + t * n;
            algebra.for_each_unit_coefficient(q, [&](std::size_t k, Complex v) { w_t[k] = v; });
            if (q / d != q % d) continue;
            for (std::size_t k = 0; k < n; ++k) w_t[k] = w_t[k] - identity_part[k];
            if (dense.data() == nullptr)
                std::copy(image_of_identity.begin(), image_of_identity.end(), columns + q * size);
        }
        if (dense.data() != nullptr) {
            multiply_columns(n, count, n, a_columns, w.data(), y.data(), n, n, ComplexProducts::three_real);
            // Units in a row (all of them, unless only half are made) take
            // their images where they go.
            const bool in_place = units[last - 1] - units[first] == count - 1;
            std::vector<Complex> made(in_place ? 0 : count * size);
            Complex* images = in_place ? columns + units[first] * size : made.data();
            multiply_columns(size, count, n, dense.data(), y.data(), images, size, size, ComplexProducts::three_real);
            for (std::size_t t = 0; t < count; ++t) {
                const std::size_t q = units[first + t];
                Complex* column = columns + q * size;
                if (!in_place) std::copy(images + t * size, images + (t + 1) * size, column);
                if (q / d != q % d) continue;
                for (std::size_t p = 0; p < size; ++p) column[p] = column[p] + image_of_identity[p];
            }
            return;
        }
        for (std::size_t t = 0; t < count; ++t) {
            Complex *y_t = y.data() + t * n, *column = columns + units[first + t] * size;
            for (std::size_t j = 0; j < n; ++j) {
                const Complex w_j = w[t * n + j];
                if (is_zero(w_j)) continue;
                add_scaled(n, w_j, a_columns + j * n, y_t);
            }
            for (std::size_t k = 0; k < n; ++k) {
                if (is_zero(y_t[k])) continue;
                basis.for_each_nonzero(k, [&](std::size_t p, Complex v) { column[p] = column[p] + y_t[k] * v; });
            }
        }
    });
    if (!preserves_hermiticity) return;
    // L(E_lk) = L(E_kl^H) = L(E_kl)^H, for l > k.
    workers.run(d, size * d, [&](std::size_t k) {
        for (std::size_t l = k + 1; l < d; ++l) {
            const Complex* upper = columns + (k * d + l) * size;
            Complex* lower = columns + (l * d + k) * size;
            for (std::size_t i = 0; i < d; ++i)
                for (std::size_t j = 0; j < d; ++j) lower[i * d + j] = conj(upper[j * d + i]);
        }
    });
}

void to_liouvillian(const Algebra& algebra, std::vector<Complex> a, const Complex* b, Complex* superoperator,
                    InterruptCheck check) {
    const std::size_t d = algebra.dim(), size = d * d;
    require_traceless_span(algebra);
    require_memory(checked_product({size, size, sizeof(Complex)}), [] { return "the superoperator's work space"; });
    ZeroedArray<Complex> columns(size * size);
    Workers workers(check);
    transpose_in_place(a.data(), algebra.size(), workers);
    superoperator_columns(algebra, a.data(), b, false, columns.data(), workers);
    // Column q = r*d + c, entry p = i*d + k to row k*d + i, column c*d + r:
    // digits (r, c, i, k) to (k, i, c, r).
    exchange_outer_digits(d, columns.data(), superoperator, true, workers);
    require_finite_result(superoperator, size * size, "an entry of the superoperator");
}

}  // namespace zenqa
