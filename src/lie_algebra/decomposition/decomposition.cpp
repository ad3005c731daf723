#include "lie_algebra/decomposition/decomposition.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <type_traits>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "lie_algebra/basis_forms/basis_columns.hpp"
#include "lie_algebra/basis_forms/basis_range.hpp"
#include "lie_algebra/basis_forms/dense_basis.hpp"
#include "lie_algebra/basis_forms/monomial_basis.hpp"
#include "lie_algebra/basis_forms/pauli_words.hpp"
#include "lie_algebra/basis_forms/sparse_basis.hpp"
#include "lie_algebra/decomposition/block_projector.hpp"
#include "lie_algebra/decomposition/closed_products.hpp"
#include "lie_algebra/decomposition/direct_products.hpp"
#include "lie_algebra/decomposition/inverse_columns.hpp"
#include "lie_algebra/decomposition/negligible.hpp"
#include "lie_algebra/decomposition/projection_queue.hpp"
#include "lie_algebra/decomposition/row_groups.hpp"

namespace zenqa {

namespace {

enum class Product { Commutator, Anticommutator };

// The shape faults that forming the products pair by pair would meet, raised
// for the first failing pair. Once they pass, either no pair exists or every
// matrix is d x d.
void check_pair_shapes(const std::vector<ComplexMatrix>& basis, Product product) {
    const std::size_t d = basis.front().rows();
    const bool all_square =
        std::all_of(basis.begin(), basis.end(), [d](const ComplexMatrix& m) { return m.rows() == d && m.cols() == d; });
    if (all_square) return;
    for (std::size_t i = 0; i < basis.size(); ++i) {
        for (std::size_t j = 0; j < basis.size(); ++j) {
            if (i == j && product == Product::Commutator) continue;
            const ComplexMatrix &a = basis[i], &b = basis[j];
            check_product_shapes(a.rows(), a.cols(), b.rows(), b.cols());
            check_product_shapes(b.rows(), b.cols(), a.rows(), a.cols());
            check_broadcast(b.rows(), a.cols(), a.rows(), b.cols());
            if (i == j) check_broadcast(d, d, a.rows(), b.cols());
            if (a.rows() * b.cols() != d * d) raise_shape_fault(ShapeFault::Incompatible);
        }
    }
}

// Entries keyed by (i, ...), one row per i. Each row receives its keys in
// increasing order, so the rows joined are sorted.
template <class Entry>
std::vector<Entry> join_rows(std::vector<std::vector<Entry>>& rows) {
    std::size_t total = 0;
    for (const auto& row : rows) total += row.size();
    std::vector<Entry> entries;
    entries.reserve(total);
    for (auto& row : rows) {
        entries.insert(entries.end(), row.begin(), row.end());
        std::vector<Entry>().swap(row);
    }
    return entries;
}

// The targets of one product, queued in the projector and expanded in
// batches of whole rows i (or parts of a row, for rows of many large
// products), large enough for the matrix products of the
// projector to run at full speed and small enough to stay in cache. The
// batches depend only on the targets queued, so every pass that queues the
// same targets gets the same coefficients, bit for bit.
class ProductQueue {
public:
    explicit ProductQueue(const BlockProjector& projector) : queue_(projector) {}

    // The target's true coefficients are the computed ones times 2^exponent.
    template <class Target>
    void queue(std::size_t i, std::size_t j, const Target& target, int exponent, HeldRecords& records) {
        queue_.queue(target, exponent);
        queued_.emplace_back(i, j);
        // A row of many large products (a monomial basis of large d) is
        // expanded in parts, so that what it stages stays small.
        if (queue_.staged() >= row_part_entries) expand(records);
    }
    // Called after each row i.
    void end_row(HeldRecords& records) {
        if (queue_.staged() >= batch_entries) expand(records);
    }
    void expand(HeldRecords& records) {
        queue_.expand();
        for (std::size_t t = 0; t < queued_.size(); ++t)
            records(queued_[t].first, queued_[t].second, queue_.coefficients(t));
        queue_.clear();
        queued_.clear();
    }

private:
    // Batches of whole rows of about this many staged entries (256 KiB):
    // enough for the projector's products to run at full speed, few enough
    // to stay in cache.
    static constexpr std::size_t batch_entries = 1 << 14;
    static constexpr std::size_t row_part_entries = batch_entries << 2;
    ProjectionQueue queue_;
    std::vector<std::pair<std::size_t, std::size_t>> queued_;
};

// Projects each target as it comes and records its coefficients at once:
// ProductQueue's part for a basis whose InverseColumns exist.
class DirectQueue {
public:
    explicit DirectQueue(const InverseColumns& inverse) : projection_(inverse) {}

    void queue(std::size_t i, std::size_t j, const SparseAccumulator& target, int exponent, HeldRecords& records) {
        const auto value = [&](std::size_t p) { return std::array{target.value(p)}; };
        records(i, j, projection_.project<1>(target.touched(), value, exponent)[0]);
    }
    void end_row(HeldRecords&) {}
    void expand(HeldRecords&) {}

private:
    DirectProjection projection_;
};

// The queue a projection takes.
template <class Projection>
using QueueOf = std::conditional_t<std::is_same_v<Projection, InverseColumns>, DirectQueue, ProductQueue>;

// What a group of rows works with: its own copy of the pair products, the
// targets it builds and the queues they go to.
template <class PairProducts, class Projection>
struct GroupWorkspace {
    // Products of monomial matrices have targets of their own, in O(d) memory.
    using Target = std::conditional_t<std::is_same_v<PairProducts, MonomialBasis>, MonomialTarget, SparseAccumulator>;
    using Queue = QueueOf<Projection>;

    GroupWorkspace(const PairProducts& products, const Projection& projection, std::size_t d, std::size_t target_count,
                   std::size_t queue_count)
        : products(products),
          targets(target_count, make_target(projection, d)),
          queues(queue_count, Queue(projection)) {}

    static Target make_target(const Projection& projection, std::size_t d) {
        if constexpr (std::is_same_v<Target, MonomialTarget>) {
            return MonomialTarget(d);
        } else {
            return SparseAccumulator(*projection.slots());
        }
    }

    PairProducts products;
    std::vector<Target> targets;
    std::vector<Queue> queues;
    std::vector<std::size_t> partners;
};

// Subtracts I/d from a product of two matrices of a basis that went in
// multiplied by 2^-exponent, so I/d is scaled as the product is; returns the
// exponent of the target's coefficients. When the scaled I/d is beyond the
// doubles (a basis of tiny matrices), the product, smaller than its rounding,
// drops out and I/d itself is expanded. I is the diagonal of a product of
// entries, and the one word W(0, 0) of a product of Pauli words.
template <class PairProducts, class Target>
int subtract_identity_over_d(const PairProducts&, Target& target, std::size_t d, int exponent) {
    const auto subtract_identity_times = [&](Complex value) {
        if constexpr (std::is_same_v<PairProducts, PauliWords>) {
            target.subtract(PauliWords::identity, value);
        } else {
            for (std::size_t r = 0; r < d; ++r) target.subtract(r * d + r, value);
        }
    };
    const double df = static_cast<double>(d);
    const Complex identity_over_d{std::ldexp(df / (df * df), -2 * exponent), 0.0};
    if (std::isinf(identity_over_d.re)) {
        target.clear();
        subtract_identity_times({df / (df * df), 0.0});
        return -exponent;
    }
    subtract_identity_times(identity_over_d);
    return exponent;
}

// Bases of fewer matrices are expanded on the calling thread alone, as one
// group: they take a millisecond or two, which waking threads would not
// shorten, and setting up each group costs a little. A dense pair product
// costs far more than a sparse one, and a monomial one costs d, so those
// bases are split sooner.
template <class PairProducts>
constexpr std::size_t threaded_rows = std::is_same_v<PairProducts, SparseBasis> ? sparse_threaded_rows : 32;

// Expands the commutator (pairs i < j) or the anticommutator (pairs i <= j)
// of basis matrices in the basis, in increasing (i, j), and hands the
// non-negligible coefficients to `record`. The pair (j, i) needs no expansion
// of its own: its commutator is exactly the negated one, its anticommutator
// the same one, and so are their least-squares coefficients.
// The basis went in multiplied by 2^-exponent: a product of two of its
// matrices is 2^-2 exponent times the true one, and its coefficients in the
// scaled basis are 2^-exponent times the true ones.
template <class PairProducts, class Projection, class Record>
void expand_rows(const PairProducts& products, const Projection& projection, std::size_t n, std::size_t d, int exponent,
                 Product product, InterruptCheck check_interrupt, Record& record) {
    const auto expand_group = [&](std::size_t first, std::size_t last, const auto& check_row,
                                  std::array<HeldRecords, 1>& held,
                                  GroupWorkspace<PairProducts, Projection>& workspace) {
        auto& target = workspace.targets[0];
        auto& queue = workspace.queues[0];
        std::vector<std::size_t>& partners = workspace.partners;
        for (std::size_t i = first; i < last; ++i) {
            check_row();
            partners.clear();
            if (product == Product::Anticommutator) partners.push_back(i);
            workspace.products.append_partners(i, partners);
            for (const std::size_t j : partners) {
                target.clear();
                workspace.products.accumulate_pair(i, j, product == Product::Commutator, target);
                const int target_exponent =
                    i == j ? subtract_identity_over_d(workspace.products, target, d, exponent) : exponent;
                queue.queue(i, j, target, target_exponent, held[0]);
            }
            queue.end_row(held[0]);
        }
        queue.expand(held[0]);
    };
    expand_in_row_groups<std::array<HeldRecords, 1>>(
        n, n >= threaded_rows<PairProducts>, check_interrupt,
        [&] { return GroupWorkspace(products, projection, d, 1, 1); }, expand_group,
        [&](std::array<HeldRecords, 1>& held) { held[0].hand_on(record); });
}

// Both products in one pass over the pairs, each pair product formed once.
// The commutator and the anticommutator of i < j are queued exactly as
// expand_rows queues them, as is {B_i, B_i} - 2I/d; the plain {B_i, B_i}
// goes to a queue of its own.
template <class PairProducts>
void expand_both_rows(const PairProducts& products, const BlockProjector& projector, std::size_t n, std::size_t d,
                      int exponent, InterruptCheck check_interrupt, PairRecords& records) {
    enum Stream { Commutators, Anticommutators, Squares };
    const auto expand_group = [&](std::size_t first, std::size_t last, const auto& check_row,
                                  std::array<HeldRecords, 3>& held,
                                  GroupWorkspace<PairProducts, BlockProjector>& workspace) {
        // The plain squares {B_i, B_i} are built in the anticommutators' target.
        auto &commutator_target = workspace.targets[Commutators],
             &anticommutator_target = workspace.targets[Anticommutators];
        ProductQueue &commutators = workspace.queues[Commutators], &anticommutators = workspace.queues[Anticommutators],
                     &squares = workspace.queues[Squares];
        std::vector<std::size_t>& partners = workspace.partners;
        for (std::size_t i = first; i < last; ++i) {
            check_row();
            anticommutator_target.clear();
            workspace.products.accumulate_pair(i, i, false, anticommutator_target);
            squares.queue(i, i, anticommutator_target, exponent, held[Squares]);
            const int square_exponent =
                subtract_identity_over_d(workspace.products, anticommutator_target, d, exponent);
            anticommutators.queue(i, i, anticommutator_target, square_exponent, held[Anticommutators]);
            partners.clear();
            workspace.products.append_partners(i, partners);
            for (const std::size_t j : partners) {
                commutator_target.clear();
                anticommutator_target.clear();
                workspace.products.accumulate_both(i, j, commutator_target, anticommutator_target);
                commutators.queue(i, j, commutator_target, exponent, held[Commutators]);
                anticommutators.queue(i, j, anticommutator_target, exponent, held[Anticommutators]);
            }
            commutators.end_row(held[Commutators]);
            anticommutators.end_row(held[Anticommutators]);
            squares.end_row(held[Squares]);
        }
        commutators.expand(held[Commutators]);
        anticommutators.expand(held[Anticommutators]);
        squares.expand(held[Squares]);
    };
    const auto commutator = [&](std::size_t i, std::size_t j, std::span<const Coefficient> x) {
        records.commutator(i, j, x);
    };
    const auto anticommutator = [&](std::size_t i, std::size_t j, std::span<const Coefficient> x) {
        if (i != j) records.anticommutator(i, j, x);
    };
    const auto square = [&](std::size_t i, std::size_t, std::span<const Coefficient> x) {
        records.anticommutator(i, i, x);
    };
    expand_in_row_groups<std::array<HeldRecords, 3>>(
        n, n >= threaded_rows<PairProducts>, check_interrupt,
        [&] { return GroupWorkspace(products, projector, d, 2, 3); }, expand_group,
        [&](std::array<HeldRecords, 3>& held) {
            held[Commutators].hand_on(commutator);
            HeldRecords::hand_on_in_order(held[Squares], square, held[Anticommutators], anticommutator);
        });
}

// One product of every pair of a closed basis, by the multiples they are, in
// the order expand_rows hands them on. Pairs whose product has no coefficient
// go unrecorded.
template <class Record>
void expand_closed_rows(const ClosedProducts& products, std::size_t n, int exponent, Product product,
                        InterruptCheck check_interrupt, Record& record) {
    const auto expand_group = [&](std::size_t first, std::size_t last, const auto& check_row,
                                  std::array<HeldRecords, 1>& held, NoWorkspace&) {
        for (std::size_t i = first; i < last; ++i) {
            check_row();
            for_each_closed_pair(products, i, exponent, [&](std::size_t j, auto commutator, auto anticommutator) {
                const std::span<const Coefficient> x = product == Product::Commutator ? commutator : anticommutator;
                if (!x.empty()) held[0](i, j, x);
            });
        }
    };
    expand_in_row_groups<std::array<HeldRecords, 1>>(
        n, n >= closed_threaded_rows, check_interrupt, [] { return NoWorkspace{}; }, expand_group,
        [&](std::array<HeldRecords, 1>& held) { held[0].hand_on(record); });
}

template <class Record>
void expand_pair_products(const std::vector<ComplexMatrix>& basis, Product product, InterruptCheck check_interrupt,
                          Record&& record) {
    ComplexMatrix columns = build_basis_columns(basis);
    check_pair_shapes(basis, product);
    require_finite(basis);
    const std::size_t n = basis.size(), d = basis.front().rows();
    if (product == Product::Commutator && n < 2) return;
    const int exponent = bring_into_range(columns);

    if (DenseBasis::suits(columns)) {
        expand_rows(DenseBasis(columns, d), BlockProjector(columns), n, d, exponent, product, check_interrupt, record);
        return;
    }
    // A monomial basis goes the way Algebra takes it, so that the dicts hold
    // the tensors' bits.
    const bool square =
        std::all_of(basis.begin(), basis.end(), [d](const ComplexMatrix& m) { return m.rows() == d && m.cols() == d; });
    SparseColumns sparse(columns.rows());
    for (std::size_t k = 0; square && k < n; ++k) {
        for_each_nonzero(columns, k, [&](std::size_t p, Complex v) { sparse.append(p, v); });
        sparse.end_column();
    }
    if (const std::optional<MonomialBasis> monomial =
            square ? monomial_form(sparse, d, check_interrupt) : std::nullopt) {
        if (const std::optional<ClosedProducts> closed = closed_form(*monomial, exponent, check_interrupt)) {
            expand_closed_rows(*closed, n, exponent, product, check_interrupt, record);
            return;
        }
        expand_rows(*monomial, BlockProjector(sparse, *monomial), n, d, exponent, product, check_interrupt, record);
    } else if (const std::optional<PauliWords> words = square ? word_form(sparse, d, check_interrupt) : std::nullopt) {
        expand_rows(*words, BlockProjector(words->columns()), n, d, exponent, product, check_interrupt, record);
    } else {
        const SparseBasis sparse_basis(columns, d);
        const BlockProjector projector(columns);
        if (const std::optional<InverseColumns> inverse = direct_form(sparse_basis.nonzeros(), projector)) {
            expand_rows(sparse_basis, *inverse, n, d, exponent, product, check_interrupt, record);
        } else {
            expand_rows(sparse_basis, projector, n, d, exponent, product, check_interrupt, record);
        }
    }
}

}  // namespace

BlockProjector projector_of(const SparseColumns& columns, const MonomialBasis* monomial) {
    if (monomial != nullptr) return BlockProjector(columns, *monomial);
    return BlockProjector(columns);
}

std::optional<InverseColumns> direct_form(std::size_t nonzeros, const BlockProjector& projector) {
    if (DenseBasis::suits(nonzeros, projector.positions() * projector.matrices())) return std::nullopt;
    return InverseColumns::of(projector, nonzeros);
}

std::optional<ClosedProducts> closed_form(const MonomialBasis& monomial, int exponent, InterruptCheck check_interrupt) {
    std::optional<ClosedProducts> closed = ClosedProducts::of(monomial, check_interrupt);
    if (closed && !(times_power_of_two(closed->others_bound(), exponent) <= certainly_negligible)) return std::nullopt;
    return closed;
}

std::optional<PauliWords> word_form(const SparseColumns& columns, std::size_t d, InterruptCheck check_interrupt) {
    if (DenseBasis::suits(columns.nonzeros(), columns.rows() * columns.cols())) return std::nullopt;
    return PauliWords::of(columns, d, check_interrupt);
}

void expand_word_products(const PauliWords& words, std::size_t d, int exponent, InterruptCheck check_interrupt,
                          PairRecords& records) {
    expand_both_rows(words, BlockProjector(words.columns()), words.columns().cols(), d, exponent, check_interrupt,
                     records);
}

std::optional<MonomialBasis> monomial_form(const SparseColumns& columns, std::size_t d,
                                           InterruptCheck check_interrupt) {
    if (DenseBasis::suits(columns.nonzeros(), columns.rows() * columns.cols())) return std::nullopt;
    return MonomialBasis::of(columns, d, check_interrupt);
}

void expand_all_products(const SparseColumns& columns, std::size_t d, int exponent, const BlockProjector& projector,
                         const MonomialBasis* monomial, InterruptCheck check_interrupt, PairRecords& records) {
    const std::size_t n = columns.cols();
    if (DenseBasis::suits(columns.nonzeros(), columns.rows() * n)) {
        expand_both_rows(DenseBasis(columns.dense(), d), projector, n, d, exponent, check_interrupt, records);
    } else if (monomial == nullptr) {
        expand_both_rows(SparseBasis(columns, d), projector, n, d, exponent, check_interrupt, records);
    } else {
        expand_both_rows(*monomial, projector, n, d, exponent, check_interrupt, records);
    }
}

StructureConstantMap structure_constants(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt) {
    if (basis.empty()) raise_fault(published::empty_basis);
    std::vector<std::vector<StructureConstantMap::Entry>> rows(basis.size());
    expand_pair_products(basis, Product::Commutator, check_interrupt,
                         [&](std::size_t i, std::size_t j, std::span<const Coefficient> coefficients) {
                             if (coefficients.empty()) return;
                             const Coefficient& x = coefficients.front();
                             rows[i].push_back({{i, j}, {x.k, x.value}});
                             rows[j].push_back({{j, i}, {x.k, -x.value}});
                         });
    return StructureConstantMap(join_rows(rows));
}

DCoefficientMap d_coefficients(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt) {
    if (basis.empty()) raise_fault(published::empty_basis);
    std::vector<std::vector<DCoefficientMap::Entry>> rows(basis.size());
    expand_pair_products(basis, Product::Anticommutator, check_interrupt,
                         [&](std::size_t i, std::size_t j, std::span<const Coefficient> coefficients) {
                             for (const Coefficient& x : coefficients) {
                                 const Complex half = half_of(x.value);
                                 rows[i].push_back({{i, j, x.k}, half});
                                 if (j != i) rows[j].push_back({{j, i, x.k}, half});
                             }
                         });
    return DCoefficientMap(join_rows(rows));
}

}  // namespace zenqa
