#include "lie_algebra/basis_forms/basis_columns.hpp"

#include <algorithm>
#include <vector>

#include "base/fault.hpp"

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

ComplexMatrix build_basis_columns(const std::vector<ComplexMatrix>& basis) {
    const std::size_t d = basis.front().rows();
    const std::size_t m = d * d;
    for (const ComplexMatrix& matrix : basis) {
        if (!matrix.row_major_contiguous()) raise_missing_value_fault();
        if (matrix.size() < m) raise_shape_fault(ShapeFault::TooFewElements);
    }
    ComplexMatrix columns = ComplexMatrix::zeros(m, basis.size());
    for (std::size_t k = 0; k < basis.size(); ++k) {
        const Complex* entries = basis[k].data();
        for (std::size_t p = 0; p < m; ++p) columns.set(p, k, entries[p]);
    }
    return columns;
}

}  // namespace zenqa
