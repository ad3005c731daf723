#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/algebra/basis_facts.hpp"
#include "lie_algebra/algebra/pair_tensor.hpp"
#include "lie_algebra/basis_forms/basis_range.hpp"
#include "lie_algebra/basis_forms/monomial_basis.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"
#include "lie_algebra/decomposition/block_projector.hpp"
#include "lie_algebra/decomposition/decomposition.hpp"

namespace zenqa {

// A basis of n matrices d x d with every product of two of its elements
// decomposed once, by the rules of structure_constants and d_coefficients
// but keeping every non-negligible coefficient. Immutable once built.
class Algebra {
public:
    // The basis as the nonzero entries of its d*d x n columns: column k
    // holds matrix k in row-major order. n >= 1, d >= 1, every value finite.
    Algebra(SparseColumns columns, std::size_t d, InterruptCheck check_interrupt);

    std::size_t size() const { return n_; }
    std::size_t dim() const { return d_; }
    // Writes the n matrices, row-major, one after another.
    void write_basis(Complex* out) const;
    // T[i, j, k]: the coefficient of B_k in [B_i, B_j].
    const PairTensor& structure_constants() const { return structure_; }
    // T[i, j, k]: half the coefficient of B_k in {B_i, B_j}.
    const PairTensor& d_coefficients() const { return d_coefficients_; }
    // The minimum-norm least-squares coefficients of `count` matrices (d*d
    // entries each, row-major, one after another), n per matrix into `out`;
    // those of the basis matrices before `first` are left zero.
    void project(std::size_t count, const Complex* matrices, Complex* out, std::size_t first = 0,
                 ComplexProducts products = ComplexProducts::four_real) const;
    // The same for matrices given as the nonzero entries of their columns.
    void project(const SparseColumns& matrices, Complex* out) const;
    // The coefficients k >= first of `count` matrices given as conjugated
    // rows, matrix t's entry p at conj(rows[t + p * rows_stride]), into
    // out[t * stride + k]; the others are left as they are.
    void project_conjugate_rows(std::size_t count, const Complex* rows, std::size_t rows_stride, Complex* out,
                                std::size_t stride, std::size_t first, ComplexProducts products) const;
    // f(k, value) for the nonzero coefficients of the unit matrix E_p (p = r*d
    // + c): column p of the pseudo-inverse, without projecting E_p in full.
    template <class F>
    void for_each_unit_coefficient(std::size_t p, F&& f) const {
        projector().for_each_in_inverse_column(
            p, [&](std::size_t k, Complex v) { f(k, times_power_of_two(v, -exponent_)); });
    }
    // The dimension of the span of the basis.
    std::size_t rank() const { return projector().rank(); }
    // Whether a projection is one matrix product with the whole
    // pseudo-inverse, as for a dense basis.
    bool projects_densely() const { return projector().is_one_block(); }
    // Found on first use, by whichever thread comes first.
    const BasisFacts& facts() const {
        std::call_once(facts_found_, [this] { facts_ = find_basis_facts(*this); });
        return facts_;
    }

    // Matrix i has the nonzero entries of column i, at positions r*d + c.
    const SparseColumns& basis_columns() const { return columns_; }

private:
    const SparseColumns& ranged_columns() const { return exponent_ == 0 ? columns_ : ranged_; }
    // The projector of the ranged columns. The products need it, unless the
    // Pauli words or the closed form of a monomial basis took them; then it
    // is built on first use, by whichever thread comes first, and a failure
    // leaves it to the next.
    const BlockProjector& projector() const {
        if (!projector_built_.load(std::memory_order_acquire)) build_projector();
        return *projector_;
    }
    void build_projector() const;

    std::size_t n_, d_;
    SparseColumns columns_;
    // The products are formed from the basis times 2^-exponent_, brought into
    // range (see bring_into_range); ranged_ holds it when exponent_ != 0.
    int exponent_;
    SparseColumns ranged_;
    // The ranged columns' monomial form, while the products are formed and
    // then until the projector is built from it.
    mutable std::optional<MonomialBasis> monomial_;
    mutable std::optional<BlockProjector> projector_;
    mutable std::atomic<bool> projector_built_{false};
    mutable std::mutex projector_mutex_;
    PairTensor structure_, d_coefficients_;
    mutable std::once_flag facts_found_;
    mutable BasisFacts facts_;
};

}  // namespace zenqa
