#include "base/thread_team.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "base/cgroups.hpp"

namespace zenqa {

namespace {

std::atomic<std::size_t> run_time_limit{0};

// The threads that compute, each counted once however nested its calls
// (depth), and whether the process is exiting; the exit waits on exit_mutex
// for none_computing.
std::atomic<bool> exiting{false};
std::atomic<std::size_t> computing_threads{0};
thread_local std::size_t depth = 0;
std::mutex exit_mutex;
std::condition_variable none_computing;

void uncount() {
    if (computing_threads.fetch_sub(1) != 1) return;
    const std::lock_guard lock(exit_mutex);
    none_computing.notify_all();
}

constexpr std::chrono::microseconds spin_before_sleep{100};

// The count an environment variable sets: a positive integer, or the first
// of a list of them (OMP_NUM_THREADS gives one per nesting level); nothing
// for anything else.
std::optional<std::size_t> environment_count(const char* name) {
    const char* chosen = std::getenv(name);
    if (chosen == nullptr) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long count = std::strtol(chosen, &end, 10);
    if (errno != 0 || end == chosen || (*end != '\0' && *end != ',') || count <= 0) return std::nullopt;
    return static_cast<std::size_t>(count);
}

// Whole CPUs a quota of `quota` per `period` microseconds comes to, rounded up.
std::size_t quota_cpus(std::uint64_t quota, std::uint64_t period) {
    if (period == 0) return SIZE_MAX;
    return static_cast<std::size_t>(std::max<std::uint64_t>(quota / period + (quota % period != 0), 1));
}

// A cgroup v2 cpu.max: "max PERIOD" (no quota) or "QUOTA PERIOD".
std::optional<std::size_t> read_cpu_max(const std::string& path) {
    std::ifstream file(path);
    std::uint64_t quota = 0, period = 0;
    if (!(file >> quota >> period)) return std::nullopt;
    return quota_cpus(quota, period);
}

// The fewest CPUs that any of the process's cgroups, or any cgroup above
// them, grants it over time; SIZE_MAX where none sets a quota. Under v1 a
// quota of -1 reads as no count, and so as no quota.
std::size_t cgroup_cpus() {
    std::size_t cpus = SIZE_MAX;
    for (const CgroupMembership& cgroup : process_cgroups()) {
        if (cgroup.unified) {
            for (const std::string& directory : cgroup_directories(system_path("/sys/fs/cgroup"), cgroup.path))
                cpus = std::min(cpus, read_cpu_max(directory + "/cpu.max").value_or(SIZE_MAX));
        } else if (cgroup.controllers.find(",cpu,") != std::string::npos) {
            for (const std::string& directory : cgroup_directories(system_path("/sys/fs/cgroup/cpu"), cgroup.path)) {
                const auto quota = read_count(directory + "/cpu.cfs_quota_us");
                const auto period = read_count(directory + "/cpu.cfs_period_us");
                if (quota && period) cpus = std::min(cpus, quota_cpus(*quota, *period));
            }
        }
    }
    return cpus;
}

std::size_t available_cores() {
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof cores, &cores) != 0) return 1;
    return static_cast<std::size_t>(std::max(CPU_COUNT(&cores), 1));
}

void wait_for_computations() {
    exiting.store(true);
    std::unique_lock lock(exit_mutex);
    none_computing.wait(lock, [] { return computing_threads.load() == 0; });
}

// Waits for the process to end, the team's lock let go first, so that the
// threads still in a part finish it and stop in turn.
[[noreturn]] void stop_for_exit(std::unique_lock<std::mutex>& lock) {
    lock.unlock();
    wait_for_process_end();
}

}  // namespace

std::size_t compute_threads() {
    // Read once: the cgroup files cost 30 us a call, more than the whole of
    // a small call, and a quota that changes under a running process is rare.
    static const std::size_t cgroup_limit = cgroup_cpus();
    std::size_t threads = std::min(available_cores(), cgroup_limit);
    for (const char* name : {"OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS"})
        threads = std::min(threads, environment_count(name).value_or(SIZE_MAX));
    if (const std::size_t limit = run_time_limit.load(std::memory_order_relaxed); limit != 0)
        threads = std::min(threads, limit);
    return threads;
}

void limit_compute_threads(std::size_t limit) { run_time_limit.store(limit, std::memory_order_relaxed); }

void enter_computing() { resume_computing(depth + 1); }

void leave_computing() {
    if (--depth == 0) uncount();
}

std::size_t suspend_computing() {
    const std::size_t suspended = std::exchange(depth, 0);
    if (suspended != 0) uncount();
    return suspended;
}

void resume_computing(std::size_t resumed) {
    const bool counted = depth != 0;
    depth = resumed;
    if (counted || resumed == 0) return;
    // Counted before the exit is looked at, as the exit marks itself before
    // it counts: one of the two sees the other.
    computing_threads.fetch_add(1);
    if (exiting.load()) wait_for_process_end();
}

bool process_exiting() { return exiting.load(std::memory_order_relaxed); }

void wait_for_process_end() {
    suspend_computing();
    while (true) std::this_thread::sleep_for(std::chrono::seconds(1));
}

bool wait_at_exit_for_computations() {
    static const bool arranged = std::atexit(wait_for_computations) == 0 &&
                                 // A forked child holds only the thread that forked, which computes nothing.
                                 pthread_atfork(nullptr, nullptr, [] { computing_threads.store(0); }) == 0;
    return arranged;
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
        for (std::size_t p = 0; p < parts; ++p) {
            if (process_exiting()) wait_for_process_end();
            part(p);
        }
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
        if (process_exiting()) stop_for_exit(lock);
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
    // A helper that met the exit sleeps for good, and the team's end would
    // wait for it: the caller stops too, whether the run failed or not.
    if (process_exiting()) stop_for_exit(lock);
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
        if (process_exiting()) stop_for_exit(lock);
        const std::size_t p = started_++;
        lock.unlock();
        std::exception_ptr failure;
        try {
            const Computing computing;
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
    const auto called = [&] { return leaving_ || round_ != seen; };
    while (true) {
        // A computation's next step mostly follows within the spin; a thread
        // woken from sleep would start it late, and the step wait for it.
        lock.unlock();
        const auto until = std::chrono::steady_clock::now() + spin_before_sleep;
        while (!called() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        lock.lock();
        parts_ready_.wait(lock, called);
        if (leaving_) return;
        seen = round_;
        take_parts(lock);
    }
}

}  // namespace zenqa
