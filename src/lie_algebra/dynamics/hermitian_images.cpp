#include "lie_algebra/dynamics/hermitian_images.hpp"

#include <cstddef>
#include <utility>

#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "lie_algebra/lapack/matrix_product.hpp"

namespace zenqa {

namespace {

// B_c = s_c H_c with H_c Hermitian: s_c = 1 for a Hermitian B_c, i otherwise.
Complex times_s(Complex z, bool hermitian) { return hermitian ? z : Complex{-z.im, z.re}; }
Complex over_s(Complex z, bool hermitian) { return hermitian ? z : Complex{z.im, -z.re}; }

// The real coordinates of a Hermitian matrix M laid out on its d x d grid:
// M_kk on the diagonal, Re M_kl above it and Im M_kl below it, at (l, k).
// A Hermitian unit sits where its coordinate does: E_kk, X_kl = E_kl + E_lk
// at (k, l) and Y_kl = i(E_kl - E_lk) at (l, k), k < l.
Complex entry_of(const double* coordinates, std::size_t d, std::size_t i, std::size_t j) {
    if (i == j) return {coordinates[i * d + i], 0.0};
    if (i < j) return {coordinates[i * d + j], coordinates[j * d + i]};
    return {coordinates[j * d + i], -coordinates[i * d + j]};
}

// The coordinates of the H_c, d*d x n.
std::vector<double> hermitian_coordinates(const Complex* dense_basis, const std::vector<bool>& hermitian,
                                          std::size_t d) {
    const std::size_t n = hermitian.size(), size = d * d;
    std::vector<double> coordinates(size * n);
    for (std::size_t c = 0; c < n; ++c)
        for (std::size_t i = 0; i < d; ++i)
            for (std::size_t j = i; j < d; ++j) {
                const Complex h = over_s(dense_basis[c * size + i * d + j], hermitian[c]);
                coordinates[c * size + i * d + j] = h.re;
                if (j != i) coordinates[c * size + j * d + i] = h.im;
            }
    return coordinates;
}

// The real coefficients, in the H_c, of the Hermitian units of (k, l), k <= l:
// E_kk into x, or X_kl into x and Y_kl into y.
void unit_coefficients(const Algebra& algebra, const std::vector<bool>& hermitian, std::size_t k, std::size_t l,
                       double* x, double* y) {
    const std::size_t n = algebra.size(), d = algebra.dim();
    std::vector<Complex> kl(n), lk(n);
    algebra.for_each_unit_coefficient(k * d + l, [&](std::size_t c, Complex v) { kl[c] = times_s(v, hermitian[c]); });
    if (k == l) {
        for (std::size_t c = 0; c < n; ++c) x[c] = kl[c].re;
        return;
    }
    algebra.for_each_unit_coefficient(l * d + k, [&](std::size_t c, Complex v) { lk[c] = times_s(v, hermitian[c]); });
    for (std::size_t c = 0; c < n; ++c) {
        x[c] = kl[c].re + lk[c].re;
        y[c] = lk[c].im - kl[c].im;
    }
}

}  // namespace

void hermitian_unit_images(const Algebra& algebra, const Complex* dense_basis, const std::vector<bool>& hermitian,
                           const Complex* a_columns, const Complex* b, Complex* columns, Workers& workers) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    require_memory(checked_product({n, size + n, sizeof(double)}), [] { return "the real images' work space"; });
    const std::vector<double> basis = hermitian_coordinates(dense_basis, hermitian, d);
    // In the basis H_c, A'_kj = s_k A_kj / s_j and b'_k = s_k b_k, real for L_h.
    std::vector<double> a(n * n), b_real(n), identity_image(size);
    for (std::size_t j = 0; j < n; ++j)
        for (std::size_t k = 0; k < n; ++k)
            a[j * n + k] = over_s(times_s(a_columns[j * n + k], hermitian[k]), hermitian[j]).re;
    for (std::size_t k = 0; k < n; ++k) b_real[k] = times_s(b[k], hermitian[k]).re;
    multiply_real(size, 1, n, basis.data(), size, b_real.data(), n, identity_image.data(), size);
    // E_kk's coefficients lose those of its trace part, I/d, whose image L(I/d) is added back.
    const std::vector<Complex> identity_part = identity_coefficients(algebra);
    std::vector<std::pair<std::size_t, std::size_t>> pairs;  // (k, l), k <= l
    for (std::size_t k = 0; k < d; ++k)
        for (std::size_t l = k; l < d; ++l) pairs.emplace_back(k, l);
    // Pieces of a fixed number of pairs, whatever the threads: dgemm may sum a
    // column differently with the number of columns beside it.
    workers.run_in_pieces(pairs.size(), 2 * size, false, [&](std::size_t first, std::size_t last) {
        // Unit u of the piece: E_kk, or X_kl then Y_kl.
        std::vector<std::size_t> first_unit;
        std::size_t units = 0;
        for (std::size_t t = first; t < last; ++t) {
            first_unit.push_back(units);
            units += pairs[t].first == pairs[t].second ? 1 : 2;
        }
        std::vector<double> w(units * n), y(units * n), images(units * size);
        for (std::size_t t = first; t < last; ++t) {
            const auto [k, l] = pairs[t];
            double* w_t = w.data() + first_unit[t - first] * n;
            unit_coefficients(algebra, hermitian, k, l, w_t, w_t + n);
            if (k == l)
                for (std::size_t c = 0; c < n; ++c) w_t[c] -= times_s(identity_part[c], hermitian[c]).re;
        }
        multiply_real(n, units, n, a.data(), n, w.data(), n, y.data(), n);
        multiply_real(size, units, n, basis.data(), size, y.data(), n, images.data(), size);
        for (std::size_t t = first; t < last; ++t) {
            const auto [k, l] = pairs[t];
            double* x = images.data() + first_unit[t - first] * size;
            if (k == l) {
                for (std::size_t p = 0; p < size; ++p) x[p] += identity_image[p];
                Complex* column = columns + (k * d + k) * size;
                for (std::size_t i = 0; i < d; ++i)
                    for (std::size_t j = 0; j < d; ++j) column[i * d + j] = entry_of(x, d, i, j);
                continue;
            }
            // E_kl = (X - iY)/2 and E_lk = (X + iY)/2.
            const double* y_image = x + size;
            Complex *upper = columns + (k * d + l) * size, *lower = columns + (l * d + k) * size;
            for (std::size_t i = 0; i < d; ++i)
                for (std::size_t j = 0; j < d; ++j) {
                    const Complex fx = entry_of(x, d, i, j), fy = entry_of(y_image, d, i, j);
                    upper[i * d + j] = {0.5 * (fx.re + fy.im), 0.5 * (fx.im - fy.re)};
                    lower[i * d + j] = {0.5 * (fx.re - fy.im), 0.5 * (fx.im + fy.re)};
                }
        }
    });
}

void hermitian_kossakowski_rows(const Algebra& algebra, const std::vector<bool>& hermitian, const Complex* images,
                                Complex* kossakowski, Workers& workers) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    require_memory(checked_product({size, n, sizeof(Complex) + sizeof(double)}),
                   [] { return "the Kossakowski matrix's work space"; });
    // The pseudo-inverse on coordinates, real: column u the coefficients of
    // the Hermitian unit at grid position u. Both products take it, so that
    // C = V^+ R V^+H keeps to one pseudo-inverse, as a basis far from
    // orthogonal needs.
    std::vector<double> inverse(n * size);
    for (std::size_t k = 0; k < d; ++k)
        for (std::size_t l = k; l < d; ++l)
            unit_coefficients(algebra, hermitian, k, l, &inverse[(k * d + l) * n], &inverse[(l * d + k) * n]);
    // V^+ on `count` d x d matrices, entry (i, k) of matrix t at entry(t, i,
    // k): its coefficients a >= first into out(t, a). The real parts of the
    // matrices' coordinates go first, then the imaginary ones; the callers'
    // pieces hold a fixed number of matrices, for dgemm's sake.
    const auto project = [&](std::size_t count, std::size_t first, auto&& entry, auto&& out) {
        std::vector<double> coordinates(2 * count * size), coefficients(2 * count * (n - first));
        for (std::size_t t = 0; t < count; ++t) {
            double *re = coordinates.data() + t * size, *im = re + count * size;
            for (std::size_t i = 0; i < d; ++i) {
                const Complex ii = entry(t, i, i);
                re[i * d + i] = ii.re;
                im[i * d + i] = ii.im;
                // (M_ik + M_ki)/2 at (i, k) and -i(M_ik - M_ki)/2 at (k, i).
                for (std::size_t k = i + 1; k < d; ++k) {
                    const Complex ik = entry(t, i, k), ki = entry(t, k, i);
                    re[i * d + k] = 0.5 * (ik.re + ki.re);
                    im[i * d + k] = 0.5 * (ik.im + ki.im);
                    re[k * d + i] = 0.5 * (ik.im - ki.im);
                    im[k * d + i] = 0.5 * (ki.re - ik.re);
                }
            }
        }
        const std::size_t rows = n - first;
        multiply_real(rows, 2 * count, size, inverse.data() + first, n, coordinates.data(), size, coefficients.data(),
                      rows);
        for (std::size_t t = 0; t < count; ++t)
            for (std::size_t a = first; a < n; ++a)
                out(t, a) = over_s({coefficients[t * rows + a - first], coefficients[(count + t) * rows + a - first]},
                                   hermitian[a]);
    };
    // First Y = V^+ R, column (j, l) at (j*d + l)*n: R[(i,k),(j,l)] = L(E_kl)[i, j].
    std::vector<Complex> y(size * n);
    workers.run_in_pieces(size, 2 * size, false, [&](std::size_t first, std::size_t last) {
        project(
            last - first, 0,
            [&](std::size_t t, std::size_t i, std::size_t k) {
                const std::size_t j = (first + t) / d, l = (first + t) % d;
                return images[(k * d + l) * size + i * d + j];
            },
            [&](std::size_t t, std::size_t a) -> Complex& { return y[(first + t) * n + a]; });
    });
    // Then C^H = V^+ Y^H, a chunk of its columns at a time: column a, from
    // the chunk's first entry on, into row a, the conjugate of C's.
    workers.run_in_pieces(n, 2 * size, false, [&](std::size_t first, std::size_t last) {
        project(
            last - first, first,
            [&](std::size_t t, std::size_t j, std::size_t l) { return conj(y[(j * d + l) * n + first + t]); },
            [&](std::size_t t, std::size_t b) -> Complex& { return kossakowski[(first + t) * n + b]; });
    });
}

}  // namespace zenqa
