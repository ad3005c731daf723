#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/complex.hpp"
#include "array/position_slots.hpp"

namespace zenqa {

// Values at the positions (r*d + c) of a d x d target, kept at their slots,
// remembering which slots were touched so that clearing and reading it cost
// only those. Values at positions outside the slots are dropped: no basis
// matrix has an entry there, so no projection reads them.
template <class Value>
class TouchedValues {
public:
    explicit TouchedValues(const PositionSlots& slots) : slots_(&slots), values_(slots.size()), marked_(slots.size()) {}

    const Value& value(std::size_t slot) const { return values_[slot]; }
    // The slots, in the order they were first touched.
    const std::vector<std::size_t>& touched() const { return touched_; }

    void clear() {
        for (const std::size_t s : touched_) {
            values_[s] = Value{};
            marked_[s] = 0;
        }
        touched_.clear();
    }

protected:
    // The value at position p; none outside the slots.
    Value* at(std::size_t p) {
        const std::uint32_t s = slots_->slot(p);
        if (s == PositionSlots::none) return nullptr;
        if (!marked_[s]) {
            marked_[s] = 1;
            touched_.push_back(s);
        }
        return &values_[s];
    }

private:
    const PositionSlots* slots_;
    std::vector<Value> values_;
    std::vector<unsigned char> marked_;
    std::vector<std::size_t> touched_;
};

// A d x d target matrix built up entry by entry.
class SparseAccumulator : public TouchedValues<Complex> {
public:
    using TouchedValues::TouchedValues;

    void add(std::size_t p, Complex v) {
        if (Complex* x = at(p)) *x = *x + v;
    }
    void subtract(std::size_t p, Complex v) {
        if (Complex* x = at(p)) *x = *x - v;
    }
};

// The commutator and the anticommutator of a pair built up together: every
// term of either product lands at the same position of both, so the
// positions are marked once.
struct ProductPair {
    Complex commutator, anticommutator;
};
class PairAccumulator : public TouchedValues<ProductPair> {
public:
    using TouchedValues::TouchedValues;

    // A term of B_i B_j: added to both.
    void add_forward(std::size_t p, Complex v) {
        if (ProductPair* x = at(p)) {
            x->commutator = x->commutator + v;
            x->anticommutator = x->anticommutator + v;
        }
    }
    // A term of B_j B_i: subtracted from the commutator, added to the anticommutator.
    void add_backward(std::size_t p, Complex v) {
        if (ProductPair* x = at(p)) {
            x->commutator = x->commutator - v;
            x->anticommutator = x->anticommutator + v;
        }
    }
};

}  // namespace zenqa
