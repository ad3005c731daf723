#pragma once

#include "python/py_ref.hpp"

namespace zenqa {

// Releases the GIL for its lifetime, so that other threads run while this
// one computes on data no Python code can reach; takes it back on every way
// out, exceptions included. One per thread at a time.
class ReleasedGil {
public:
    ReleasedGil();
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;
    ~ReleasedGil();

    // For long computations under a ReleasedGil: about every 10 ms takes the
    // GIL back briefly to run pending signal handlers; throws their exception
    // (KeyboardInterrupt for Ctrl-C) with the GIL released again.
    static void check_signals();

private:
    PyThreadState* state_;
    ReleasedGil* enclosing_;
};

}  // namespace zenqa
