#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_vectors.hpp"
#include "array/streaming_store.hpp"
#include "base/interrupt_check.hpp"
#include "base/thread_team.hpp"
#include "lie_algebra/algebra/algebra.hpp"

namespace zenqa {

// Matrices are made and projected in pieces of a multiple of this many, and
// pieces begin at its multiples. zgemm sums each column of a product the same
// way however the columns are split, and each row the same way where the
// rows are split at such multiples (of its unrolling), so the results do not
// depend on the pieces, nor on the number of threads that the pieces follow.
inline constexpr std::size_t image_chunk = 32;

// A piece makes at most this many entries, about 4 MB, whatever d is.
inline constexpr std::size_t widest_piece_entries = std::size_t{1} << 18;

// Entries of made matrices below which one thread does all the work.
inline constexpr std::size_t threaded_entries = std::size_t{1} << 15;

// The threads that one call shares its steps over, started by its first large
// step and kept to its end, and the interrupt check that only the calling
// thread makes (may be null).
class Workers {
public:
    explicit Workers(InterruptCheck check) : team_(compute_threads()), check_(check) {}

    // Runs part(p) for every p < parts, over the team when the work is large enough.
    template <class Part>
    void run(std::size_t parts, std::size_t entries_per_part, Part&& part) {
        if (parts < 2 || parts * entries_per_part < threaded_entries) {
            for (std::size_t p = 0; p < parts; ++p) {
                if (check_ != nullptr) check_();
                part(p);
            }
            return;
        }
        team_.run(
            parts,
            [&](std::size_t p) {
                if (team_.stopping(p)) return;
                if (check_ != nullptr && team_.on_calling_thread()) check_();
                part(p);
            },
            check_);
    }

    // Runs part(first, last) over [0, count) in pieces. `wide`, for matrix
    // products, which pack their large operand once per product: one range
    // per thread, in as few pieces as widest_piece_entries allows. Otherwise
    // image_chunk items at a time, which stay in cache.
    template <class Part>
    void run_in_pieces(std::size_t count, std::size_t entries_per_item, bool wide, Part&& part) {
        const std::size_t width = wide ? range_width(count, entries_per_item) : image_chunk;
        run((count + width - 1) / width, width * entries_per_item,
            [&](std::size_t c) { part(c * width, std::min(count, (c + 1) * width)); });
    }

private:
    // The widest multiple of image_chunk, at most widest_piece_entries'
    // worth, whose pieces, taken in turn by the threads, give none more than
    // an eighth above an even share: as few products as keep them all busy.
    std::size_t range_width(std::size_t count, std::size_t entries_per_item) const {
        const auto round_up = [](std::size_t x) { return (x + image_chunk - 1) / image_chunk * image_chunk; };
        const std::size_t threads = team_.size(), even = (count + threads - 1) / threads;
        const std::size_t widest = widest_piece_entries / entries_per_item / image_chunk * image_chunk;
        for (std::size_t width = std::min(round_up(even), widest); width > image_chunk; width -= image_chunk) {
            std::size_t heaviest = 0;  // the first thread's pieces: 0, threads, 2 threads, ...
            for (std::size_t first = 0; first < count; first += threads * width)
                heaviest += std::min(width, count - first);
            if (8 * heaviest <= 9 * even) return width;
        }
        return image_chunk;
    }

    ThreadTeam team_;
    InterruptCheck check_;
};

// The coefficients of `count` d x d matrices that are made on demand a
// chunk at a time: make(first, last, matrices) writes matrices first to last
// (row-major, one after another, zeroed before), and take(first, last,
// coefficients) receives their n coefficients each, one after another. With
// `upper_triangle`, the rows of a Hermitian matrix, those before the chunk's
// first are left zero.
// Where a projection is one matrix product, each thread projects its range in
// as few products as the piece size allows, except in the upper triangle,
// of which narrow pieces leave out more; other bases follow single entries,
// which stay in cache in narrow pieces.
template <class MakeChunk, class Take>
void project_chunks(const Algebra& algebra, std::size_t count, MakeChunk&& make, Take&& take, Workers& workers,
                    bool upper_triangle = false) {
    const std::size_t m = algebra.dim() * algebra.dim(), n = algebra.size();
    const bool wide = algebra.projects_densely() && !upper_triangle;
    workers.run_in_pieces(count, m, wide, [&](std::size_t first, std::size_t last) {
        std::vector<Complex> matrices((last - first) * m), coefficients((last - first) * n);
        make(first, last, matrices.data());
        algebra.project(last - first, matrices.data(), coefficients.data(), upper_triangle ? first : 0,
                        ComplexProducts::three_real);
        take(first, last, coefficients.data());
    });
}

// project_chunks with the matrices made one at a time: make(t, matrix).
template <class Make, class Take>
void project_images(const Algebra& algebra, std::size_t count, Make&& make, Take&& take, Workers& workers) {
    const std::size_t m = algebra.dim() * algebra.dim();
    const auto make_chunk = [&](std::size_t first, std::size_t last, Complex* matrices) {
        for (std::size_t t = first; t < last; ++t) make(t, matrices + (t - first) * m);
    };
    project_chunks(algebra, count, make_chunk, take, workers);
}

// The coefficients of I/d, the mean of those of the E_rr: what the
// coefficients of a unit matrix on the diagonal lose with its trace part.
inline std::vector<Complex> identity_coefficients(const Algebra& algebra) {
    const std::size_t d = algebra.dim();
    const double inverse_d = 1.0 / static_cast<double>(d);
    std::vector<Complex> coefficients(algebra.size());
    for (std::size_t r = 0; r < d; ++r)
        algebra.for_each_unit_coefficient(r * d + r, [&](std::size_t k, Complex v) {
            coefficients[k] = coefficients[k] + Complex{v.re * inverse_d, v.im * inverse_d};
        });
    return coefficients;
}

// The largest modulus of `count` values, in parts over the team.
inline double largest_modulus(const Complex* values, std::size_t count, Workers& workers) {
    constexpr std::size_t part = std::size_t{1} << 16;
    const std::size_t parts = (count + part - 1) / part;
    std::vector<double> largest(parts);
    workers.run(parts, part, [&](std::size_t p) {
        largest[p] = largest_modulus(values + p * part, std::min(part, count - p * part));
    });
    return parts == 0 ? 0.0 : *std::max_element(largest.begin(), largest.end());
}

// f(i, j) for every i < j < n, in tiles so that the entries (i, j) and
// (j, i) of an n x n matrix stay in cache: a row of tiles at a time, over the
// team.
template <class F>
void for_each_upper_pair(std::size_t n, Workers& workers, F&& f) {
    constexpr std::size_t tile = 16;
    workers.run((n + tile - 1) / tile, tile * n, [&](std::size_t row) {
        const std::size_t i0 = row * tile;
        for (std::size_t j0 = i0; j0 < n; j0 += tile)
            for (std::size_t i = i0; i < std::min(n, i0 + tile); ++i)
                for (std::size_t j = std::max(j0, i + 1); j < std::min(n, j0 + tile); ++j) f(i, j);
    });
}

// The n x n matrix a (row-major) becomes its transpose.
inline void transpose_in_place(Complex* a, std::size_t n, Workers& workers) {
    for_each_upper_pair(n, workers, [&](std::size_t i, std::size_t j) { std::swap(a[i * n + j], a[j * n + i]); });
}

// The reshuffles of superoperators: an index into d^4 entries has the
// base-d digits (w, x, y, z), most significant first, and
//     target[(z, x, y, w)] = source[(w, x, y, z)],
// or target[(z, y, x, w)] with reverse_middle. For each middle pair this is
// a d x d transpose between rows d^3 apart, done in tiles, each x over the
// team.
inline void exchange_outer_digits(std::size_t d, const Complex* source, Complex* target, bool reverse_middle,
                                  Workers& workers) {
    constexpr std::size_t tile = 16;
    const std::size_t outer = d * d * d;
    workers.run(d, outer, [&](std::size_t x) {
        for (std::size_t y = 0; y < d; ++y) {
            const std::size_t from = (x * d + y) * d, to = (reverse_middle ? y * d + x : x * d + y) * d;
            for (std::size_t w0 = 0; w0 < d; w0 += tile)
                for (std::size_t z0 = 0; z0 < d; z0 += tile)
                    for (std::size_t w = w0; w < std::min(d, w0 + tile); ++w)
                        for (std::size_t z = z0; z < std::min(d, z0 + tile); ++z)
                            target[z * outer + to + w] = source[w * outer + from + z];
        }
    });
}

// Writes target[k * n + t] = coefficients[(t - first) * n + k] for
// first <= t < last and k_first <= k < n: the coefficients of a chunk of
// images become columns of an n x n result a row at a time, each row taking
// a run of whole lines past the cache, while the chunk's coefficients are
// read in as many streams as it has images.
inline void write_columns(std::size_t first, std::size_t last, std::size_t n, std::size_t k_first,
                          const Complex* coefficients, Complex* target) {
    const bool streaming = streams_to(target);
    for (std::size_t k = k_first; k < n; ++k)
        for (std::size_t t = first; t < last; ++t) {
            const Complex z = coefficients[(t - first) * n + k];
            write_result(target + k * n + t, streaming, z.re, z.im);
        }
    finish_streaming();
}

// Takes the coefficients of images first to last of a generator: those of
// L(B_t) as column t of A (n x n, row-major), and those of L(I/d), image n,
// as b.
inline void take_generator_images(std::size_t first, std::size_t last, std::size_t n, const Complex* coefficients,
                                  Complex* a, Complex* b) {
    if (last > n) {
        std::copy(coefficients + (n - first) * n, coefficients + (last - first) * n, b);
        last = n;
    }
    write_columns(first, last, n, 0, coefficients, a);
}

}  // namespace zenqa
