#include "python/released_gil.hpp"

#include <chrono>

#include "base/thread_team.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

thread_local ReleasedGil* current_release = nullptr;
thread_local std::chrono::steady_clock::time_point last_check{};

constexpr auto check_interval = std::chrono::milliseconds(10);

// Takes the GIL back, except in a daemon thread whose interpreter is shutting
// down: there CPython ends the thread by unwinding it (pthread_exit) through
// frames that may not unwind, which aborts the process. The thread waits
// instead for the process to end, as CPython 3.14 makes its daemon threads
// wait.
void take_gil_back(PyThreadState* state) noexcept {
    try {
        PyEval_RestoreThread(state);
    } catch (...) {  // CPython's shutdown unwinding, all that this C call can throw
        wait_for_process_end();
    }
}

}  // namespace

// The thread computes while the GIL is released, and not while it waits for it.
ReleasedGil::ReleasedGil() : state_(PyEval_SaveThread()), enclosing_(current_release) {
    current_release = this;
    enter_computing();
}

ReleasedGil::~ReleasedGil() {
    leave_computing();
    current_release = enclosing_;
    take_gil_back(state_);
}

void ReleasedGil::check_signals() {
    if (process_exiting()) wait_for_process_end();
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < check_interval) return;
    last_check = now;
    ReleasedGil* release = current_release;
    const std::size_t depth = suspend_computing();
    const auto release_again = [release, depth] {
        release->state_ = PyEval_SaveThread();
        resume_computing(depth);
    };
    take_gil_back(release->state_);
    if (PyErr_CheckSignals() == 0) return release_again();
    PendingError error = [&] {
        try {
            return fetch_error();
        } catch (...) {  // a fault met while fetching
            release_again();
            throw;
        }
    }();
    release_again();
    throw std::move(error);
}

}  // namespace zenqa
