#include "lie_algebra/basis_forms/dense_columns.hpp"

#include <algorithm>
#include <vector>

namespace zenqa {

namespace {

// Each part scans at least this many values (a megabyte): fewer are not
// worth a thread's start.
constexpr std::size_t least_part_values = std::size_t{1} << 16;

}  // namespace

void append_dense_columns(SparseColumns& columns, std::span<const Complex* const> matrices, TeamOnDemand& threads) {
    const std::size_t rows = columns.rows(), count = matrices.size();
    const std::size_t wanted = count * rows / least_part_values;
    const std::size_t parts = wanted < 2 ? 1 : std::min(wanted, threads.team().size());
    if (parts == 1) {
        for (const Complex* matrix : matrices) columns.append_column(matrix);
        return;
    }
    std::vector<SparseColumns> scanned(parts, SparseColumns(rows));
    threads.team().run(parts, [&](std::size_t p) {
        for (std::size_t q = count * p / parts; q < count * (p + 1) / parts; ++q) scanned[p].append_column(matrices[q]);
    });
    for (const SparseColumns& part : scanned) columns.append_columns(part);
}

}  // namespace zenqa
