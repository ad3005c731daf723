#include "lie_algebra/algebra/pair_tensor.hpp"

namespace zenqa {

namespace {

Complex mirrored(Symmetry symmetry, Complex v) { return symmetry == Symmetry::Antisymmetric ? -v : v; }

}  // namespace

void PairTensor::append(std::size_t i, std::size_t j_, std::size_t k_, Complex v) {
    while (rows() < i + 1) row_begin.push_back(stored());
    j.push_back(static_cast<std::uint32_t>(j_));
    k.push_back(static_cast<std::uint32_t>(k_));
    value.push_back(v);
    row_begin.back() = stored();
}

void PairTensor::finish(std::size_t n) {
    while (rows() < n) row_begin.push_back(stored());
}

std::size_t PairTensor::full_size() const {
    std::size_t off_diagonal = 0;
    for (std::size_t i = 0; i < rows(); ++i)
        for (std::size_t e = row_begin[i]; e < row_begin[i + 1]; ++e) off_diagonal += j[e] != i;
    return stored() + off_diagonal;
}

// Row r of the whole tensor holds first the mirrored entries (r, i, k) of the
// stored (i, r, k), i < r, which come in increasing (i, k) as stored, then
// the stored entries of row r itself. Each row is written in one sweep.
void PairTensor::write_entries(std::int64_t* index, Complex* values) const {
    const std::size_t n = rows();
    std::vector<std::size_t> mirrored_count(n, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t e = row_begin[i]; e < row_begin[i + 1]; ++e)
            if (j[e] != i) ++mirrored_count[j[e]];
    std::vector<std::size_t> mirrored_cursor(n), own_cursor(n);
    std::size_t offset = 0;
    for (std::size_t r = 0; r < n; ++r) {
        mirrored_cursor[r] = offset;
        own_cursor[r] = offset + mirrored_count[r];
        offset += mirrored_count[r] + row_begin[r + 1] - row_begin[r];
    }
    const auto put = [&](std::size_t at, std::size_t a, std::size_t b, std::size_t c, Complex v) {
        index[3 * at] = static_cast<std::int64_t>(a);
        index[3 * at + 1] = static_cast<std::int64_t>(b);
        index[3 * at + 2] = static_cast<std::int64_t>(c);
        values[at] = v;
    };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t e = row_begin[i]; e < row_begin[i + 1]; ++e) {
            put(own_cursor[i]++, i, j[e], k[e], value[e]);
            if (j[e] != i) put(mirrored_cursor[j[e]]++, j[e], i, k[e], mirrored(symmetry, value[e]));
        }
    }
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
