#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// Values at the positions (r*d + c) of a d x d target, remembering which
// positions were touched so that clearing and reading it cost only those.
template <class Value>
class TouchedValues {
public:
    explicit TouchedValues(std::size_t positions) : values_(positions), marked_(positions) {}

    const Value& value(std::size_t p) const { return values_[p]; }
    // In the order they were first touched.
    const std::vector<std::size_t>& touched() const { return touched_; }

    void clear() {
        for (const std::size_t p : touched_) {
            values_[p] = Value{};
            marked_[p] = 0;
        }
        touched_.clear();
    }

protected:
    Value& at(std::size_t p) {
        if (!marked_[p]) {
            marked_[p] = 1;
            touched_.push_back(p);
        }
        return values_[p];
    }

private:
    std::vector<Value> values_;
    std::vector<unsigned char> marked_;
    std::vector<std::size_t> touched_;
};

// A d x d target matrix built up entry by entry.
class SparseAccumulator : public TouchedValues<Complex> {
public:
    using TouchedValues::TouchedValues;

    void add(std::size_t p, Complex v) {
        Complex& x = at(p);
        x = x + v;
    }
    void subtract(std::size_t p, Complex v) {
        Complex& x = at(p);
        x = x - v;
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
        ProductPair& x = at(p);
        x.commutator = x.commutator + v;
        x.anticommutator = x.anticommutator + v;
    }
    // A term of B_j B_i: subtracted from the commutator, added to the anticommutator.
    void add_backward(std::size_t p, Complex v) {
        ProductPair& x = at(p);
        x.commutator = x.commutator - v;
        x.anticommutator = x.anticommutator + v;
    }
};

}  // namespace zenqa
