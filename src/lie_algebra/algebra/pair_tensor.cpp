#include "lie_algebra/algebra/pair_tensor.hpp"

#include <algorithm>

#include "base/thread_team.hpp"

namespace zenqa {

namespace {

// Tensors of this many entries and more are written in parts over the team;
// fewer are not worth waking threads for.
constexpr std::size_t threaded_entries = std::size_t{1} << 15;
constexpr std::size_t write_parts = 8;
// Counting an entry costs a tenth of writing it: tensors count over the team
// from this many stored entries.
constexpr std::size_t threaded_counted_entries = std::size_t{1} << 19;
// Parts that write more entries than this (10 MB) write them in blocks of
// rows of about block_entries (1.3 MB).
constexpr std::size_t unblocked_entries = std::size_t{1} << 18;
constexpr std::size_t block_entries = std::size_t{1} << 15;

// The rows where each of at most `parts` parts of rows begins, then the
// end: parts of about equal entries, where row r's begin at begin[r].
std::vector<std::size_t> balanced_bounds(const std::vector<std::size_t>& begin, std::size_t parts) {
    const std::size_t n = begin.size() - 1, total = begin[n];
    std::vector<std::size_t> bounds{0};
    for (std::size_t r = 0; r < n; ++r)
        if (bounds.size() < parts && begin[r] * parts >= total * bounds.size() && r > bounds.back())
            bounds.push_back(r);
    bounds.push_back(n);
    return bounds;
}

Complex mirrored(Symmetry symmetry, Complex v) { return symmetry == Symmetry::Antisymmetric ? -v : v; }

// The arrays the entries of the whole tensor go to.
struct EntryArrays {
    std::int64_t* index;
    Complex* values;

    void put(std::size_t at, std::size_t a, std::size_t b, std::size_t c, Complex v) const {
        index[3 * at] = static_cast<std::int64_t>(a);
        index[3 * at + 1] = static_cast<std::int64_t>(b);
        index[3 * at + 2] = static_cast<std::int64_t>(c);
        values[at] = v;
    }
};

// Writes the mirrored entries (j, i, k) of the entries of stored row i in
// `r` up to the first with j >= end, each at the cursor of its row j,
// cursor[j - first]; returns how many. Apart, so that the loop keeps its
// values in registers.
[[gnu::noinline]] std::size_t mirror_row(const EntryArrays& out, Symmetry symmetry, std::size_t i,
                                         const PairTensor::Row& r, std::size_t end, std::size_t* cursor,
                                         std::size_t first) {
    std::size_t e = 0;
    for (; e < r.size && r.j[e] < end; ++e)
        out.put(cursor[r.j[e] - first]++, r.j[e], i, r.k[e], mirrored(symmetry, r.value[e]));
    return e;
}

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
// stored (i, r, k), i < r, then the stored entries of row r itself. Counting
// the mirrored entries reads every stored j: in parts of about equal entries.
void PairTensor::finish(std::size_t n) {
    if (rows() < n) add_rows(n);
    std::vector<std::size_t> stored_begin{0};
    for (std::size_t i = 0; i < n; ++i) stored_begin.push_back(stored_begin.back() + row(i).size);
    const std::vector<std::size_t> bounds =
        balanced_bounds(stored_begin, stored_begin.back() >= threaded_counted_entries ? compute_threads() : 1);
    const std::size_t parts = bounds.size() - 1;
    std::vector<std::vector<std::size_t>> mirrored_in_part(parts, std::vector<std::size_t>(n + 1, 0));
    ThreadTeam team(parts);
    team.run(parts, [&](std::size_t p) {
        for (std::size_t i = bounds[p]; i < bounds[p + 1]; ++i) {
            const Row stored_row = row(i);
            for (std::size_t e = 0; e < stored_row.size; ++e)
                if (stored_row.j[e] != i) ++mirrored_in_part[p][stored_row.j[e] + 1];
        }
    });
    full_row_begin_.assign(n + 1, 0);
    for (const std::vector<std::size_t>& counts : mirrored_in_part)
        for (std::size_t r = 1; r <= n; ++r) full_row_begin_[r] += counts[r];
    for (std::size_t r = 0; r < n; ++r)
        full_row_begin_[r + 1] += full_row_begin_[r] + stored_begin[r + 1] - stored_begin[r];
}

// The mirrored entries of a row come in increasing (i, k) as stored. Large
// tensors are written in parts of about equal size, each part finding its
// mirrored entries by their j, which each stored row keeps sorted.
void PairTensor::write_entries(std::int64_t* index, Complex* values) const {
    const std::size_t n = rows();
    const std::vector<std::size_t>& start = full_row_begin_;
    const EntryArrays out{index, values};
    const auto write_rows = [&](std::size_t first, std::size_t last) {
        std::vector<std::size_t> cursor(start.begin() + static_cast<std::ptrdiff_t>(first),
                                        start.begin() + static_cast<std::ptrdiff_t>(last));
        // Mirroring is a transpose: every stored row writes into each row it
        // reaches. Where those rows span more than the TLB reaches, they are
        // filled a block at a time, so that the pages written stay few.
        const bool blocked = start[last] - start[first] > unblocked_entries;
        const auto end_of_block = [&](std::size_t block) {
            if (!blocked) return last;
            std::size_t end = block + 1;
            while (end < last && start[end + 1] - start[block] <= block_entries) ++end;
            return end;
        };
        // Per stored row i, once a block has read it, its entries still to
        // mirror and the j of the next one (`last` for none): a dense array
        // to scan, where rows of few entries reach few blocks. No mirrored
        // entry has j = 0.
        constexpr std::uint32_t unread = 0;
        std::vector<Row> unmirrored(blocked ? last : 0);
        std::vector<std::uint32_t> next_j(last, unread);
        const auto rest = [](const Row& r, std::size_t e) { return Row{r.j + e, r.k + e, r.value + e, r.size - e}; };
        // Row i from j = first on, past the diagonal.
        const auto to_mirror = [&](std::size_t i) {
            const Row r = row(i);
            const auto past = static_cast<std::uint32_t>(std::max(first, i + 1));
            return rest(r, static_cast<std::size_t>(std::lower_bound(r.j, r.j + r.size, past) - r.j));
        };
        for (std::size_t block = first, block_end; block < last; block = block_end) {
            block_end = end_of_block(block);
            for (std::size_t i = 0; i < block_end; ++i) {
                if (next_j[i] != unread && next_j[i] >= block_end) continue;
                const Row r = next_j[i] == unread ? to_mirror(i) : unmirrored[i];
                const std::size_t e = mirror_row(out, symmetry, i, r, block_end, cursor.data(), first);
                if (!blocked) continue;
                unmirrored[i] = rest(r, e);
                next_j[i] = e < r.size ? r.j[e] : static_cast<std::uint32_t>(last);
            }
        }
        // The stored entries of row r end it.
        for (std::size_t r = first; r < last; ++r) {
            const Row stored_row = row(r);
            for (std::size_t e = 0, at = start[r + 1] - stored_row.size; e < stored_row.size; ++e, ++at)
                out.put(at, r, stored_row.j[e], stored_row.k[e], stored_row.value[e]);
        }
    };
    const std::vector<std::size_t> bounds = balanced_bounds(start, start[n] >= threaded_entries ? write_parts : 1);
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
