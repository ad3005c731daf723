#include "lie_algebra/basis_forms/basis_columns.hpp"

#include "base/fault.hpp"

namespace zenqa {

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
