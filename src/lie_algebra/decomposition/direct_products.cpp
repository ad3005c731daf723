#include "lie_algebra/decomposition/direct_products.hpp"

namespace zenqa {

DirectProjection::DirectProjection(const InverseColumns& inverse)
    : inverse_(inverse),
      sums_(2 * inverse.matrices()),
      summed_(inverse.matrices()),
      touched_(inverse.matrices()),
      kept_(2 * inverse.matrices()) {}

DirectPairs::DirectPairs(const SparseBasis& basis, const InverseColumns& inverse, std::size_t d)
    : basis_(basis), products_(d * d), projection_(inverse) {}

}  // namespace zenqa
