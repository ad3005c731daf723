#include "python/released_gil.hpp"

#include <chrono>
#include <thread>

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
        while (true) std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

}  // namespace

ReleasedGil::ReleasedGil() : state_(PyEval_SaveThread()), enclosing_(current_release) { current_release = this; }

ReleasedGil::~ReleasedGil() {
    current_release = enclosing_;
    take_gil_back(state_);
}

void ReleasedGil::check_signals() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < check_interval) return;
    last_check = now;
    ReleasedGil* release = current_release;
    take_gil_back(release->state_);
    if (PyErr_CheckSignals() == 0) {
        release->state_ = PyEval_SaveThread();
        return;
    }
    PendingError error = [release] {
        try {
            return fetch_error();
        } catch (...) {  // a fault met while fetching
            release->state_ = PyEval_SaveThread();
            throw;
        }
    }();
    release->state_ = PyEval_SaveThread();
    throw std::move(error);
}

}  // namespace zenqa
