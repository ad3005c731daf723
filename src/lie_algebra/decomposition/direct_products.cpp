#include "lie_algebra/decomposition/direct_products.hpp"

#include <algorithm>

namespace zenqa {

DirectProjection::DirectProjection(const InverseColumns& inverse)
    : inverse_(inverse),
      sums_(inverse.matrices()),
      summed_(inverse.matrices()),
      touched_(inverse.matrices()),
      kept_(2 * inverse.matrices()) {}

void DirectProjection::forget_marks() {
    std::fill(summed_.begin(), summed_.end(), 0);
    mark_ = 1;
}

DirectPairs::DirectPairs(const SparseBasis& basis, const InverseColumns& inverse)
    : basis_(basis), products_(*inverse.slots()), projection_(inverse) {}

}  // namespace zenqa
