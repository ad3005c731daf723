#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// Keys for vectors of `count` entries up to a complex factor: the entries over
// the first, each part rounded to a multiple of 2^-20, summed with a random
// odd multiplier per part. Multiples of one vector get the same key up to
// rounding, except where rounding carries a part across a midpoint of the
// grid, and different vectors rarely share one; a key only proposes a
// candidate, which its user checks. The terms are independent, so the sum
// runs at the speed of the multiplications.
class ValuePattern {
public:
    explicit ValuePattern(std::size_t count) : multipliers_(2 * count) {
        std::uint64_t state = 0;
        for (std::uint64_t& multiplier : multipliers_) {
            // splitmix64
            std::uint64_t x = state += 0x9e3779b97f4a7c15;
            x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
            x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
            multiplier = (x ^ (x >> 31)) | 1;
        }
    }

    // None where the first entry is zero or a ratio exceeds 2^20 (or is NaN).
    std::optional<std::uint64_t> key(const Complex* values) const {
        constexpr double grid = 0x1p20, largest_ratio = 0x1p20;
        // Adding this rounds any double below 2^51 in modulus to an integer,
        // held in the low bits of the sum, to nearest as the FPU rounds.
        constexpr double rounder = 0x1.8p52;
        const Complex first = values[0];
        const double squared = first.re * first.re + first.im * first.im;
        if (!(squared > 0.0)) return std::nullopt;
        const Complex inverse{first.re / squared, -first.im / squared};
        std::uint64_t key = 0;
        bool in_range = true;
        for (std::size_t l = 0; l < multipliers_.size() / 2; ++l) {
            const Complex ratio = values[l] * inverse;
            in_range &= std::abs(ratio.re) <= largest_ratio && std::abs(ratio.im) <= largest_ratio;
            key += std::bit_cast<std::uint64_t>(ratio.re * grid + rounder) * multipliers_[2 * l] +
                   std::bit_cast<std::uint64_t>(ratio.im * grid + rounder) * multipliers_[2 * l + 1];
        }
        if (!in_range) return std::nullopt;
        return key;
    }

private:
    std::vector<std::uint64_t> multipliers_;
};

}  // namespace zenqa
