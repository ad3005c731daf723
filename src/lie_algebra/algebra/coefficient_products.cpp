#include "lie_algebra/algebra/coefficient_products.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "lie_algebra/decomposition/negligible.hpp"

namespace zenqa {

namespace {

using Triple = std::array<std::uint64_t, 3>;

// The six orderings of the positions of (i, j, k), in lexicographic order of
// the positions; repeated indices give repeated triples.
std::array<Triple, 6> index_orderings(const Triple& t) {
    const auto [i, j, k] = t;
    return {{{i, j, k}, {i, k, j}, {j, i, k}, {j, k, i}, {k, i, j}, {k, j, i}}};
}

// The triples t whose ordering number m (as listed by index_orderings) is `key`.
std::array<Triple, 6> triples_ordered_as(const Triple& key) {
    const auto [p, q, r] = key;
    return {{{p, q, r}, {p, r, q}, {q, p, r}, {r, p, q}, {q, r, p}, {r, q, p}}};
}

// The keys of a d-coefficient map, for the membership tests of the dot
// product (several per entry), by open addressing. A slot holds an entry's
// index and a fingerprint of its key, eight bytes, so that the table stays
// in cache where the entries would not.
class KeySet {
public:
    explicit KeySet(const DCoefficientMap& map) : entries_(map.entries()) {
        std::size_t capacity = 16;
        while (capacity < 2 * entries_.size()) capacity *= 2;
        slots_.assign(capacity, Slot{});
        mask_ = capacity - 1;
        for (std::size_t e = 0; e < entries_.size(); ++e) {
            const std::uint64_t h = hash(entries_[e].key);
            std::size_t slot = h & mask_;
            while (slots_[slot].entry != 0) slot = (slot + 1) & mask_;
            slots_[slot] = {static_cast<std::uint32_t>(e + 1), fingerprint(h)};
        }
    }

    bool contains(const Triple& key) const {
        const std::uint64_t h = hash(key);
        for (std::size_t slot = h & mask_;; slot = (slot + 1) & mask_) {
            if (slots_[slot].entry == 0) return false;
            if (slots_[slot].fingerprint == fingerprint(h) && entries_[slots_[slot].entry - 1].key == key) return true;
        }
    }

private:
    struct Slot {
        std::uint32_t entry = 0;  // entry index plus one; 0 marks an empty slot
        std::uint32_t fingerprint = 0;
    };

    static std::uint64_t hash(const Triple& key) {
        std::uint64_t h =
            key[0] * 0x9E3779B97F4A7C15ull ^ key[1] * 0xC2B2AE3D27D4EB4Full ^ key[2] * 0x165667B19E3779F9ull;
        h ^= h >> 29;
        h *= 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 32);
    }
    static std::uint32_t fingerprint(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32); }

    const std::vector<DCoefficientMap::Entry>& entries_;
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
};

struct Element {
    std::size_t row;
    std::size_t col;
    Complex value;
};

// The nonzero elements of each basis matrix, listed on first use.
class NonzeroElements {
public:
    explicit NonzeroElements(const std::vector<ComplexMatrix>& basis)
        : basis_(basis), lists_(basis.size()), listed_(basis.size()) {}

    const std::vector<Element>& of(std::size_t k) {
        std::vector<Element>& list = lists_[k];
        if (!listed_[k]) {
            listed_[k] = true;
            const ComplexMatrix& matrix = basis_[k];
            for (std::size_t i = 0; i < matrix.rows(); ++i)
                for (std::size_t j = 0; j < matrix.cols(); ++j)
                    if (!is_zero(matrix.at(i, j))) list.push_back({i, j, matrix.at(i, j)});
        }
        return list;
    }

private:
    const std::vector<ComplexMatrix>& basis_;
    std::vector<std::vector<Element>> lists_;
    std::vector<bool> listed_;
};

bool is_finite(Complex z) { return std::isfinite(z.re) && std::isfinite(z.im); }

// Element updates between two looks for an interrupt.
constexpr std::size_t updates_per_check = 1 << 16;

}  // namespace

ComplexMatrix commutator_matrix(const ComplexMatrix& l_a, const ComplexMatrix& l_b, const StructureConstantMap& f_ijk,
                                const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt) {
    if (basis.empty()) raise_fault(published::empty_basis);
    const std::size_t m = basis.front().rows();
    ComplexMatrix result = ComplexMatrix::zeros(m, m);
    NonzeroElements nonzero(basis);
    PacedInterruptCheck interrupt(check_interrupt, updates_per_check);
    for (const auto& [key, entry] : f_ijk.entries()) {
        interrupt.step();
        const auto [i, j] = key;
        if (i >= l_a.size() || j >= l_b.size()) continue;  // a pair the loops never visit
        const Complex s = (l_a.row_major_at(i) * l_b.row_major_at(j)) * entry.c;
        if (!(std::hypot(s.re, s.im) > negligible_bound)) continue;
        if (entry.k >= basis.size()) raise_missing_value_fault();
        const ComplexMatrix& term = basis[entry.k];
        // With a finite factor a zero element adds an exact zero, which leaves
        // the sum (never -0.0, as it starts from +0.0) unchanged.
        interrupt.step(term.size());
        if (!is_finite(s) || term.rows() != m || term.cols() != m) {
            add_scaled(result, term, s);
            continue;
        }
        for (const Element& element : nonzero.of(entry.k)) result.add_at(element.row, element.col, element.value * s);
    }
    return result;
}

ComplexMatrix cross_coefficients(const ComplexMatrix& l_a, const ComplexMatrix& l_b, const StructureConstantMap& f_ijk,
                                 InterruptCheck check_interrupt) {
    ComplexMatrix out = ComplexMatrix::zeros(l_a.rows(), l_a.cols());
    PacedInterruptCheck interrupt(check_interrupt, updates_per_check);
    for (const auto& [key, entry] : f_ijk.entries()) {
        interrupt.step();
        const auto [i, j] = key;
        if (i >= l_a.size() || j >= l_b.size() || entry.k >= l_a.rows()) continue;
        out.add_at(entry.k, 0, (entry.c * l_a.row_major_at(i)) * l_b.row_major_at(j));
    }
    return out;
}

ComplexMatrix dot_coefficients(const ComplexMatrix& l_a, const ComplexMatrix& l_b, const DCoefficientMap& f_ijk,
                               InterruptCheck check_interrupt) {
    // Each visited triple takes the value of its first stored ordering. Seen
    // from the entries: an entry serves the triples whose ordering it is,
    // unless an earlier ordering of that triple is stored too.
    struct Contribution {
        Triple triple;
        Complex value;
    };
    const KeySet stored(f_ijk);
    std::vector<Contribution> contributions;
    PacedInterruptCheck interrupt(check_interrupt, updates_per_check);
    for (const auto& [key, value] : f_ijk.entries()) {
        interrupt.step(6);
        const std::array<Triple, 6> triples = triples_ordered_as(key);
        for (std::size_t m = 0; m < triples.size(); ++m) {
            const Triple& t = triples[m];
            if (t[0] >= l_a.size() || t[1] >= l_b.size() || t[2] >= l_a.rows()) continue;
            const std::array<Triple, 6> orderings = index_orderings(t);
            const bool found_earlier =
                std::any_of(orderings.begin(), orderings.begin() + static_cast<std::ptrdiff_t>(m),
                            [&](const Triple& o) { return stored.contains(o); });
            if (!found_earlier) contributions.push_back({t, value});
        }
    }
    // Loop order: i, then j, then k. Maps that hold every ordering of their
    // triples contribute in key order already.
    const auto by_triple = [](const Contribution& a, const Contribution& b) { return a.triple < b.triple; };
    if (!std::is_sorted(contributions.begin(), contributions.end(), by_triple))
        std::sort(contributions.begin(), contributions.end(), by_triple);
    ComplexMatrix out = ComplexMatrix::zeros(l_a.rows(), l_a.cols());
    for (const auto& [triple, value] : contributions) {
        interrupt.step();
        const auto [i, j, k] = triple;
        out.add_at(k, 0, (value * l_a.row_major_at(i)) * l_b.row_major_at(j));
    }
    return out;
}

}  // namespace zenqa
