#include "lie_algebra/batched_products.hpp"

#include <algorithm>
#include <vector>

#include "base/thread_team.hpp"

namespace zenqa {

namespace {

// Vectors are processed in blocks, laid out coefficient by coefficient with
// the block's vectors contiguous (real and imaginary parts in planes of their
// own), so that every inner loop runs over vectors and vectorises. A block of
// all the planes stays in the second-level cache for the bases that matter.
constexpr std::size_t block_vectors = 128;

struct Planes {
    std::vector<double> re, im;  // n x block_vectors each

    Planes(std::size_t n, bool complex) : re(n * block_vectors), im(complex ? n * block_vectors : 0) {}
    double* re_of(std::size_t i) { return &re[i * block_vectors]; }
    double* im_of(std::size_t i) { return &im[i * block_vectors]; }
    void clear() {
        std::fill(re.begin(), re.end(), 0.0);
        std::fill(im.begin(), im.end(), 0.0);
    }
};

// The layout changes below go tile by tile, a few vectors at a time, so that
// both the rows read and the rows written stay in the first-level cache.
constexpr std::size_t tile_vectors = 8;

[[gnu::always_inline]] inline void load(CoefficientRows source, std::size_t n, std::size_t first, std::size_t count,
                                        Planes& planes) {
    const std::size_t parts = source.complex ? 2 : 1;
    for (std::size_t tile = 0; tile < count; tile += tile_vectors) {
        const std::size_t end = std::min(count, tile + tile_vectors);
        const double* rows[tile_vectors];
        for (std::size_t v = tile; v < end; ++v) rows[v - tile] = source.data + parts * n * source.rows[first + v];
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t v = tile; v < end; ++v) {
                planes.re[i * block_vectors + v] = rows[v - tile][parts * i];
                if (source.complex) planes.im[i * block_vectors + v] = rows[v - tile][2 * i + 1];
            }
        }
    }
}

[[gnu::always_inline]] inline void store(Planes& x, bool complex, double scale, std::size_t n, std::size_t count,
                                         Complex* out) {
    for (std::size_t tile = 0; tile < count; tile += tile_vectors) {
        const std::size_t end = std::min(count, tile + tile_vectors);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t v = tile; v < end; ++v) {
                const std::size_t from = i * block_vectors + v;
                out[v * n + i] = {x.re[from] * scale, complex ? x.im[from] * scale : 0.0};
            }
        }
    }
}

enum class Values { Real, Imaginary, Complex };

Values kind_of(const PairTensor& tensor) {
    const auto& v = tensor.value;
    if (std::all_of(v.begin(), v.end(), [](Complex z) { return z.im == 0.0; })) return Values::Real;
    if (std::all_of(v.begin(), v.end(), [](Complex z) { return z.re == 0.0; })) return Values::Imaginary;
    return Values::Complex;
}

// p = a_i b_j - a_j b_i for the bracket, a_i b_j + a_j b_i for the
// anticommutator, a_i b_i for i == j, over the block's vectors.
template <bool complex, bool symmetric>
[[gnu::always_inline]] inline void pair_product(Planes& a, Planes& b, std::size_t i, std::size_t j,
                                                double* __restrict pr, double* __restrict pi) {
    const double *ari = a.re_of(i), *arj = a.re_of(j), *bri = b.re_of(i), *brj = b.re_of(j);
    if (i == j) {
        if constexpr (complex) {
            const double *aii = a.im_of(i), *bii = b.im_of(i);
            for (std::size_t v = 0; v < block_vectors; ++v) {
                pr[v] = ari[v] * bri[v] - aii[v] * bii[v];
                pi[v] = ari[v] * bii[v] + aii[v] * bri[v];
            }
        } else {
            for (std::size_t v = 0; v < block_vectors; ++v) pr[v] = ari[v] * bri[v];
        }
        return;
    }
    const double sign = symmetric ? 1.0 : -1.0;
    if constexpr (complex) {
        const double *aii = a.im_of(i), *aij = a.im_of(j), *bii = b.im_of(i), *bij = b.im_of(j);
        for (std::size_t v = 0; v < block_vectors; ++v) {
            pr[v] = (ari[v] * brj[v] - aii[v] * bij[v]) + sign * (arj[v] * bri[v] - aij[v] * bii[v]);
            pi[v] = (ari[v] * bij[v] + aii[v] * brj[v]) + sign * (arj[v] * bii[v] + aij[v] * bri[v]);
        }
    } else {
        for (std::size_t v = 0; v < block_vectors; ++v) pr[v] = ari[v] * brj[v] + sign * (arj[v] * bri[v]);
    }
}

// x_k += f p over the block's vectors, with the parts of f that can be nonzero.
template <bool complex, Values values>
[[gnu::always_inline]] inline void accumulate(Complex f, const double* __restrict pr, const double* __restrict pi,
                                              double* __restrict xr, double* __restrict xi) {
    const double fr = f.re, fi = f.im;
    for (std::size_t v = 0; v < block_vectors; ++v) {
        if constexpr (complex) {
            if constexpr (values != Values::Imaginary) {
                xr[v] += fr * pr[v];
                xi[v] += fr * pi[v];
            }
            if constexpr (values != Values::Real) {
                xr[v] -= fi * pi[v];
                xi[v] += fi * pr[v];
            }
        } else {
            if constexpr (values != Values::Imaginary) xr[v] += fr * pr[v];
            if constexpr (values != Values::Real) xi[v] += fi * pr[v];
        }
    }
}

// accumulate(f, pair_product(...)) in one sweep for real inputs and i != j:
// the common case of a pair with a single component, without a round trip of
// the products through memory.
template <bool symmetric, Values values>
[[gnu::always_inline]] inline void accumulate_real_pair(Complex f, Planes& a, Planes& b, std::size_t i, std::size_t j,
                                                        double* __restrict xr, double* __restrict xi) {
    const double *ari = a.re_of(i), *arj = a.re_of(j), *bri = b.re_of(i), *brj = b.re_of(j);
    const double sign = symmetric ? 1.0 : -1.0, fr = f.re, fi = f.im;
    for (std::size_t v = 0; v < block_vectors; ++v) {
        const double p = ari[v] * brj[v] + sign * (arj[v] * bri[v]);
        if constexpr (values != Values::Imaginary) xr[v] += fr * p;
        if constexpr (values != Values::Real) xi[v] += fi * p;
    }
}

// sum over the whole tensor of T[i, j, k] a_i b_j, times `scale` (exact: a power of two).
template <bool complex, Values values, bool symmetric>
[[gnu::always_inline]] inline void contract(const PairTensor& tensor, std::size_t n, CoefficientRows a,
                                            CoefficientRows b, std::size_t count, double scale, Complex* out) {
    // The result is complex when the inputs are or the values have imaginary parts.
    constexpr bool complex_result = complex || values != Values::Real;
    Planes pa(n, complex), pb(n, complex), x(n, true);
    std::vector<double> pr(block_vectors), pi(block_vectors);
    for (std::size_t first = 0; first < count; first += block_vectors) {
        const std::size_t vectors = std::min(block_vectors, count - first);
        load(a, n, first, vectors, pa);
        load(b, n, first, vectors, pb);
        x.clear();
        for (std::size_t i = 0; i < tensor.rows(); ++i) {
            for (std::size_t e = tensor.row_begin[i]; e < tensor.row_begin[i + 1];) {
                const std::size_t j = tensor.j[e];
                const bool single = e + 1 == tensor.row_begin[i + 1] || tensor.j[e + 1] != j;
                if (!complex && single && i != j) {
                    const std::size_t k = tensor.k[e];
                    accumulate_real_pair<symmetric, values>(tensor.value[e], pa, pb, i, j, x.re_of(k), x.im_of(k));
                    ++e;
                    continue;
                }
                pair_product<complex, symmetric>(pa, pb, i, j, pr.data(), pi.data());
                for (; e < tensor.row_begin[i + 1] && tensor.j[e] == j; ++e) {
                    const std::size_t k = tensor.k[e];
                    accumulate<complex, values>(tensor.value[e], pr.data(), pi.data(), x.re_of(k), x.im_of(k));
                }
            }
        }
        store(x, complex_result, scale, n, vectors, out + first * n);
    }
}

// Every variant of the contraction, compiled for the baseline x86-64, for
// AVX2 and for AVX-512, chosen at run time. The lanes of each compute the
// same IEEE operations in the same order (no contraction into fused
// multiply-adds), so the results do not depend on the machine.
[[gnu::target_clones("avx512f", "avx2", "default")]] void contract_any(const PairTensor& tensor, bool symmetric,
                                                                       std::size_t n, CoefficientRows a,
                                                                       CoefficientRows b, std::size_t count,
                                                                       double scale, Complex* out) {
    const bool complex = a.complex || b.complex;
    const Values values = kind_of(tensor);
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

// contract_any with the blocks of vectors shared out over a team. Each vector
// is contracted alone, so the results do not depend on the sharing.
void contract_on_team(const PairTensor& tensor, bool symmetric, std::size_t n, CoefficientRows a, CoefficientRows b,
                      std::size_t count, double scale, Complex* out) {
    const std::size_t blocks = (count + block_vectors - 1) / block_vectors;
    ThreadTeam team(std::min({compute_threads(), blocks, tensor.stored() * count / split_work + 1}));
    const std::size_t parts = team.size();
    team.run(parts, [&](std::size_t p) {
        const std::size_t first = blocks * p / parts * block_vectors;
        const std::size_t last = std::min(count, blocks * (p + 1) / parts * block_vectors);
        CoefficientRows a_part = a, b_part = b;
        a_part.rows += first;
        b_part.rows += first;
        contract_any(tensor, symmetric, n, a_part, b_part, last - first, scale, out + first * n);
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
            for (std::size_t e = f.row_begin[i]; e < f.row_begin[i + 1]; ++e) {
                const std::size_t j = f.j[e], k = f.k[e];
                ad[k * n + j] = ad[k * n + j] + coefficient(a, n, v, i) * f.value[e];
                ad[k * n + i] = ad[k * n + i] - coefficient(a, n, v, j) * f.value[e];
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
