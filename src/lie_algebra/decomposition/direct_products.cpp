#include "lie_algebra/decomposition/direct_products.hpp"

#include <algorithm>

namespace zenqa {

DirectProjection::DirectProjection(const InverseColumns& inverse)
    : inverse_(inverse),
      sums_(2 * inverse.matrices()),
      summed_(inverse.matrices()),
      touched_(inverse.matrices()),
      kept_(2 * inverse.matrices()) {}

template <std::size_t Count>
std::array<std::span<const Coefficient>, Count> DirectProjection::project(
    std::array<const SparseAccumulator*, Count> targets, int exponent) {
    // Plain pointers: through the vectors, every store would reload them.
    const std::size_t n = inverse_.matrices();
    Complex* sums = sums_.data();
    unsigned char* summed = summed_.data();
    std::size_t* touched = touched_.data();
    std::size_t count = 0;
    for (const std::size_t p : targets[0]->touched()) {
        std::array<Complex, Count> v;
        bool cancelled = true;  // every term, in every target
        for (std::size_t t = 0; t < Count; ++t) {
            v[t] = targets[t]->value(p);
            cancelled &= is_zero(v[t]);
        }
        if (cancelled) continue;
        inverse_.for_each_in_column(p, [&](std::size_t k, Complex w) {
            if (!summed[k]) {
                summed[k] = 1;
                touched[count++] = k;
            }
            for (std::size_t t = 0; t < Count; ++t) sums[t * n + k] = sums[t * n + k] + w * v[t];
        });
    }
    std::sort(touched, touched + count);
    std::array<std::span<const Coefficient>, Count> coefficients;
    for (std::size_t t = 0; t < Count; ++t) {
        Coefficient* kept = kept_.data() + t * n;
        std::size_t kept_count = 0;
        for (std::size_t e = 0; e < count; ++e) {
            const std::size_t k = touched[e];
            if (const auto value = true_coefficient(k, sums[t * n + k], exponent)) kept[kept_count++] = {k, *value};
            sums[t * n + k] = Complex{};
        }
        coefficients[t] = std::span<const Coefficient>(kept, kept_count);
    }
    for (std::size_t e = 0; e < count; ++e) summed[touched[e]] = 0;
    return coefficients;
}

template std::array<std::span<const Coefficient>, 1> DirectProjection::project(std::array<const SparseAccumulator*, 1>,
                                                                               int);
template std::array<std::span<const Coefficient>, 2> DirectProjection::project(std::array<const SparseAccumulator*, 2>,
                                                                               int);

DirectPairs::DirectPairs(const SparseBasis& basis, const InverseColumns& inverse, std::size_t d)
    : basis_(basis), commutator_(d * d), anticommutator_(d * d), projection_(inverse) {}

}  // namespace zenqa
