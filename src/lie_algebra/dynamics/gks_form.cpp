#include "lie_algebra/dynamics/gks_form.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array/complex_vectors.hpp"
#include "array/zeroed_array.hpp"
#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/refusals.hpp"
#include "lie_algebra/dynamics/basis_span.hpp"
#include "lie_algebra/dynamics/deviation.hpp"
#include "lie_algebra/dynamics/hermitian_images.hpp"
#include "lie_algebra/dynamics/hermitian_part.hpp"
#include "lie_algebra/dynamics/liouvillian.hpp"
#include "lie_algebra/dynamics/projected_images.hpp"

namespace zenqa {

namespace {

// The images L(E_kl) of the unit matrices: the columns of the superoperator S
// on the row-major vec. Image q = k*d + l at q*d*d, entry (i, j) at i*d + j.
// The Choi matrix is its reshuffle R[(i,k),(j,l)] = S[(i,j),(k,l)], which is
// sum_ab chi_ab vec(F_a) vec(F_b)^H for L(rho) = sum_ab chi_ab F_a rho F_b^H.
class UnitImages {
public:
    UnitImages(const Algebra& algebra, const Complex* a_columns, const Complex* b, bool preserves_hermiticity,
               Workers& workers)
        : d_(algebra.dim()), size_(d_ * d_), images_(entries(size_)) {
        superoperator_columns(algebra, a_columns, b, preserves_hermiticity, images_.data(), workers);
    }

    const Complex* data() const { return images_.data(); }
    double largest(Workers& workers) const { return largest_modulus(images_.data(), size_ * size_, workers); }
    const Complex* image(std::size_t k, std::size_t l) const { return images_.data() + (k * d_ + l) * size_; }

    // Refuses R that is not Hermitian, that is L(E_kl) != L(E_lk)^H: L does
    // not preserve Hermiticity. R becomes its Hermitian part, the Choi matrix
    // of the generator's Hermitian part, as HermitianPart gives it.
    // Part k takes the images (k, l), l >= k, and the entries i <= j of (k, k).
    void make_hermitian(Workers& workers) {
        std::vector<double> deviations(d_), largest(d_);
        workers.run(d_, d_ * size_, [&](std::size_t k) {
            for (std::size_t l = k; l < d_; ++l) {
                Complex *kl = images_.data() + (k * d_ + l) * size_, *lk = images_.data() + (l * d_ + k) * size_;
                const double pair_largest =
                    std::max(largest_modulus(kl, size_), l == k ? 0.0 : largest_modulus(lk, size_));
                largest[k] = std::max(largest[k], pair_largest);
                const ScaledModulus scaled(pair_largest);
                double squared = 0.0;
                for (std::size_t i = 0; i < d_; ++i)
                    for (std::size_t j = l == k ? i : 0; j < d_; ++j) {
                        const Complex upper = kl[i * d_ + j], lower = conj(lk[j * d_ + i]);
                        squared = std::max(squared, scaled.squared(upper - lower));
                        const Complex mean{0.5 * (upper.re + lower.re), 0.5 * (upper.im + lower.im)};
                        kl[i * d_ + j] = mean;
                        lk[j * d_ + i] = conj(mean);
                    }
                deviations[k] = std::max(deviations[k], scaled.modulus(squared));
            }
        });
        const double deviation = *std::max_element(deviations.begin(), deviations.end());
        const double scale = *std::max_element(largest.begin(), largest.end());
        if (std::isinf(scale)) throw ResultOverflow("an entry of the superoperator is too large for a double");
        if (deviation <= choi_hermiticity_tolerance * scale) return;
        throw InvalidValue(
            "the generator does not preserve Hermiticity, so it has no GKS form: its Choi matrix R "
            "deviates from Hermitian by " +
            number_text(deviation) + " (largest |R - R^H| entry), beyond 1e-8 times its largest entry " +
            number_text(scale));
    }

private:
    // size^2, refused before allocating where it cannot fit.
    static std::size_t entries(std::size_t size) {
        require_memory(checked_product({size, size, sizeof(Complex)}), [] { return "the superoperator"; });
        return size * size;
    }

    std::size_t d_, size_;
    ZeroedArray<Complex> images_;
};

// H from G0 = unvec(R vec(I)) / d, which is G = -iH - 1/2 sum_ij C_ij B_j^H B_i
// up to a multiple of I: H = (i/2)(G0 - G0^H), its trace removed.
void write_hamiltonian(const UnitImages& images, std::size_t d, Complex* hamiltonian) {
    const double inverse_d = 1.0 / static_cast<double>(d);
    // G0[i, k] = sum_j R[(i,k),(j,j)] / d = sum_j L(E_kj)[i, j] / d.
    std::vector<Complex> g(d * d);
    for (std::size_t j = 0; j < d; ++j)
        for (std::size_t k = 0; k < d; ++k) {
            const Complex* image = images.image(k, j);
            for (std::size_t i = 0; i < d; ++i) g[i * d + k] = g[i * d + k] + image[i * d + j];
        }
    for (Complex& z : g) z = {z.re * inverse_d, z.im * inverse_d};
    double trace = 0.0;
    for (std::size_t i = 0; i < d; ++i)
        for (std::size_t k = 0; k < d; ++k) {
            const Complex difference = g[i * d + k] - conj(g[k * d + i]);
            hamiltonian[i * d + k] = {-0.5 * difference.im, 0.5 * difference.re};
            if (i == k) trace += hamiltonian[i * d + k].re;
        }
    for (std::size_t i = 0; i < d; ++i) hamiltonian[i * d + i].re -= trace * inverse_d;
}

// The rows of V^+: column a holds the nonzero entries of row a.
SparseColumns pseudo_inverse_rows(const Algebra& algebra) {
    const std::size_t n = algebra.size(), size = algebra.dim() * algebra.dim();
    std::vector<std::vector<std::pair<std::size_t, Complex>>> rows(n);
    for (std::size_t p = 0; p < size; ++p)
        algebra.for_each_unit_coefficient(p, [&](std::size_t a, Complex v) { rows[a].emplace_back(p, v); });
    SparseColumns pseudo_inverse(size);
    for (const auto& row : rows) {
        for (const auto& [p, v] : row) pseudo_inverse.append(p, v);
        pseudo_inverse.end_column();
    }
    return pseudo_inverse;
}

// Rows first to last of the Hermitian C from the diagonal on, from the
// coefficients of their conjugates, and their mirrors in the columns: C is
// Hermitian to the last bit, its diagonal real. The mirrors go first, and
// the rows then overwrite what of them falls in these rows' upper parts.
void take_upper_rows(std::size_t first, std::size_t last, std::size_t n, const Complex* coefficients,
                     Complex* kossakowski) {
    write_columns(first, last, n, first, coefficients, kossakowski);
    for (std::size_t row = first; row < last; ++row) {
        const Complex* conjugates = coefficients + (row - first) * n;
        kossakowski[row * n + row] = {conjugates[row].re, 0.0};
        for (std::size_t b = row + 1; b < n; ++b) kossakowski[row * n + b] = conj(conjugates[b]);
    }
}

// C = V^+ R (V^+)^H by rows, for a sparse V^+: with U_a = sum_ik V^+[a,(i,k)]
// R[(i,k), :], row a of C is conj(V^+ conj(U_a)). The d*d entries of U_a,
// (j, l) at j*d + l, gather S[(i,j),(k,l)], runs of L(E_kl), and R is never
// formed. U_a is summed transposed, a run to a row, then turned.
void kossakowski_by_rows(const Algebra& algebra, const UnitImages& images, const SparseColumns& pseudo_inverse,
                         Complex* kossakowski, Workers& workers) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    project_chunks(
        algebra, n,
        [&](std::size_t first, std::size_t last, Complex* matrices) {
            std::vector<Complex> transposed(size);
            for (std::size_t a = first; a < last; ++a) {
                std::fill(transposed.begin(), transposed.end(), Complex{});
                pseudo_inverse.for_each_nonzero(a, [&](std::size_t p, Complex v) {
                    const std::size_t i = p / d, k = p % d;
                    for (std::size_t l = 0; l < d; ++l) {
                        // The runs lie d*d apart, a stride the processor does not foresee.
                        if (l + 4 < d) prefetch(images.image(k, l + 4) + i * d, d);
                        add_scaled_conjugate(d, conj(v), images.image(k, l) + i * d, transposed.data() + l * d);
                    }
                });
                Complex* u = matrices + (a - first) * size;
                for (std::size_t j = 0; j < d; ++j)
                    for (std::size_t l = 0; l < d; ++l) u[j * d + l] = transposed[l * d + j];
            }
        },
        [&](std::size_t first, std::size_t last, const Complex* coefficients) {
            take_upper_rows(first, last, n, coefficients, kossakowski);
        },
        workers, true);
}

// The rows of C = V^+ R (V^+)^H from the diagonal on, conjugated, each into
// its row, for a dense V^+: in matrix products on R's columns.
void conjugate_kossakowski_rows(const Algebra& algebra, const UnitImages& images, Complex* kossakowski,
                                Workers& workers) {
    const std::size_t n = algebra.size(), d = algebra.dim(), size = d * d;
    if (const std::optional<std::vector<bool>>& hermitian = algebra.facts().hermitian)
        return hermitian_kossakowski_rows(algebra, *hermitian, images.data(), kossakowski, workers);
    // First Y = V^+ R, column (j, l) at (j*d + l)*n; R goes once Y is formed.
    std::vector<Complex> y;
    {
        require_memory(checked_product({size, size + n, sizeof(Complex)}),
                       [] { return "the Kossakowski matrix's work space"; });
        // R stored by columns: column (j, l) at (j*d + l)*d*d, entry (i, k) at
        // i*d + k. Column q = k*d + l of S, entry p = i*d + j, goes there:
        // digits (k, l, i, j) to (j, l, i, k).
        std::vector<Complex> r(size * size);
        exchange_outer_digits(d, images.data(), r.data(), false, workers);
        y.resize(size * n);
        workers.run_in_pieces(size, size, algebra.projects_densely(), [&](std::size_t first, std::size_t last) {
            algebra.project(last - first, r.data() + first * size, &y[first * n], 0, ComplexProducts::three_real);
        });
    }
    // Then C^H = V^+ Y^H, a chunk of its columns at a time: column a, from
    // the chunk's first entry on, lands in row a as the conjugate of C's.
    workers.run_in_pieces(n, size, false, [&](std::size_t first, std::size_t last) {
        algebra.project_conjugate_rows(last - first, y.data() + first, n, kossakowski + first * n, n, first,
                                       ComplexProducts::three_real);
    });
}

// C, Hermitian to the last bit with a real diagonal, from the conjugates of
// its upper triangle.
void hermitian_from_conjugate_rows(Complex* kossakowski, std::size_t n, Workers& workers) {
    for_each_upper_pair(n, workers, [&](std::size_t a, std::size_t b) {
        const Complex conjugate = kossakowski[a * n + b];
        kossakowski[a * n + b] = conj(conjugate);
        kossakowski[b * n + a] = conjugate;
    });
    for (std::size_t a = 0; a < n; ++a) kossakowski[a * n + a].im = 0.0;
}

// The unit images of the Hermitian part L_h of L, whose Choi matrix is the
// Hermitian part of L's, R, once R is shown Hermitian within the tolerance.
// Where the basis gives L_h cheaply, its images cost half as much as L's, and
// L's are formed only where L_h's cannot show R within the tolerance.
std::optional<UnitImages> hermitian_images(const Algebra& algebra, Complex* a_columns, std::vector<Complex> b,
                                           Workers& workers) {
    std::optional<HermitianPart> part = HermitianPart::of(algebra);
    if (part) {
        part->take(a_columns, b, workers);
        std::optional<UnitImages> images(std::in_place, algebra, a_columns, b.data(), true, workers);
        // |R - R^H| is at most twice the bound, and R's largest entry is at least R_h's.
        if (2.0 * part->removed_bound(algebra) <= choi_hermiticity_tolerance * images->largest(workers)) return images;
        images.reset();
        part->restore(a_columns, b);
    }
    std::optional<UnitImages> images(std::in_place, algebra, a_columns, b.data(), false, workers);
    images->make_hermitian(workers);
    return images;
}

}  // namespace

void gks_form(const Algebra& algebra, const Complex* b, Complex* hamiltonian, Complex* kossakowski,
              InterruptCheck check) {
    const std::size_t n = algebra.size(), d = algebra.dim();
    require_traceless_basis(algebra);
    Workers workers(check);
    transpose_in_place(kossakowski, n, workers);
    const std::optional<UnitImages> images = hermitian_images(algebra, kossakowski, {b, b + n}, workers);
    write_hamiltonian(*images, d, hamiltonian);
    // By rows, each nonzero of V^+ costs d*d scalar steps; the Choi route
    // costs 2 n d^4 steps in matrix products, several times faster each.
    if (algebra.facts().unit_coefficients * 4 <= n * d * d) {
        kossakowski_by_rows(algebra, *images, pseudo_inverse_rows(algebra), kossakowski, workers);
    } else {
        conjugate_kossakowski_rows(algebra, *images, kossakowski, workers);
        hermitian_from_conjugate_rows(kossakowski, n, workers);
    }
    require_finite_result(hamiltonian, d * d, "an entry of the Hamiltonian");
    require_finite_result(kossakowski, n * n, "an entry of the Kossakowski matrix");
}

}  // namespace zenqa
