#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"

namespace zenqa {

// A d x d target matrix built up entry by entry, remembering which positions
// (r*d + c) it touched so that clearing and reading it cost only those.
class SparseAccumulator {
public:
    explicit SparseAccumulator(std::size_t positions) : values_(positions), marked_(positions) {}

    void add(std::size_t p, Complex v) {
        touch(p);
        values_[p] = values_[p] + v;
    }
    void subtract(std::size_t p, Complex v) {
        touch(p);
        values_[p] = values_[p] - v;
    }
    Complex value(std::size_t p) const { return values_[p]; }
    const std::vector<std::size_t>& touched() const { return touched_; }

    void clear() {
        for (const std::size_t p : touched_) {
            values_[p] = Complex{};
            marked_[p] = 0;
        }
        touched_.clear();
    }

private:
    void touch(std::size_t p) {
        if (!marked_[p]) {
            marked_[p] = 1;
            touched_.push_back(p);
        }
    }

    std::vector<Complex> values_;
    std::vector<unsigned char> marked_;
    std::vector<std::size_t> touched_;
};

}  // namespace zenqa
