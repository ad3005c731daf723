#include "lie_algebra/algebra/batched_products.hpp"

#include <algorithm>
#include <cstdint>

#include "base/thread_team.hpp"
#include "lie_algebra/algebra/vector_lanes.hpp"

namespace zenqa {

namespace {

using namespace vector_lanes;

enum class Values { Real, Imaginary, Complex };

Values kind_of(const PairTensor& tensor) {
    bool real = true, imaginary = true;
    for (std::size_t i = 0; i < tensor.rows() && (real || imaginary); ++i) {
        const PairTensor::Row row = tensor.row(i);
        for (std::size_t e = 0; e < row.size; ++e) {
            real = real && row.value[e].im == 0.0;
            imaginary = imaginary && row.value[e].re == 0.0;
        }
    }
    return real ? Values::Real : imaginary ? Values::Imaginary : Values::Complex;
}

// One row's operands a_i and b_i, held in registers while the row's entries
// are contracted.
template <bool complex>
struct RowOperands {
    Lanes ar[lanes_per_block], ai[lanes_per_block], br[lanes_per_block], bi[lanes_per_block];

    RowOperands(Planes& a, Planes& b, std::size_t i) {
        for (std::size_t c = 0; c < lanes_per_block; ++c) {
            ar[c] = a.re(i, c);
            br[c] = b.re(i, c);
            if constexpr (complex) {
                ai[c] = a.im(i, c);
                bi[c] = b.im(i, c);
            }
        }
    }
};

// p = a_i b_j - a_j b_i for the bracket, a_i b_j + a_j b_i for the
// anticommutator, a_i b_i for i == j. Real inputs give the same values as
// complex ones with zero imaginary parts.
template <bool complex, bool symmetric>
[[gnu::always_inline]] inline void pair_product(const RowOperands<complex>& row, Planes& a, Planes& b, bool diagonal,
                                                std::size_t j, Lanes (&pr)[lanes_per_block],
                                                Lanes (&pi)[lanes_per_block]) {
    const double sign = symmetric ? 1.0 : -1.0;
    for (std::size_t c = 0; c < lanes_per_block; ++c) {
        const Lanes arj = a.re(j, c), brj = b.re(j, c);
        if constexpr (complex) {
            const Lanes aij = a.im(j, c), bij = b.im(j, c);
            if (diagonal) {
                pr[c] = row.ar[c] * row.br[c] - row.ai[c] * row.bi[c];
                pi[c] = row.ar[c] * row.bi[c] + row.ai[c] * row.br[c];
            } else {
                pr[c] = (row.ar[c] * brj - row.ai[c] * bij) + sign * (arj * row.br[c] - aij * row.bi[c]);
                pi[c] = (row.ar[c] * bij + row.ai[c] * brj) + sign * (arj * row.bi[c] + aij * row.br[c]);
            }
        } else {
            pr[c] = diagonal ? row.ar[c] * row.br[c] : row.ar[c] * brj + sign * (arj * row.br[c]);
        }
    }
}

// x_k += f p, with the parts of f that can be nonzero.
template <bool complex, Values values>
[[gnu::always_inline]] inline void accumulate(Complex f, const Lanes (&pr)[lanes_per_block],
                                              const Lanes (&pi)[lanes_per_block], Planes& x, std::size_t k) {
    const double fr = f.re, fi = f.im;
    for (std::size_t c = 0; c < lanes_per_block; ++c) {
        Lanes &xr = x.re(k, c), &xi = x.im(k, c);
        if constexpr (complex) {
            if constexpr (values != Values::Imaginary) {
                xr += fr * pr[c];
                xi += fr * pi[c];
            }
            if constexpr (values != Values::Real) {
                xr -= fi * pi[c];
                xi += fi * pr[c];
            }
        } else {
            if constexpr (values != Values::Imaginary) xr += fr * pr[c];
            if constexpr (values != Values::Real) xi += fi * pr[c];
        }
    }
}

// sum over the whole tensor of T[i, j, k] a_i b_j, times `scale` (exact: a power of two).
template <bool complex, Values values, bool symmetric>
[[gnu::always_inline]] inline void contract(const PairTensor& tensor, std::size_t n, CoefficientRows a,
                                            CoefficientRows b, std::size_t count, double scale, Complex* out) {
    // The result is complex when the inputs are or the values have imaginary parts.
    constexpr bool complex_result = complex || values != Values::Real;
    Planes pa(n, complex), pb(n, complex), x(n, true);
    const bool streaming = streams_to(out);
    for (std::size_t first = 0; first < count; first += block_vectors) {
        const std::size_t vectors = std::min(block_vectors, count - first);
        load(a, n, first, vectors, pa);
        load(b, n, first, vectors, pb);
        x.clear();
        for (std::size_t i = 0; i < tensor.rows(); ++i) {
            const PairTensor::Row entries = tensor.row(i);
            if (entries.size == 0) continue;
            const RowOperands<complex> row(pa, pb, i);
            // The product of a pair serves each of its entries, which are adjacent.
            std::size_t j = entries.j[0];
            Lanes pr[lanes_per_block]{}, pi[lanes_per_block]{};
            pair_product<complex, symmetric>(row, pa, pb, i == j, j, pr, pi);
            for (std::size_t e = 0; e < entries.size; ++e) {
                if (entries.j[e] != j) {
                    j = entries.j[e];
                    pair_product<complex, symmetric>(row, pa, pb, i == j, j, pr, pi);
                }
                accumulate<complex, values>(entries.value[e], pr, pi, x, entries.k[e]);
            }
        }
        store(x, complex_result, scale, n, vectors, streaming, out + first * n);
    }
    finish_streaming();
}

// Every variant of the contraction, compiled for the baseline x86-64, for
// AVX2 and for AVX-512, chosen at run time. The lanes of each compute the
// same IEEE operations in the same order (no contraction into fused
// multiply-adds), so the results do not depend on the machine.
[[gnu::target_clones("avx512f", "avx2", "default")]] void contract_any(const PairTensor& tensor, Values values,
                                                                       bool symmetric, std::size_t n, CoefficientRows a,
                                                                       CoefficientRows b, std::size_t count,
                                                                       double scale, Complex* out) {
    const bool complex = a.complex || b.complex;
#define ZENQA_CONTRACT(c, v)                                              \
    (symmetric ? contract<c, v, true>(tensor, n, a, b, count, scale, out) \
               : contract<c, v, false>(tensor, n, a, b, count, scale, out))
    switch (values) {
        case Values::Real: complex ? ZENQA_CONTRACT(true, Values::Real) : ZENQA_CONTRACT(false, Values::Real); break;
        case Values::Imaginary:
            complex ? ZENQA_CONTRACT(true, Values::Imaginary) : ZENQA_CONTRACT(false, Values::Imaginary);
            break;
        case Values::Complex:
            complex ? ZENQA_CONTRACT(true, Values::Complex) : ZENQA_CONTRACT(false, Values::Complex);
            break;
    }
#undef ZENQA_CONTRACT
}

Complex coefficient(CoefficientRows a, std::size_t n, std::size_t v, std::size_t i) {
    const std::size_t row = a.rows[v];
    return a.complex ? Complex{a.data[2 * (n * row + i)], a.data[2 * (n * row + i) + 1]}
                     : Complex{a.data[n * row + i], 0.0};
}

// A thread takes at least this many products of a stored entry with a vector
// pair: enough work to outweigh starting it.
constexpr std::size_t split_work = std::size_t{1} << 20;

// Parts per thread of a team: a thread that the system lets wait (another
// computation shares the cores) then delays only a small part, which the
// other threads take over.
constexpr std::size_t parts_per_thread = 8;

// contract_any with the blocks of vectors shared out over a team. Each vector
// is contracted alone, so the results do not depend on the sharing.
void contract_on_team(const PairTensor& tensor, bool symmetric, std::size_t n, CoefficientRows a, CoefficientRows b,
                      std::size_t count, double scale, Complex* out) {
    const std::size_t blocks = (count + block_vectors - 1) / block_vectors;
    const Values values = kind_of(tensor);
    // Small batches never ask how many threads they may have: that reads the cgroup files.
    const std::size_t useful_threads = std::min(blocks, tensor.stored() * count / split_work + 1);
    ThreadTeam team(useful_threads == 1 ? 1 : std::min(compute_threads(), useful_threads));
    const std::size_t parts = team.size() == 1 ? 1 : std::min(blocks, parts_per_thread * team.size());
    team.run(parts, [&](std::size_t p) {
        const std::size_t first = blocks * p / parts * block_vectors;
        const std::size_t last = std::min(count, blocks * (p + 1) / parts * block_vectors);
        CoefficientRows a_part = a, b_part = b;
        a_part.rows += first;
        b_part.rows += first;
        contract_any(tensor, values, symmetric, n, a_part, b_part, last - first, scale, out + first * n);
    });
}

}  // namespace

void bracket(const Algebra& algebra, CoefficientRows a, CoefficientRows b, std::size_t count, Complex* out) {
    contract_on_team(algebra.structure_constants(), false, algebra.size(), a, b, count, 1.0, out);
}

void anticommutator(const Algebra& algebra, CoefficientRows a, CoefficientRows b, std::size_t count, Complex* out) {
    // The stored d-coefficients are halves: the sum comes out doubled.
    contract_on_team(algebra.d_coefficients(), true, algebra.size(), a, b, count, 2.0, out);
}

void adjoint(const Algebra& algebra, CoefficientRows a, std::size_t count, Complex* out) {
    const std::size_t n = algebra.size();
    const PairTensor& f = algebra.structure_constants();
    for (std::size_t v = 0; v < count; ++v) {
        Complex* ad = out + v * n * n;
        std::fill(ad, ad + n * n, Complex{});
        for (std::size_t i = 0; i < f.rows(); ++i) {
            const PairTensor::Row row = f.row(i);
            for (std::size_t e = 0; e < row.size; ++e) {
                const std::size_t j = row.j[e], k = row.k[e];
                ad[k * n + j] = ad[k * n + j] + coefficient(a, n, v, i) * row.value[e];
                ad[k * n + i] = ad[k * n + i] - coefficient(a, n, v, j) * row.value[e];
            }
        }
    }
}

void matrices(const Algebra& algebra, CoefficientRows a, std::size_t count, Complex* out) {
    const std::size_t n = algebra.size(), m = algebra.dim() * algebra.dim();
    for (std::size_t v = 0; v < count; ++v) {
        Complex* matrix = out + v * m;
        std::fill(matrix, matrix + m, Complex{});
        for (std::size_t i = 0; i < n; ++i) {
            const Complex a_i = coefficient(a, n, v, i);
            algebra.basis_columns().for_each_nonzero(
                i, [&](std::size_t p, Complex value) { matrix[p] = matrix[p] + a_i * value; });
        }
    }
}

void coefficients(const Algebra& algebra, const Complex* matrices, std::size_t count, Complex* out) {
    // In chunks, so that the projector's work space stays small.
    constexpr std::size_t chunk = 256;
    const std::size_t n = algebra.size(), m = algebra.dim() * algebra.dim();
    for (std::size_t first = 0; first < count; first += chunk)
        algebra.project(std::min(chunk, count - first), matrices + first * m, out + first * n);
}

}  // namespace zenqa
