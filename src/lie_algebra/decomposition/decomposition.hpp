#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <vector>

#include "array/complex_matrix.hpp"
#include "array/index_map.hpp"
#include "base/interrupt_check.hpp"
#include "lie_algebra/basis_forms/pauli_words.hpp"
#include "lie_algebra/decomposition/block_projector.hpp"
#include "lie_algebra/decomposition/closed_products.hpp"
#include "lie_algebra/decomposition/inverse_columns.hpp"
#include "lie_algebra/decomposition/projection_queue.hpp"

namespace zenqa {

// For every ordered pair i != j, the lowest k at which the minimum-norm
// least-squares expansion of [B_i, B_j] in the basis has a coefficient that is
// not negligible, with that coefficient. Pairs whose expansion is negligible
// throughout have no entry.
StructureConstantMap structure_constants(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt);

// For every ordered pair (i, j), i == j included, every non-negligible
// coefficient x_k of the expansion of {B_i, B_j} (minus I/d when i == j),
// stored halved under (i, j, k).
DCoefficientMap d_coefficients(const std::vector<ComplexMatrix>& basis, InterruptCheck check_interrupt);

// x / (2 + 0i) as the complex quotient by the scalar (2.0, 0.0): how a
// d-coefficient is stored. Beyond half the largest double the doubling
// overflows where the quotient does not; there the part is halved directly,
// which is the value the quotient has.
inline Complex half_of(Complex x) {
    const auto quarter = [](double doubled, double part) {
        return std::isinf(doubled) && std::isfinite(part) ? part * 0.5 : doubled * 0.25;
    };
    return {quarter(x.re * 2.0 + x.im * 0.0, x.re), quarter(x.im * 2.0 - x.re * 0.0, x.im)};
}

// Receives the non-negligible coefficients of the pairs, in increasing (i, j)
// for each product.
class PairRecords {
public:
    // [B_i, B_j], i < j.
    virtual void commutator(std::size_t i, std::size_t j, std::span<const Coefficient> coefficients) = 0;
    // {B_i, B_j}, i <= j, in increasing (i, j); for i < j exactly what
    // d_coefficients expands.
    virtual void anticommutator(std::size_t i, std::size_t j, std::span<const Coefficient> coefficients) = 0;

protected:
    ~PairRecords() = default;
};

// Both products of every pair in one pass, with the pair products formed
// once, for a basis without a closed or direct form (closed_form,
// direct_form), given as its d*d x n columns and their projector; the
// columns are the basis times 2^-exponent (see bring_into_range) and the
// coefficients recorded are those of the basis itself. Anticommutators
// i == j are expanded as they are, without removing I/d.
// `monomial`, when given, is the columns' monomial form, which its projector
// was built from.
void expand_all_products(const SparseColumns& columns, std::size_t d, int exponent, const BlockProjector& projector,
                         const MonomialBasis* monomial, InterruptCheck check_interrupt, PairRecords& records);

// Both products of every pair, as expand_all_products gives them, for a
// basis in its Pauli words (word_form), through a projector of the words.
void expand_word_products(const PauliWords& words, std::size_t d, int exponent, InterruptCheck check_interrupt,
                          PairRecords& records);

// The Pauli words the products of a basis without a monomial form are
// formed in, when it has them and they cost less than its entries.
std::optional<PauliWords> word_form(const SparseColumns& columns, std::size_t d, InterruptCheck check_interrupt);

// The monomial form the products of a basis are formed in, when it has one
// and the dense products do not suit it better.
std::optional<MonomialBasis> monomial_form(const SparseColumns& columns, std::size_t d, InterruptCheck check_interrupt);

// The pseudo-inverse column by column, for a sparse basis of this many
// nonzero entries whose pair products are projected entry by entry through it
// (see InverseColumns); none for a basis that the dense products suit. The
// basis must not have a monomial form, which takes its own way.
std::optional<InverseColumns> direct_form(std::size_t nonzeros, const BlockProjector& projector);

// The closed form of a monomial basis, where it has one whose roundings leave
// every coefficient beside the multiples certainly negligible, for a basis
// brought into range by 2^-exponent.
std::optional<ClosedProducts> closed_form(const MonomialBasis& monomial, int exponent, InterruptCheck check_interrupt);

// The projector of the columns: from their monomial form when it is given,
// otherwise from tables of the d*d positions, refused (MemoryShortage)
// before anything is allocated when those tables and the pair products'
// targets of as many positions cannot fit.
BlockProjector projector_of(const SparseColumns& columns, const MonomialBasis* monomial);

}  // namespace zenqa
