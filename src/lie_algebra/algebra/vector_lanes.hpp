#pragma once

// The layout of batched products: vectors are processed in blocks, laid out
// coefficient by coefficient with the block's vectors side by side in lanes
// (real and imaginary parts in planes of their own), so that the arithmetic
// runs on whole lanes at once. A block is small enough that a row's operands
// stay in registers. Everything here is inlined into the contraction, which
// is compiled once per target.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "array/complex.hpp"
#include "array/streaming_store.hpp"
#include "lie_algebra/algebra/batched_products.hpp"

namespace zenqa::vector_lanes {

constexpr std::size_t lane_width = 8;
using Lanes = double __attribute__((vector_size(lane_width * sizeof(double))));
constexpr std::size_t lanes_per_block = 2;
constexpr std::size_t block_vectors = lanes_per_block * lane_width;

class Planes {
public:
    Planes(std::size_t n, bool complex) : re_(n * lanes_per_block), im_(complex ? n * lanes_per_block : 0) {}
    // Lanes c of coefficient i.
    Lanes& re(std::size_t i, std::size_t c) { return re_[i * lanes_per_block + c].lanes; }
    Lanes& im(std::size_t i, std::size_t c) { return im_[i * lanes_per_block + c].lanes; }
    void clear() {
        std::fill(re_.begin(), re_.end(), Stored{});
        std::fill(im_.begin(), im_.end(), Stored{});
    }

private:
    // Aligned to its size whatever the target, so that allocations of it are too.
    struct alignas(sizeof(Lanes)) Stored {
        Lanes lanes;
    };
    std::vector<Stored> re_, im_;  // n x lanes_per_block each
};

// m[r][c] to m[c][r], in three rounds of exchanges between rows 1, 2 and 4 apart.
[[gnu::always_inline]] inline void transpose(Lanes (&m)[lane_width]) {
    Lanes t[lane_width];
    for (std::size_t r = 0; r < lane_width; r += 2) {
        t[r] = __builtin_shufflevector(m[r], m[r + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        t[r + 1] = __builtin_shufflevector(m[r], m[r + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (const std::size_t r : {0, 1, 4, 5}) {
        m[r] = __builtin_shufflevector(t[r], t[r + 2], 0, 1, 8, 9, 4, 5, 12, 13);
        m[r + 2] = __builtin_shufflevector(t[r], t[r + 2], 2, 3, 10, 11, 6, 7, 14, 15);
    }
    for (std::size_t r = 0; r < lane_width / 2; ++r) {
        t[r] = __builtin_shufflevector(m[r], m[r + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        t[r + 4] = __builtin_shufflevector(m[r], m[r + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
    std::copy(t, t + lane_width, m);
}

[[gnu::always_inline]] inline void load_lanes(const double* source, Lanes& lanes) {
    std::memcpy(&lanes, source, sizeof lanes);
}

// Where the lane_width coefficients of a row that start at `start` are moved
// together: the last ones of a row are taken with some before them, which
// are then moved twice, so that no row is read past its end.
inline std::size_t group_start(std::size_t start, std::size_t n) { return std::min(start, n - lane_width); }

// Vectors first .. first + count - 1 of `source` into the planes.
[[gnu::always_inline]] inline void load(CoefficientRows source, std::size_t n, std::size_t first, std::size_t count,
                                        Planes& planes) {
    const std::size_t parts = source.complex ? 2 : 1;
    const auto row_of = [&](std::size_t v) { return source.data + parts * n * source.rows[first + v]; };
    if (n < lane_width) {
        for (std::size_t v = 0; v < count; ++v) {
            const std::size_t c = v / lane_width, lane = v % lane_width;
            for (std::size_t i = 0; i < n; ++i) planes.re(i, c)[lane] = row_of(v)[parts * i];
            if (!source.complex) continue;
            for (std::size_t i = 0; i < n; ++i) planes.im(i, c)[lane] = row_of(v)[2 * i + 1];
        }
        return;
    }
    for (std::size_t c = 0; c * lane_width < count; ++c) {
        // Lanes past the last vector repeat it; their results are not stored.
        const double* rows[lane_width];
        for (std::size_t lane = 0; lane < lane_width; ++lane)
            rows[lane] = row_of(std::min(c * lane_width + lane, count - 1));
        for (std::size_t start = 0; start < n; start += lane_width) {
            const std::size_t at = group_start(start, n);
            Lanes re[lane_width], im[lane_width];
            for (std::size_t lane = 0; lane < lane_width; ++lane) {
                if (source.complex) {
                    Lanes low, high;
                    load_lanes(rows[lane] + 2 * at, low);
                    load_lanes(rows[lane] + 2 * at + lane_width, high);
                    re[lane] = __builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12, 14);
                    im[lane] = __builtin_shufflevector(low, high, 1, 3, 5, 7, 9, 11, 13, 15);
                } else {
                    load_lanes(rows[lane] + at, re[lane]);
                }
            }
            transpose(re);
            for (std::size_t i = 0; i < lane_width; ++i) planes.re(at + i, c) = re[i];
            if (!source.complex) continue;
            transpose(im);
            for (std::size_t i = 0; i < lane_width; ++i) planes.im(at + i, c) = im[i];
        }
    }
}

// The planes' first `count` vectors, times `scale`, into rows of n results,
// each row in order. (Turning the planes back in registers, as `load` does,
// writes a piece of each of lane_width rows at a time, which costs more than
// it saves.)
[[gnu::always_inline]] inline void store(Planes& x, bool complex, double scale, std::size_t n, std::size_t count,
                                         bool streaming, Complex* out) {
    for (std::size_t v = 0; v < count; ++v) {
        Complex* row = out + v * n;
        const std::size_t c = v / lane_width, lane = v % lane_width;
        for (std::size_t i = 0; i < n; ++i)
            write_result(row + i, streaming, x.re(i, c)[lane] * scale, complex ? x.im(i, c)[lane] * scale : 0.0);
    }
}

}  // namespace zenqa::vector_lanes
