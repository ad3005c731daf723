#include "lie_algebra/algebra/pair_tensor.hpp"

#include <algorithm>

#include "base/thread_team.hpp"

namespace zenqa {

namespace {

// Tensors of this many entries and more are written in parts over the team;
// fewer are not worth waking threads for.
constexpr std::size_t threaded_entries = std::size_t{1} << 15;
constexpr std::size_t write_parts = 8;

Complex mirrored(Symmetry symmetry, Complex v) { return symmetry == Symmetry::Antisymmetric ? -v : v; }

}  // namespace

void PairTensor::append_rows(const PairTensor& part) {
    const std::size_t offset = stored();
    j.append(part.j.data(), part.stored());
    k.append(part.k.data(), part.stored());
    value.append(part.value.data(), part.stored());
    for (std::size_t r = rows(); r < part.rows(); ++r) row_begin.push_back(offset + part.row_begin[r + 1]);
}

// Row r of the whole tensor holds the mirrored entries (r, i, k) of the
// stored (i, r, k), i < r, then the stored entries of row r itself.
void PairTensor::finish(std::size_t n) {
    while (rows() < n) row_begin.push_back(stored());
    full_row_begin.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t e = row_begin[i]; e < row_begin[i + 1]; ++e)
            if (j[e] != i) ++full_row_begin[j[e] + 1];
    for (std::size_t r = 0; r < n; ++r) full_row_begin[r + 1] += full_row_begin[r] + row_begin[r + 1] - row_begin[r];
}

// The mirrored entries of a row come in increasing (i, k) as stored. Large
// tensors are written in parts of about equal size, each part finding its
// mirrored entries by their j, which each stored row keeps sorted.
void PairTensor::write_entries(std::int64_t* index, Complex* values) const {
    const std::size_t n = rows();
    const std::vector<std::size_t>& start = full_row_begin;
    const auto put = [&](std::size_t at, std::size_t a, std::size_t b, std::size_t c, Complex v) {
        index[3 * at] = static_cast<std::int64_t>(a);
        index[3 * at + 1] = static_cast<std::int64_t>(b);
        index[3 * at + 2] = static_cast<std::int64_t>(c);
        values[at] = v;
    };
    const auto write_rows = [&](std::size_t first, std::size_t last) {
        std::vector<std::size_t> cursor(start.begin() + static_cast<std::ptrdiff_t>(first),
                                        start.begin() + static_cast<std::ptrdiff_t>(last));
        for (std::size_t i = 0; i < last; ++i) {
            const std::uint32_t* found =
                std::lower_bound(j.data() + row_begin[i], j.data() + row_begin[i + 1], std::max(first, i + 1));
            for (auto e = static_cast<std::size_t>(found - j.data()); e < row_begin[i + 1] && j[e] < last; ++e)
                put(cursor[j[e] - first]++, j[e], i, k[e], mirrored(symmetry, value[e]));
        }
        // The stored entries of row r end it.
        for (std::size_t r = first; r < last; ++r)
            for (std::size_t e = row_begin[r], at = start[r + 1] - (row_begin[r + 1] - row_begin[r]);
                 e < row_begin[r + 1]; ++e, ++at)
                put(at, r, j[e], k[e], value[e]);
    };
    const std::size_t total = start[n];
    const std::size_t parts = total >= threaded_entries ? write_parts : 1;
    std::vector<std::size_t> bounds{0};  // rows where the parts begin
    for (std::size_t r = 0; r < n; ++r)
        if (bounds.size() < parts && start[r] * parts >= total * bounds.size() && r > bounds.back())
            bounds.push_back(r);
    bounds.push_back(n);
    ThreadTeam team(std::min(compute_threads(), bounds.size() - 1));
    team.run(bounds.size() - 1, [&](std::size_t p) { write_rows(bounds[p], bounds[p + 1]); });
}

void PairTensor::write_dense(Complex* dense) const {
    const std::size_t n = rows();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t e = row_begin[i]; e < row_begin[i + 1]; ++e) {
            dense[(i * n + j[e]) * n + k[e]] = value[e];
            if (j[e] != i) dense[(std::size_t{j[e]} * n + i) * n + k[e]] = mirrored(symmetry, value[e]);
        }
    }
}

}  // namespace zenqa
