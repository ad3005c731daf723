#include "lie_algebra/basis_forms/pauli_words.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>
#include <utility>

#include "lie_algebra/basis_forms/basis_range.hpp"

namespace zenqa {

namespace {

// Entries transformed between two checks for interrupts: some tens of milliseconds.
constexpr std::size_t transformed_between_checks = std::size_t{1} << 20;

// The patterns x = r ^ c of each matrix's entries (r, c), in increasing
// order: those of matrix k at patterns[begin[k]] .. patterns[begin[k + 1] - 1].
void find_patterns(const SparseColumns& columns, std::size_t d, std::vector<std::size_t>& patterns,
                   std::vector<std::size_t>& begin) {
    begin.assign(1, 0);
    for (std::size_t k = 0; k < columns.cols(); ++k) {
        const auto first = static_cast<std::ptrdiff_t>(patterns.size());
        columns.for_each_nonzero(k, [&](std::size_t p, Complex) { patterns.push_back((p / d) ^ (p % d)); });
        std::sort(patterns.begin() + first, patterns.end());
        patterns.erase(std::unique(patterns.begin() + first, patterns.end()), patterns.end());
        begin.push_back(patterns.size());
    }
}

// v[z] = sum over c of (-1)^|z & c| v[c], in place, for v of a power-of-two length.
void walsh_hadamard(Complex* v, std::size_t length) {
    for (std::size_t half = 1; half < length; half *= 2) {
        for (std::size_t first = 0; first < length; first += 2 * half) {
            for (std::size_t c = first; c < first + half; ++c) {
                const Complex a = v[c], b = v[c + half];
                v[c] = a + b;
                v[c + half] = a - b;
            }
        }
    }
}

// Zeroes the smallest of a pattern's words while together they weigh at most
// log2(d) roundings of the whole pattern (in the sum of squared moduli, which
// the words keep of the entries up to the factor d). Where the entries are
// exact sums of a few strings' factors, every other word is exactly zero.
// Where they were rounded (factors such as 1/3), each word that should
// cancel keeps a remainder: together less than the transform's own rounding
// of log2(d) additions, and as many as the pattern has entries. Dropping
// them changes the matrix by less than that rounding, and keeps its words few.
// The columns were brought into range: no square of a word overflows, and
// one that sinks to zero belongs to a word far below what the least squares
// resolve.
void drop_remainders(Complex* words, std::size_t d, std::vector<std::size_t>& order) {
    order.clear();
    double total = 0.0;
    for (std::size_t z = 0; z < d; ++z) {
        if (is_zero(words[z])) continue;
        order.push_back(z);
        total += squared_modulus(words[z]);
    }
    const double rounding = static_cast<double>(std::countr_zero(d)) * std::numeric_limits<double>::epsilon() / 2;
    const double budget = rounding * rounding * total;
    std::sort(order.begin(), order.end(),
              [&](std::size_t a, std::size_t b) { return squared_modulus(words[a]) < squared_modulus(words[b]); });
    double dropped = 0.0;
    for (const std::size_t z : order) {
        dropped += squared_modulus(words[z]);
        if (dropped > budget) return;
        words[z] = Complex{};
    }
}

}  // namespace

PauliWords::PauliWords(std::shared_ptr<const SparseColumns> columns, std::size_t d)
    : columns_(std::move(columns)), bits_(static_cast<std::size_t>(std::countr_zero(d))) {}

std::optional<PauliWords> PauliWords::of(const SparseColumns& columns, std::size_t d, InterruptCheck check_interrupt) {
    if (d < 2 || !std::has_single_bit(d)) return std::nullopt;
    const std::size_t n = columns.cols();
    // A pattern's words come from its d entries (c ^ x, c) by one transform of
    // d log d: worth it only where the patterns a matrix has entries on are
    // mostly filled, as a Pauli string fills its own.
    std::vector<std::size_t> patterns, begin;
    find_patterns(columns, d, patterns, begin);
    if (patterns.size() * d > 2 * columns.nonzeros()) return std::nullopt;

    auto words = std::make_shared<SparseColumns>(columns.rows());
    std::vector<std::uint32_t> slot_of(d);
    std::vector<Complex> along;  // per pattern, its entries (c ^ x, c) by c
    std::vector<std::size_t> order;
    const int scale = -static_cast<int>(std::countr_zero(d));
    PacedInterruptCheck paced(check_interrupt, transformed_between_checks);
    for (std::size_t k = 0; k < n; ++k) {
        const std::span<const std::size_t> own(patterns.data() + begin[k], begin[k + 1] - begin[k]);
        for (std::size_t s = 0; s < own.size(); ++s) slot_of[own[s]] = static_cast<std::uint32_t>(s);
        along.assign(own.size() * d, Complex{});
        columns.for_each_nonzero(k, [&](std::size_t p, Complex v) {
            const std::size_t c = p % d;
            along[slot_of[(p / d) ^ c] * d + c] = v;
        });
        // The coefficient of W(x, z) is <W(x, z), B_k> / d.
        for (std::size_t s = 0; s < own.size(); ++s) {
            Complex* v = along.data() + s * d;
            walsh_hadamard(v, d);
            drop_remainders(v, d, order);
            for (std::size_t z = 0; z < d; ++z) {
                const Complex w = times_power_of_two(v[z], scale);
                if (!is_zero(w)) words->append(own[s] * d + z, w);
            }
        }
        words->end_column();
        paced.step(along.size());
    }
    // A product costs the pairs of entries that meet, about nonzeros^2 / d
    // over all pairs of matrices, or the pairs of words, words^2.
    const double in_words = static_cast<double>(words->nonzeros()) * std::sqrt(static_cast<double>(d));
    if (in_words >= static_cast<double>(columns.nonzeros())) return std::nullopt;
    return PauliWords(std::move(words), d);
}

void PauliWords::append_partners(std::size_t i, std::vector<std::size_t>& partners) const {
    for (std::size_t j = i + 1; j < columns_->cols(); ++j) partners.push_back(j);
}

template <class Add>
void PauliWords::for_each_term(std::size_t i, std::size_t j, Add&& add) const {
    const std::size_t bits = bits_, z_mask = (std::size_t{1} << bits) - 1;
    columns_->for_each_nonzero(i, [&](std::size_t u, Complex cu) {
        const std::size_t x_u = u >> bits, z_u = u & z_mask;
        columns_->for_each_nonzero(j, [&](std::size_t v, Complex cv) {
            const std::size_t x_v = v >> bits, z_v = v & z_mask;
            const bool flipped = std::popcount(z_u & x_v) % 2 != 0;
            const bool commute = flipped == (std::popcount(z_v & x_u) % 2 != 0);
            const Complex t = cu * cv;
            const Complex twice{t.re + t.re, t.im + t.im};
            add(u ^ v, flipped ? -twice : twice, commute);
        });
    });
}

void PauliWords::accumulate_pair(std::size_t i, std::size_t j, bool commutator, SparseAccumulator& target) const {
    for_each_term(i, j, [&](std::size_t p, Complex term, bool commute) {
        if (commute != commutator) target.add(p, term);
    });
}

void PauliWords::accumulate_both(std::size_t i, std::size_t j, SparseAccumulator& commutator,
                                 SparseAccumulator& anticommutator) const {
    for_each_term(
        i, j, [&](std::size_t p, Complex term, bool commute) { (commute ? anticommutator : commutator).add(p, term); });
}

}  // namespace zenqa
