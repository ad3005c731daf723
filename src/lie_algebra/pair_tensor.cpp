#include "lie_algebra/pair_tensor.hpp"

#include <tuple>

namespace zenqa {

namespace {

Complex mirrored(Symmetry symmetry, Complex v) { return symmetry == Symmetry::Antisymmetric ? -v : v; }

}  // namespace

void PairTensor::append(std::size_t i_, std::size_t j_, std::size_t k_, Complex v) {
    i.push_back(static_cast<std::uint32_t>(i_));
    j.push_back(static_cast<std::uint32_t>(j_));
    k.push_back(static_cast<std::uint32_t>(k_));
    value.push_back(v);
}

std::size_t PairTensor::full_size() const {
    std::size_t off_diagonal = 0;
    for (std::size_t e = 0; e < stored(); ++e) off_diagonal += i[e] != j[e];
    return stored() + off_diagonal;
}

// Row r of the whole tensor holds first the mirrored entries (r, i, k) of the
// stored (i, r, k), i < r, which come in increasing (i, k) as stored, then
// the stored entries of row r itself. Each row is written in one sweep.
void PairTensor::write_entries(std::size_t n, std::int64_t* index, Complex* values) const {
    std::vector<std::size_t> mirrored_cursor(n + 1, 0), own_cursor(n, 0);
    std::vector<std::size_t> mirrored_count(n, 0), own_count(n, 0);
    for (std::size_t e = 0; e < stored(); ++e) {
        ++own_count[i[e]];
        if (i[e] != j[e]) ++mirrored_count[j[e]];
    }
    std::size_t offset = 0;
    for (std::size_t r = 0; r < n; ++r) {
        mirrored_cursor[r] = offset;
        own_cursor[r] = offset + mirrored_count[r];
        offset += mirrored_count[r] + own_count[r];
    }
    const auto put = [&](std::size_t at, std::size_t a, std::size_t b, std::size_t c, Complex v) {
        index[3 * at] = static_cast<std::int64_t>(a);
        index[3 * at + 1] = static_cast<std::int64_t>(b);
        index[3 * at + 2] = static_cast<std::int64_t>(c);
        values[at] = v;
    };
    for (std::size_t e = 0; e < stored(); ++e) {
        put(own_cursor[i[e]]++, i[e], j[e], k[e], value[e]);
        if (i[e] != j[e]) put(mirrored_cursor[j[e]]++, j[e], i[e], k[e], mirrored(symmetry, value[e]));
    }
}

void PairTensor::write_dense(std::size_t n, Complex* dense) const {
    for (std::size_t e = 0; e < stored(); ++e) {
        dense[(std::size_t{i[e]} * n + j[e]) * n + k[e]] = value[e];
        if (i[e] != j[e]) dense[(std::size_t{j[e]} * n + i[e]) * n + k[e]] = mirrored(symmetry, value[e]);
    }
}

PairTensor merge_sorted(const PairTensor& a, const PairTensor& b) {
    PairTensor merged;
    merged.symmetry = a.symmetry;
    const std::size_t total = a.stored() + b.stored();
    merged.i.reserve(total);
    merged.j.reserve(total);
    merged.k.reserve(total);
    merged.value.reserve(total);
    const auto key = [](const PairTensor& t, std::size_t e) { return std::tie(t.i[e], t.j[e], t.k[e]); };
    std::size_t x = 0, y = 0;
    while (x < a.stored() || y < b.stored()) {
        const bool take_a = y == b.stored() || (x < a.stored() && key(a, x) < key(b, y));
        const PairTensor& from = take_a ? a : b;
        std::size_t& e = take_a ? x : y;
        merged.append(from.i[e], from.j[e], from.k[e], from.value[e]);
        ++e;
    }
    return merged;
}

}  // namespace zenqa
