#include "lie_algebra/decomposition.hpp"

#include <algorithm>
#include <cmath>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "lie_algebra/basis_columns.hpp"
#include "lie_algebra/basis_range.hpp"
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

// Expands the commutator (pairs i < j) or the anticommutator (pairs i <= j)
// of basis matrices in the basis, in increasing (i, j), and hands the
// non-negligible coefficients to `record`. The pair (j, i) needs no expansion
// of its own: its commutator is exactly the negated one, its anticommutator
// the same one, and so are their least-squares coefficients.
// The basis went in multiplied by 2^-exponent: a product of two of its
// matrices is 2^-2 exponent times the true one, and its coefficients in the
// scaled basis are 2^-exponent times the true ones.
template <class PairProducts, class Record>
void expand_rows(PairProducts& products, BlockProjector& projector, std::size_t n, std::size_t d, int exponent,
                 Product product, InterruptCheck check_interrupt, Record& record) {
    // Targets are expanded in batches of whole rows of about this many staged
    // entries (256 KiB): enough for the projector's products to run at full
    // speed, few enough to stay in cache.
    constexpr std::size_t batch_entries = 1 << 14;
    SparseAccumulator target(d * d);
    const double df = static_cast<double>(d);
    const Complex identity_over_d{std::ldexp(df / (df * df), -2 * exponent), 0.0};
    // When the scaled I/d is beyond the doubles (a basis of tiny matrices), the
    // product, smaller than its rounding, drops out and I/d itself is expanded.
    const bool identity_unscaled = std::isinf(identity_over_d.re);
    std::vector<std::pair<std::size_t, std::size_t>> queued;
    std::vector<std::size_t> partners;
    const auto expand_queued = [&] {
        projector.expand_queue();
        for (std::size_t t = 0; t < queued.size(); ++t)
            record(queued[t].first, queued[t].second, projector.coefficients(t));
        projector.clear_queue();
        queued.clear();
    };
    for (std::size_t i = 0; i < n; ++i) {
        check_interrupt();
        partners.clear();
        if (product == Product::Anticommutator) partners.push_back(i);
        products.append_partners(i, partners);
        for (const std::size_t j : partners) {
            target.clear();
            products.accumulate_pair(i, j, product == Product::Commutator, target);
            int target_exponent = exponent;
            if (i == j && identity_unscaled) {
                target.clear();
                for (std::size_t r = 0; r < d; ++r) target.subtract(r * d + r, {df / (df * df), 0.0});
                target_exponent = -exponent;
            } else if (i == j) {
                for (std::size_t r = 0; r < d; ++r) target.subtract(r * d + r, identity_over_d);
            }
            projector.queue(target, target_exponent);
            queued.emplace_back(i, j);
        }
        if (projector.staged() >= batch_entries) expand_queued();
    }
    expand_queued();
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

    BlockProjector projector(columns);
    if (DenseBasis::suits(columns)) {
        DenseBasis dense(columns, d);
        expand_rows(dense, projector, n, d, exponent, product, check_interrupt, record);
    } else {
        SparseBasis sparse(columns, d);
        expand_rows(sparse, projector, n, d, exponent, product, check_interrupt, record);
    }
}

}  // namespace

StructureConstantMap structure_constants(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt) {
    if (basis.empty()) raise_fault(published::empty_basis);
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
    if (basis.empty()) raise_fault(published::empty_basis);
    std::vector<std::vector<DCoefficientMap::Entry>> rows(basis.size());
    expand_pair_products(basis, Product::Anticommutator, check_interrupt,
                         [&](std::size_t i, std::size_t j, const std::vector<Coefficient>& coefficients) {
                             for (const Coefficient& x : coefficients) {
                                 // x / (2 + 0i) as the complex quotient by the scalar (2.0, 0.0)
                                 const Complex half{(x.value.re * 2.0 + x.value.im * 0.0) * 0.25,
                                                    (x.value.im * 2.0 - x.value.re * 0.0) * 0.25};
                                 rows[i].push_back({{i, j, x.k}, half});
                                 if (j != i) rows[j].push_back({{j, i, x.k}, half});
                             }
                         });
    return DCoefficientMap(join_rows(rows));
}

}  // namespace zenqa
