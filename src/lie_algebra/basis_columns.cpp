#include "lie_algebra/basis_columns.hpp"

#include "base/fault.hpp"

namespace zenqa {

ComplexMatrix build_basis_columns(const std::vector<ComplexMatrix>& basis) {
    const std::size_t d = basis.front().rows();
    const std::size_t m = d * d;
    for (const ComplexMatrix& matrix : basis) {
        if (!matrix.row_major_contiguous()) unwrap_none();
        if (matrix.size() < m) unwrap_err(shape_error_text(ShapeErrorKind::OutOfBounds));
    }
    ComplexMatrix columns = ComplexMatrix::zeros(m, basis.size());
    for (std::size_t k = 0; k < basis.size(); ++k) {
        const Complex* entries = basis[k].data();
        for (std::size_t p = 0; p < m; ++p) columns.set(p, k, entries[p]);
    }
    return columns;
}

}  // namespace zenqa
