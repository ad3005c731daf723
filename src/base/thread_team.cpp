#include "base/thread_team.hpp"

#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <system_error>

namespace zenqa {

std::size_t compute_threads() {
    if (const char* chosen = std::getenv("OPENBLAS_NUM_THREADS"); chosen != nullptr && *chosen != '\0') {
        char* end = nullptr;
        errno = 0;
        const long count = std::strtol(chosen, &end, 10);
        if (errno == 0 && *end == '\0' && count > 0) return static_cast<std::size_t>(count);
    }
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
    return static_cast<std::size_t>(std::max(CPU_COUNT(&cores), 1));
}

ThreadTeam::ThreadTeam(std::size_t size) : size_(std::max<std::size_t>(size, 1)), caller_(std::this_thread::get_id()) {}

ThreadTeam::~ThreadTeam() {
    {
        std::lock_guard lock(mutex_);
        leaving_ = true;
    }
    parts_ready_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
}

void ThreadTeam::run(std::size_t parts, const std::function<void(std::size_t)>& part, void (*waiting_check)()) {
    caller_ = std::this_thread::get_id();
    stop_from_ = none;
    if (parts == 0) return;
    // Threads are started only for work that is split.
    start_helpers(std::min(size_, parts) - 1);
    if (helpers_.empty()) {
        for (std::size_t p = 0; p < parts; ++p) part(p);
        return;
    }
    std::unique_lock lock(mutex_);
    part_ = &part;
    parts_ = parts;
    started_ = finished_ = 0;
    failure_ = nullptr;
    ++round_;
    parts_ready_.notify_all();
    take_parts(lock);
    while (finished_ != started_) {
        parts_done_.wait_for(lock, std::chrono::milliseconds(10));
        if (waiting_check == nullptr || failure_) continue;
        lock.unlock();
        try {
            waiting_check();
            lock.lock();
        } catch (...) {
            lock.lock();
            fail(std::current_exception(), none);
        }
    }
    part_ = nullptr;
    if (failure_) std::rethrow_exception(failure_);
}

void ThreadTeam::start_helpers(std::size_t wanted) {
    try {
        while (helpers_.size() < wanted) helpers_.emplace_back([this] { serve(); });
    } catch (const std::system_error&) {
        size_ = helpers_.size() + 1;  // a process out of threads computes with those it has
    }
}

void ThreadTeam::fail(std::exception_ptr failure, std::size_t p) {
    // A part asked to stop may throw for that alone: it is no failure of its own.
    if (p != none && p >= stop_from_) return;
    failure_ = failure;
    stop_from_ = p == none ? 0 : p + 1;
}

void ThreadTeam::take_parts(std::unique_lock<std::mutex>& lock) {
    while (started_ < parts_ && !failure_) {
        const std::size_t p = started_++;
        lock.unlock();
        std::exception_ptr failure;
        try {
            (*part_)(p);
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        if (failure) fail(failure, p);
        if (++finished_ == started_) parts_done_.notify_one();
    }
}

void ThreadTeam::serve() {
    std::unique_lock lock(mutex_);
    std::size_t seen = 0;
    while (true) {
        parts_ready_.wait(lock, [&] { return leaving_ || round_ != seen; });
        if (leaving_) return;
        seen = round_;
        take_parts(lock);
    }
}

}  // namespace zenqa
