#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// A map from index tuples to values, kept as a vector sorted by key:
// iteration visits the keys in increasing order, which is the loop order of
// the products and makes every result built from it reproducible.
template <std::size_t N, class Value>
class IndexMap {
public:
    using Key = std::array<std::uint64_t, N>;
    struct Entry {
        Key key;
        Value value;
    };

    IndexMap() = default;

    // Entries in any order; of several with the same key the last one given wins.
    explicit IndexMap(std::vector<Entry> entries) : entries_(std::move(entries)) {
        const auto by_key = [](const Entry& a, const Entry& b) { return a.key < b.key; };
        const auto strictly_increasing = [](const Entry& a, const Entry& b) { return !(a.key < b.key); };
        if (std::adjacent_find(entries_.begin(), entries_.end(), strictly_increasing) == entries_.end()) return;
        std::stable_sort(entries_.begin(), entries_.end(), by_key);
        std::vector<Entry> unique;
        unique.reserve(entries_.size());
        for (Entry& entry : entries_) {
            if (!unique.empty() && unique.back().key == entry.key) {
                unique.back() = entry;
            } else {
                unique.push_back(entry);
            }
        }
        entries_ = std::move(unique);
    }

    const std::vector<Entry>& entries() const { return entries_; }
    std::size_t size() const { return entries_.size(); }

private:
    std::vector<Entry> entries_;
};

// [B_i, B_j] = c B_k, recorded for the key (i, j) as its lowest such k.
struct StructureConstant {
    std::uint64_t k;
    Complex c;
};

using StructureConstantMap = IndexMap<2, StructureConstant>;
using DCoefficientMap = IndexMap<3, Complex>;

}  // namespace zenqa
