#include "lie_algebra/basis_forms/dense_columns.hpp"

#include <algorithm>
#include <vector>

namespace zenqa {

namespace {

// Each part scans at least this many values (a megabyte): fewer are not
// worth a thread's start.
constexpr std::size_t least_part_values = std::size_t{1} << 16;

}  // namespace

void append_dense_columns(SparseColumns& columns, const Complex* values, std::size_t count, ThreadTeam& team) {
    const std::size_t rows = columns.rows();
    const std::size_t parts = std::clamp<std::size_t>(count * rows / least_part_values, 1, team.size());
    if (parts == 1) {
        for (std::size_t q = 0; q < count; ++q) columns.append_column(values + q * rows);
        return;
    }
    std::vector<SparseColumns> scanned(parts, SparseColumns(rows));
    team.run(parts, [&](std::size_t p) {
        for (std::size_t q = count * p / parts; q < count * (p + 1) / parts; ++q)
            scanned[p].append_column(values + q * rows);
    });
    for (const SparseColumns& part : scanned) columns.append_columns(part);
}

}  // namespace zenqa
