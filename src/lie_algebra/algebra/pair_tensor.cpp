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

std::size_t PairTensor::stored() const {
    std::size_t entries = 0;
    for (const Segment& s : segments_) entries += s.value.size();
    return entries;
}

void PairTensor::add_rows(std::size_t count) {
    Segment& s = segments_.back();
    if (s.value.size() == 0 && room_wanted_ != 0) {
        s.j.reserve(room_wanted_);
        s.k.reserve(room_wanted_);
        s.value.reserve(room_wanted_);
        room_wanted_ = 0;
    }
    s.row_begin.resize(count + 1, s.value.size());
    row_segment_.resize(count, static_cast<std::uint32_t>(segments_.size() - 1));
}

void PairTensor::append_rows(PairTensor& part) {
    const std::size_t first = segments_.size();
    for (std::size_t r = rows(); r < part.rows(); ++r)
        row_segment_.push_back(static_cast<std::uint32_t>(first + part.row_segment_[r]));
    std::size_t entries = 0;
    for (Segment& s : part.segments_) {
        entries += s.value.size();
        segments_.push_back(std::move(s));
    }
    part.clear();
    part.room_wanted_ = entries;
}

void PairTensor::clear() {
    segments_.clear();
    segments_.emplace_back();
    row_segment_.clear();
    full_row_begin_.clear();
}

// Row r of the whole tensor holds the mirrored entries (r, i, k) of the
// stored (i, r, k), i < r, then the stored entries of row r itself.
void PairTensor::finish(std::size_t n) {
    if (rows() < n) add_rows(n);
    full_row_begin_.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        const Row stored_row = row(i);
        for (std::size_t e = 0; e < stored_row.size; ++e)
            if (stored_row.j[e] != i) ++full_row_begin_[stored_row.j[e] + 1];
    }
    for (std::size_t r = 0; r < n; ++r) full_row_begin_[r + 1] += full_row_begin_[r] + row(r).size;
}

// The mirrored entries of a row come in increasing (i, k) as stored. Large
// tensors are written in parts of about equal size, each part finding its
// mirrored entries by their j, which each stored row keeps sorted.
void PairTensor::write_entries(std::int64_t* index, Complex* values) const {
    const std::size_t n = rows();
    const std::vector<std::size_t>& start = full_row_begin_;
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
            const Row r = row(i);
            const auto found = static_cast<std::size_t>(
                std::lower_bound(r.j, r.j + r.size, static_cast<std::uint32_t>(std::max(first, i + 1))) - r.j);
            for (std::size_t e = found; e < r.size && r.j[e] < last; ++e)
                put(cursor[r.j[e] - first]++, r.j[e], i, r.k[e], mirrored(symmetry, r.value[e]));
        }
        // The stored entries of row r end it.
        for (std::size_t r = first; r < last; ++r) {
            const Row stored_row = row(r);
            for (std::size_t e = 0, at = start[r + 1] - stored_row.size; e < stored_row.size; ++e, ++at)
                put(at, r, stored_row.j[e], stored_row.k[e], stored_row.value[e]);
        }
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
        const Row r = row(i);
        for (std::size_t e = 0; e < r.size; ++e) {
            dense[(i * n + r.j[e]) * n + r.k[e]] = r.value[e];
            if (r.j[e] != i) dense[(std::size_t{r.j[e]} * n + i) * n + r.k[e]] = mirrored(symmetry, r.value[e]);
        }
    }
}

}  // namespace zenqa
