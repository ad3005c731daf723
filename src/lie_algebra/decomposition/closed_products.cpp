#include "lie_algebra/decomposition/closed_products.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "lie_algebra/decomposition/value_pattern.hpp"

namespace zenqa {

namespace {

// Entries count as equal, and characters as orthogonal, within this much of
// their size: far looser than rounding leaves the standard bases, far tighter
// than a coefficient that is not negligible.
constexpr double tolerance = 1e-12;
constexpr double squared_tolerance = tolerance * tolerance;

Complex inverse(Complex z) {
    const double squared = squared_modulus(z);
    return {z.re / squared, -z.im / squared};
}

// |a - b|^2 / |b|^2.
double squared_gap(Complex a, Complex b) { return squared_modulus(a - b) / squared_modulus(b); }

// The distinct characters, each a vector of d entries with 1 first.
class CharacterSet {
public:
    explicit CharacterSet(std::size_t d) : d_(d), pattern_(d) {}

    std::size_t size() const { return values_.size() / d_; }
    const Complex* at(std::size_t x) const { return values_.data() + x * d_; }

    // The character equal to u within the tolerance, adding u when there is
    // none and `add`; -1 when none is found or u has no key. Raises
    // squared_deviation to the gap found.
    std::ptrdiff_t find(const Complex* u, bool add, double& squared_deviation) {
        const std::optional<std::uint64_t> key = pattern_.key(u);
        if (!key) return -1;
        const auto [first, last] = by_key_.equal_range(*key);
        for (auto candidate = first; candidate != last; ++candidate) {
            const Complex* v = at(candidate->second);
            double gap = 0.0;
            for (std::size_t c = 0; c < d_ && gap <= squared_tolerance; ++c)
                gap = std::max(gap, squared_gap(u[c], v[c]));
            if (gap > squared_tolerance) continue;
            squared_deviation = std::max(squared_deviation, gap);
            return static_cast<std::ptrdiff_t>(candidate->second);
        }
        if (!add) return -1;
        by_key_.emplace(*key, static_cast<std::uint32_t>(size()));
        values_.insert(values_.end(), u, u + d_);
        return static_cast<std::ptrdiff_t>(size() - 1);
    }

private:
    std::size_t d_;
    ValuePattern pattern_;
    std::vector<Complex> values_;
    std::unordered_multimap<std::uint64_t, std::uint32_t> by_key_;
};

// Each matrix's mask z, where B_k(c ^ x, c) = B_k(x, 0) (-1)^popcount(z & c)
// exactly, in a basis of xor_patterns: Pauli strings up to factors. These
// characters are Walsh functions, which multiply by XOR-ing their masks and
// are orthogonal exactly, so a product whose mask the basis lacks is
// orthogonal to it: a subset of the Pauli strings (a DLA) is closed up to
// products it does not hold.
std::optional<std::vector<std::uint32_t>> walsh_masks(const MonomialBasis& basis, PacedInterruptCheck& paced) {
    if (!basis.xor_patterns()) return std::nullopt;
    const std::size_t n = basis.size(), d = basis.dim();
    std::vector<std::uint32_t> masks(n);
    for (std::size_t k = 0; k < n; ++k) {
        paced.step(d);
        const std::uint32_t* rows = basis.rows(k);
        const Complex* values = basis.values(k);
        const Complex first = values[rows[0]];
        std::uint32_t z = 0;
        for (std::size_t bit = 1; bit < d; bit <<= 1)
            if (values[rows[bit]] == -first) z |= static_cast<std::uint32_t>(bit);
        for (std::size_t c = 0; c < d; ++c)
            if (!(values[rows[c]] == (std::popcount(z & c) % 2 == 0 ? first : -first))) return std::nullopt;
        masks[k] = z;
    }
    return masks;
}

}  // namespace

bool ClosedProducts::take_walsh_characters(std::vector<std::uint32_t> masks) {
    const std::size_t n = size_;
    std::vector<std::uint32_t> mask_of_character;
    std::unordered_map<std::uint32_t, std::uint32_t> character_of_mask;
    for (std::size_t k = 0; k < n; ++k) {
        // Only the identity's multiples have a trace.
        if (masks[k] == 0 && basis_.rows(k)[0] == 0) return false;
        const auto [found, added] =
            character_of_mask.try_emplace(masks[k], static_cast<std::uint32_t>(mask_of_character.size()));
        if (added) mask_of_character.push_back(masks[k]);
        character_of_[k] = found->second;
    }
    const std::size_t count = mask_of_character.size();
    characters_ = count;
    character_product_.resize(count * count);
    for (std::size_t x = 0; x < count; ++x)
        for (std::size_t y = 0; y < count; ++y) {
            const auto found = character_of_mask.find(mask_of_character[x] ^ mask_of_character[y]);
            character_product_[x * count + y] = found == character_of_mask.end() ? no_character : found->second;
        }
    exact_ = true;
    walsh_masks_ = std::move(masks);
    return true;
}

bool ClosedProducts::take_characters(PacedInterruptCheck& paced) {
    const std::size_t n = size_, d = basis_.dim();
    squared_norm_.resize(n);  // for the least-squares factors
    // The tables stay about the size of the basis, as for Weyl-Heisenberg
    // bases, where there are d patterns and d characters and n = d*d - 1.
    const std::size_t most_characters = std::min(2 * (n + 1) / basis_.groups().size(),
                                                 static_cast<std::size_t>(std::sqrt(2.0 * static_cast<double>(n + 1))));

    // Each matrix's character, and the range of its values, which bounds the factors.
    CharacterSet characters(d);
    std::vector<Complex> u(d);
    double squared_deviation = 0.0, largest = 0.0, smallest = INFINITY;
    for (std::size_t k = 0; k < n; ++k) {
        paced.step(d);
        const std::uint32_t* rows = basis_.rows(k);
        const Complex* values = basis_.values(k);
        const Complex inverse_first = inverse_first_[k];
        double squared_norm = 0.0;
        Complex trace{};
        for (std::size_t c = 0; c < d; ++c) {
            const Complex s = values[rows[c]];
            u[c] = s * inverse_first;
            squared_norm += squared_modulus(s);
            largest = std::max(largest, squared_modulus(s));
            smallest = std::min(smallest, squared_modulus(s));
            if (rows[c] == c) trace = trace + s;
        }
        // <I, B_k> against |I| |B_k|.
        if (!(squared_modulus(trace) <= squared_tolerance * static_cast<double>(d) * squared_norm)) return false;
        const std::ptrdiff_t x = characters.find(u.data(), true, squared_deviation);
        if (x < 0 || characters.size() > most_characters) return false;
        character_of_[k] = static_cast<std::uint32_t>(x);
        squared_norm_[k] = squared_norm;
    }
    const std::size_t count = characters.size();
    characters_ = count;

    // Characters multiply within the set and are orthogonal to each other.
    character_product_.resize(count * count);
    double squared_overlap = 0.0;
    for (std::size_t x = 0; x < count; ++x) {
        const Complex* ux = characters.at(x);
        for (std::size_t y = 0; y < count; ++y) {
            paced.step(d);
            const Complex* uy = characters.at(y);
            for (std::size_t c = 0; c < d; ++c) u[c] = ux[c] * uy[c];
            const std::ptrdiff_t z = characters.find(u.data(), false, squared_deviation);
            if (z < 0) return false;
            character_product_[x * count + y] = static_cast<std::uint32_t>(z);
            if (y <= x) continue;
            Complex overlap{};
            double squared_x = 0.0, squared_y = 0.0;
            for (std::size_t c = 0; c < d; ++c) {
                overlap = overlap + conj(ux[c]) * uy[c];
                squared_x += squared_modulus(ux[c]);
                squared_y += squared_modulus(uy[c]);
            }
            const double relative = squared_modulus(overlap) / (squared_x * squared_y);
            if (!(relative <= squared_tolerance)) return false;
            squared_overlap = std::max(squared_overlap, relative);
        }
    }
    // A pattern's permutation only scales each character.
    for (const std::vector<std::size_t>& group : basis_.groups()) {
        const std::uint32_t* rows = basis_.rows(group.front());
        for (std::size_t x = 0; x < count; ++x) {
            paced.step(d);
            const Complex* ux = characters.at(x);
            const Complex scale = ux[rows[0]];
            for (std::size_t c = 0; c < d; ++c) {
                const double gap = squared_gap(ux[rows[c]], scale * ux[c]);
                if (!(gap <= squared_tolerance)) return false;
                squared_deviation = std::max(squared_deviation, gap);
            }
        }
    }
    exact_ = squared_deviation == 0.0;
    // A product's factor is at most max |s|^2 / min |s|; what lies beside its
    // multiple, entry by entry within the deviation of it, and the overlap of
    // characters give B_k' at most deviation |factor| |B_k| / |B_k'| each.
    const double deviation = std::sqrt(std::max(squared_deviation, squared_overlap));
    others_bound_ = 2 * deviation * (largest / std::sqrt(smallest)) * std::sqrt(largest / smallest);
    return true;
}

std::optional<ClosedProducts> ClosedProducts::of(const MonomialBasis& basis, InterruptCheck check_interrupt) {
    const std::size_t n = basis.size(), d = basis.dim();
    const std::size_t patterns = basis.groups().size();
    // Patterns compose to a pattern of the basis, or to one that shares no
    // position with any.
    for (std::size_t g = 0; g < patterns; ++g)
        for (std::size_t h = 0; h < patterns; ++h)
            if (basis.product_group(g, h) == MonomialBasis::partly_in_groups) return std::nullopt;
    ClosedProducts closed(basis);
    closed.size_ = n;
    closed.character_of_.resize(n);
    closed.inverse_first_.resize(n);
    for (std::size_t k = 0; k < n; ++k) closed.inverse_first_[k] = inverse(basis.values(k)[basis.rows(k)[0]]);
    PacedInterruptCheck paced(check_interrupt, std::size_t{1} << 22);
    std::optional<std::vector<std::uint32_t>> masks = walsh_masks(basis, paced);
    if (masks ? !closed.take_walsh_characters(std::move(*masks)) : !closed.take_characters(paced)) return std::nullopt;

    closed.matrix_of_.assign(patterns * closed.characters_, -1);
    for (std::size_t k = 0; k < n; ++k) {
        std::int64_t& slot = closed.matrix_of_[basis.group_of(k) * closed.characters_ + closed.character_of_[k]];
        if (slot >= 0) return std::nullopt;
        slot = static_cast<std::int64_t>(k);
    }
    // The exact mode reads, for one i and j after j, B_j's value in column 0
    // and in the column of B_i's first row: by column, those come in order.
    if (closed.exact_) {
        const std::size_t columns = closed.walsh_masks_.empty() ? d : 1;
        closed.column_values_.resize(n * columns);
        closed.first_row_.resize(n);
        for (std::size_t k = 0; k < n; ++k) {
            for (std::size_t c = 0; c < columns; ++c)
                closed.column_values_[c * n + k] = basis.values(k)[basis.rows(k)[c]];
            closed.first_row_[k] = basis.rows(k)[0];
        }
    } else {
        closed.column_re_.resize(n * d);
        closed.column_im_.resize(n * d);
        for (std::size_t k = 0; k < n; ++k)
            for (std::size_t c = 0; c < d; ++c) {
                const Complex value = basis.values(k)[basis.rows(k)[c]];
                closed.column_re_[k * d + c] = value.re;
                closed.column_im_[k * d + c] = value.im;
            }
        closed.take_shared_factors(paced);
    }
    return closed;
}

void ClosedProducts::take_shared_factors(PacedInterruptCheck& paced) {
    const std::size_t n = size_, d = basis_.dim(), count = characters_;
    // Worth its sums where the pairs are many more.
    if (count * 4 > n) return;
    std::vector<std::size_t> first_of(count, n);  // the first matrix of each character
    shares_values_.assign(n, 1);
    for (std::size_t k = 0; k < n; ++k) {
        std::size_t& first = first_of[character_of_[k]];
        if (first == n) {
            first = k;
            continue;
        }
        const auto same = [&](const std::vector<double>& parts) {
            return std::memcmp(&parts[k * d], &parts[first * d], d * sizeof(double)) == 0;
        };
        shares_values_[k] = same(column_re_) && same(column_im_);
    }
    shared_factors_.resize(count * n);
    for (std::size_t x = 0; x < count; ++x)
        for (std::size_t j = 0; j < n; ++j) {
            paced.step(d);
            const std::uint32_t z = character_product_[x * count + character_of_[j]];
            if (z != no_character) shared_factors_[x * n + j] = least_squares_factor(first_of[x], j, first_of[z]);
        }
}

// Compiled for each target, for wider lanes where there are: the lanes add
// the same terms in the same order, so every target gives the same bits.
[[gnu::target_clones("avx2", "default")]] Complex ClosedProducts::least_squares_factor(std::size_t i, std::size_t j,
                                                                                       std::size_t k) const {
    using Four = double __attribute__((vector_size(4 * sizeof(double))));
    const std::size_t d = basis_.dim();
    const std::uint32_t* rows_j = basis_.rows(j);
    const double *i_re = &column_re_[i * d], *i_im = &column_im_[i * d];
    const double *j_re = &column_re_[j * d], *j_im = &column_im_[j * d];
    const double *k_re = &column_re_[k * d], *k_im = &column_im_[k * d];
    // Loads through a reference: a vector passed by value would change the ABI between targets.
    const auto load = [](Four& v, const double* x) { std::memcpy(&v, x, sizeof v); };
    // <B_k, B_i B_j> / |B_k|^2: in column c the product holds B_i(r, q) B_j(q, c)
    // where B_k holds its entry. Each term is conj(B_k) (B_i B_j) by the
    // textbook formulas; lane l of `even` sums those of the columns c = l
    // mod 8, lane l of `odd` those of c = l + 4 mod 8: eight sums that do
    // not wait on each other, where one chain of additions bound the time.
    struct Sums {
        Four re{}, im{};
    } even, odd;
    const auto add_four = [&](std::size_t c, Sums& sums) __attribute__((always_inline)) {
        const std::uint32_t* q = rows_j + c;
        const Four a_re = {i_re[q[0]], i_re[q[1]], i_re[q[2]], i_re[q[3]]};
        const Four a_im = {i_im[q[0]], i_im[q[1]], i_im[q[2]], i_im[q[3]]};
        Four b_re, b_im, conj_re, conj_im;
        load(b_re, j_re + c);
        load(b_im, j_im + c);
        load(conj_re, k_re + c);
        load(conj_im, k_im + c);
        conj_im = -conj_im;
        const Four p_re = a_re * b_re - a_im * b_im, p_im = a_re * b_im + a_im * b_re;
        sums.re += conj_re * p_re - conj_im * p_im;
        sums.im += conj_re * p_im + conj_im * p_re;
    };
    std::size_t c = 0;
    for (; c + 8 <= d; c += 8) {
        add_four(c, even);
        add_four(c + 4, odd);
    }
    if (c + 4 <= d) {
        add_four(c, even);
        c += 4;
    }
    const Four re = even.re + odd.re, im = even.im + odd.im;
    Complex part0{re[0], im[0]};
    for (; c < d; ++c) {
        const Complex k_value{k_re[c], k_im[c]}, i_value{i_re[rows_j[c]], i_im[rows_j[c]]}, j_value{j_re[c], j_im[c]};
        part0 = part0 + conj(k_value) * (i_value * j_value);
    }
    const Complex sum = (part0 + Complex{re[1], im[1]}) + (Complex{re[2], im[2]} + Complex{re[3], im[3]});
    return {sum.re / squared_norm_[k], sum.im / squared_norm_[k]};
}

std::span<const Coefficient> pair_coefficients(const ClosedPair& pair, bool commutator, int exponent,
                                               std::array<Coefficient, 2>& out) {
    std::array<Coefficient, 2> terms;
    std::size_t count = 0;
    if (pair.forward_k != ClosedProducts::none) terms[count++] = {pair.forward_k, pair.forward};
    if (pair.backward_k != ClosedProducts::none) {
        const Complex factor = pair.backward;
        if (count == 1 && terms[0].k == pair.backward_k) {
            terms[0].value = commutator ? terms[0].value - factor : terms[0].value + factor;
        } else {
            terms[count++] = {pair.backward_k, commutator ? -factor : factor};
            if (count == 2 && terms[1].k < terms[0].k) std::swap(terms[0], terms[1]);
        }
    }
    std::size_t kept = 0;
    for (std::size_t t = 0; t < count; ++t) keep_coefficient(terms[t].k, terms[t].value, exponent, out, kept);
    return std::span<const Coefficient>(out.data(), kept);
}

}  // namespace zenqa
