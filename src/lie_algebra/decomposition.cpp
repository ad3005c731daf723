#include "lie_algebra/decomposition.hpp"

#include <algorithm>
#include <string>

#include "base/fault.hpp"
#include "lie_algebra/basis_columns.hpp"
#include "lie_algebra/block_projector.hpp"
#include "lie_algebra/dense_basis.hpp"
#include "lie_algebra/sparse_basis.hpp"

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
            if (a.rows() * b.cols() != d * d)
                unwrap_err("Shape(" + shape_error_text(ShapeErrorKind::IncompatibleShape) + ")");
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
// batches of whole rows i, large enough for the matrix products of the
// projector to run at full speed and small enough to stay in cache. The
// batches depend only on the targets queued, so every pass that queues the
// same targets gets the same coefficients, bit for bit.
template <class Record>
class ProductQueue {
public:
    ProductQueue(BlockProjector projector, Record& record) : projector_(std::move(projector)), record_(record) {}

    void queue(std::size_t i, std::size_t j, const SparseAccumulator& target) {
        projector_.queue(target);
        queued_.emplace_back(i, j);
    }
    // Called after each row i.
    void end_row() {
        if (projector_.staged() >= batch_entries) expand();
    }
    void expand() {
        projector_.expand_queue();
        for (std::size_t t = 0; t < queued_.size(); ++t)
            record_(queued_[t].first, queued_[t].second, projector_.coefficients(t));
        projector_.clear_queue();
        queued_.clear();
    }

private:
    static constexpr std::size_t batch_entries = 1 << 14;
    BlockProjector projector_;
    Record& record_;
    std::vector<std::pair<std::size_t, std::size_t>> queued_;
};

void subtract_identity_over_d(SparseAccumulator& target, std::size_t d) {
    const double df = static_cast<double>(d);
    const Complex identity_over_d{df / (df * df), 0.0};
    for (std::size_t r = 0; r < d; ++r) target.subtract(r * d + r, identity_over_d);
}

// Expands the commutator (pairs i < j) or the anticommutator (pairs i <= j)
// of basis matrices in the basis, in increasing (i, j), and hands the
// non-negligible coefficients to `record`. The pair (j, i) needs no expansion
// of its own: its commutator is exactly the negated one, its anticommutator
// the same one, and so are their least-squares coefficients.
template <class PairProducts, class Record>
void expand_rows(PairProducts& products, BlockProjector projector, std::size_t n, std::size_t d, Product product,
                 InterruptCheck check_interrupt, Record& record) {
    SparseAccumulator target(d * d);
    ProductQueue<Record> queue(std::move(projector), record);
    std::vector<std::size_t> partners;
    for (std::size_t i = 0; i < n; ++i) {
        check_interrupt();
        partners.clear();
        if (product == Product::Anticommutator) partners.push_back(i);
        products.append_partners(i, partners);
        for (const std::size_t j : partners) {
            target.clear();
            products.accumulate_pair(i, j, product == Product::Commutator, target);
            if (i == j) subtract_identity_over_d(target, d);
            queue.queue(i, j, target);
        }
        queue.end_row();
    }
    queue.expand();
}

// Both products in one pass over the pairs, each pair product formed once.
// The commutator and the anticommutator of i < j are queued exactly as
// expand_rows queues them, as is {B_i, B_i} - 2I/d; the plain {B_i, B_i}
// goes to a queue of its own.
template <class PairProducts>
void expand_both_rows(PairProducts& products, const BlockProjector& projector, std::size_t n, std::size_t d,
                      InterruptCheck check_interrupt, PairRecords& records) {
    const auto commutator = [&](std::size_t i, std::size_t j, const std::vector<Coefficient>& x) {
        records.commutator(i, j, x);
    };
    const auto anticommutator = [&](std::size_t i, std::size_t j, const std::vector<Coefficient>& x) {
        if (i != j) records.anticommutator(i, j, x);
    };
    const auto square = [&](std::size_t i, std::size_t, const std::vector<Coefficient>& x) {
        records.anticommutator(i, i, x);
    };
    ProductQueue commutators(projector, commutator);
    ProductQueue anticommutators(projector, anticommutator);
    ProductQueue squares(projector, square);
    SparseAccumulator commutator_target(d * d), anticommutator_target(d * d);
    std::vector<std::size_t> partners;
    for (std::size_t i = 0; i < n; ++i) {
        check_interrupt();
        anticommutator_target.clear();
        products.accumulate_pair(i, i, false, anticommutator_target);
        squares.queue(i, i, anticommutator_target);
        subtract_identity_over_d(anticommutator_target, d);
        anticommutators.queue(i, i, anticommutator_target);
        partners.clear();
        products.append_partners(i, partners);
        for (const std::size_t j : partners) {
            commutator_target.clear();
            anticommutator_target.clear();
            products.accumulate_both(i, j, commutator_target, anticommutator_target);
            commutators.queue(i, j, commutator_target);
            anticommutators.queue(i, j, anticommutator_target);
        }
        commutators.end_row();
        anticommutators.end_row();
        squares.end_row();
    }
    commutators.expand();
    anticommutators.expand();
    squares.expand();
}

template <class Record>
void expand_pair_products(const std::vector<ComplexMatrix>& basis, Product product, InterruptCheck check_interrupt,
                          Record&& record) {
    const ComplexMatrix columns = build_basis_columns(basis);
    check_pair_shapes(basis, product);
    const std::size_t n = basis.size(), d = basis.front().rows();
    if (product == Product::Commutator && n < 2) return;

    BlockProjector projector(columns);
    if (DenseBasis::suits(columns)) {
        DenseBasis dense(columns, d);
        expand_rows(dense, std::move(projector), n, d, product, check_interrupt, record);
    } else {
        SparseBasis sparse(columns, d);
        expand_rows(sparse, std::move(projector), n, d, product, check_interrupt, record);
    }
}

}  // namespace

void expand_all_products(const SparseColumns& columns, std::size_t d, const BlockProjector& projector,
                         InterruptCheck check_interrupt, PairRecords& records) {
    const std::size_t n = columns.cols();
    if (DenseBasis::suits(columns.nonzeros(), columns.rows() * n)) {
        DenseBasis dense(columns.dense(), d);
        expand_both_rows(dense, projector, n, d, check_interrupt, records);
    } else {
        SparseBasis sparse(columns, d);
        expand_both_rows(sparse, projector, n, d, check_interrupt, records);
    }
}

StructureConstantMap structure_constants(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt) {
    if (basis.empty()) raise_fault("index out of bounds: the len is 0 but the index is 0");
    std::vector<std::vector<StructureConstantMap::Entry>> rows(basis.size());
    expand_pair_products(basis, Product::Commutator, check_interrupt,
                         [&](std::size_t i, std::size_t j, const std::vector<Coefficient>& coefficients) {
                             if (coefficients.empty()) return;
                             const Coefficient& x = coefficients.front();
                             rows[i].push_back({{i, j}, {x.k, x.value}});
                             rows[j].push_back({{j, i}, {x.k, -x.value}});
                         });
    return StructureConstantMap(join_rows(rows));
}

DCoefficientMap d_coefficients(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt) {
    if (basis.empty()) raise_fault("index out of bounds: the len is 0 but the index is 0");
    std::vector<std::vector<DCoefficientMap::Entry>> rows(basis.size());
    expand_pair_products(basis, Product::Anticommutator, check_interrupt,
                         [&](std::size_t i, std::size_t j, const std::vector<Coefficient>& coefficients) {
                             for (const Coefficient& x : coefficients) {
                                 const Complex half = half_of(x.value);
                                 rows[i].push_back({{i, j, x.k}, half});
                                 if (j != i) rows[j].push_back({{j, i, x.k}, half});
                             }
                         });
    return DCoefficientMap(join_rows(rows));
}

}  // namespace zenqa
