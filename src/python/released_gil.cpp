#include "python/released_gil.hpp"

#include <chrono>

#include "python/errors.hpp"

namespace zenqa {

namespace {

thread_local ReleasedGil* current_release = nullptr;
thread_local std::chrono::steady_clock::time_point last_check{};

constexpr auto check_interval = std::chrono::milliseconds(10);

}  // namespace

ReleasedGil::ReleasedGil() : state_(PyEval_SaveThread()), enclosing_(current_release) { current_release = this; }

ReleasedGil::~ReleasedGil() {
    current_release = enclosing_;
    PyEval_RestoreThread(state_);
}

void ReleasedGil::check_signals() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_check < check_interval) return;
    last_check = now;
    ReleasedGil* release = current_release;
    PyEval_RestoreThread(release->state_);
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
