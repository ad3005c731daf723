#include "lie_algebra/algebra/algebra.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>

#include "base/fault.hpp"
#include "lie_algebra/basis_forms/basis_range.hpp"
#include "lie_algebra/basis_forms/sparse_basis.hpp"
#include "lie_algebra/decomposition/closed_products.hpp"
#include "lie_algebra/decomposition/direct_products.hpp"
#include "lie_algebra/decomposition/row_groups.hpp"

namespace zenqa {

namespace {

// Appends the records to the stored halves of both tensors: the commutator
// as it comes, the anticommutator halved as d_coefficients halves it.
class TensorRecords final : public PairRecords {
public:
    TensorRecords(PairTensor& structure, PairTensor& d_coefficients)
        : structure_(structure), d_coefficients_(d_coefficients) {}
    // Inline where the type is known: the closed expansion calls these for every pair.
    [[gnu::always_inline]] void commutator(std::size_t i, std::size_t j,
                                           std::span<const Coefficient> coefficients) override {
        structure_.append(i, j, coefficients, std::identity{});
    }
    [[gnu::always_inline]] void anticommutator(std::size_t i, std::size_t j,
                                               std::span<const Coefficient> coefficients) override {
        d_coefficients_.append(i, j, coefficients, half_of);
    }

private:
    PairTensor &structure_, &d_coefficients_;
};

// The stored halves of both tensors in the rows of one group.
struct TensorRows {
    PairTensor structure, d_coefficients;
};

// They pass straight into the tensors: nothing is left to give back.
std::size_t held_bytes(const TensorRows&) { return 0; }

// Handing them on to the tensors left them empty.
void empty(TensorRows&) {}

// Both tensors, each group of rows writing its part of their stored halves,
// which join in order. for_each_pair(workspace, i, on_pair) calls
// on_pair(j, commutator, anticommutator) for the pairs of row i, j >= i in
// increasing order, with the coefficients that are not negligible.
template <class MakeWorkspace, class ForEachPair>
void expand_tensors(std::size_t n, bool threaded, InterruptCheck check_interrupt, MakeWorkspace&& make_workspace,
                    ForEachPair&& for_each_pair, PairTensor& structure, PairTensor& d_coefficients) {
    const auto expand_group = [&](std::size_t first, std::size_t last, const auto& check_row, TensorRows& rows,
                                  auto& workspace) {
        for (std::size_t i = first; i < last; ++i) {
            check_row();
            TensorRecords records(rows.structure, rows.d_coefficients);
            for_each_pair(workspace, i, [&](std::size_t j, auto commutator, auto anticommutator) {
                records.commutator(i, j, commutator);
                records.anticommutator(i, j, anticommutator);
            });
        }
    };
    expand_in_row_groups<TensorRows>(n, threaded, check_interrupt, make_workspace, expand_group, [&](TensorRows& rows) {
        structure.append_rows(rows.structure);
        d_coefficients.append_rows(rows.d_coefficients);
    });
}

}  // namespace

Algebra::Algebra(SparseColumns columns, std::size_t d, InterruptCheck check_interrupt)
    : n_(columns.cols()),
      d_(d),
      columns_(std::move(columns)),
      exponent_(range_exponent(columns_)),
      ranged_(exponent_ == 0 ? SparseColumns(columns_.rows()) : scaled_columns(columns_, exponent_)),
      monomial_(monomial_form(ranged_columns(), d, check_interrupt)) {
    if (n_ > UINT32_MAX) raise_fault("a basis of more than 2**32 - 1 matrices");
    d_coefficients_.symmetry = Symmetry::Symmetric;
    const std::optional<PauliWords> words = monomial_ ? std::nullopt : word_form(ranged_columns(), d, check_interrupt);
    const std::optional<ClosedProducts> closed =
        monomial_ ? closed_form(*monomial_, exponent_, check_interrupt) : std::nullopt;
    if (!words && !closed) {
        projector_.emplace(projector_of(ranged_columns(), monomial_ ? &*monomial_ : nullptr));
        projector_built_.store(true, std::memory_order_release);
    }
    if (closed) {
        expand_tensors(
            n_, n_ >= closed_threaded_rows, check_interrupt, [] { return NoWorkspace{}; },
            [&](NoWorkspace&, std::size_t i, auto&& on_pair) { for_each_closed_pair(*closed, i, exponent_, on_pair); },
            structure_, d_coefficients_);
    } else if (words) {
        TensorRecords records(structure_, d_coefficients_);
        expand_word_products(*words, d, exponent_, check_interrupt, records);
    } else if (const std::optional<InverseColumns> inverse =
                   monomial_ ? std::nullopt : direct_form(ranged_columns().nonzeros(), *projector_)) {
        const SparseBasis basis(ranged_columns(), d);
        expand_tensors(
            n_, n_ >= sparse_threaded_rows, check_interrupt, [&] { return DirectPairs(basis, *inverse); },
            [&](DirectPairs& pairs, std::size_t i, auto&& on_pair) { pairs.for_each_pair(i, exponent_, on_pair); },
            structure_, d_coefficients_);
    } else {
        TensorRecords records(structure_, d_coefficients_);
        expand_all_products(ranged_columns(), d, exponent_, *projector_, monomial_ ? &*monomial_ : nullptr,
                            check_interrupt, records);
    }
    // A monomial form is kept only for a projector still to be built.
    if (projector_) monomial_.reset();
    structure_.finish(n_);
    d_coefficients_.finish(n_);
}

void Algebra::build_projector() const {
    const std::lock_guard lock(projector_mutex_);
    if (projector_) return;
    projector_.emplace(projector_of(ranged_columns(), monomial_ ? &*monomial_ : nullptr));
    projector_built_.store(true, std::memory_order_release);
    monomial_.reset();
}

void Algebra::write_basis(Complex* out) const {
    std::fill(out, out + n_ * d_ * d_, Complex{});
    for (std::size_t i = 0; i < n_; ++i)
        columns_.for_each_nonzero(i, [&](std::size_t p, Complex v) { out[i * d_ * d_ + p] = v; });
}

void Algebra::project(std::size_t count, const Complex* matrices, Complex* out, std::size_t first,
                      ComplexProducts products) const {
    projector().project(count, matrices, out, first, products);
    // The pseudo-inverse is that of the basis times 2^-exponent_.
    for (std::size_t p = 0; p < count * n_; ++p) out[p] = times_power_of_two(out[p], -exponent_);
}

void Algebra::project(const SparseColumns& matrices, Complex* out) const {
    projector().project(matrices, out);
    for (std::size_t p = 0; p < matrices.cols() * n_; ++p) out[p] = times_power_of_two(out[p], -exponent_);
}

void Algebra::project_conjugate_rows(std::size_t count, const Complex* rows, std::size_t rows_stride, Complex* out,
                                     std::size_t stride, std::size_t first, ComplexProducts products) const {
    projector().project_conjugate_rows(count, rows, rows_stride, out, stride, first, products);
    for (std::size_t t = 0; t < count; ++t)
        for (std::size_t k = first; k < n_; ++k)
            out[t * stride + k] = times_power_of_two(out[t * stride + k], -exponent_);
}

}  // namespace zenqa
