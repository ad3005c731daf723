#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace zenqa {

// The product of the factors, or nothing when it does not fit 64 bits.
inline std::optional<std::uint64_t> checked_product(std::initializer_list<std::uint64_t> factors) {
    std::uint64_t product = 1;
    for (const std::uint64_t factor : factors) {
        if (__builtin_mul_overflow(product, factor, &product)) return std::nullopt;
    }
    return product;
}

}  // namespace zenqa
