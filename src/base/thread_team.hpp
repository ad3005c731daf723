#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace zenqa {

// How many threads one computation may use: the least of the cores this
// process may run on, the CPU quota of its cgroups (v1 or v2, rounded up),
// OMP_NUM_THREADS and OPENBLAS_NUM_THREADS where either is a positive count
// (job scripts set them; users set 1 in worker processes), and the limit set
// at run time (threadpoolctl's). At least 1.
std::size_t compute_threads();

// Sets the run-time limit on compute_threads(); 0 lifts it. Process-wide, as
// the environment's counts are.
void limit_compute_threads(std::size_t limit);

// At exit the process unloads the libraries that computations call into
// (OpenBLAS frees its buffers), while a thread left running (a daemon thread)
// may still be computing. So threads count themselves while they compute, the
// exit waits until none does, and a thread that meets the exit at a point
// where it can stop waits there for the process to end instead: ThreadTeam
// stops its helpers so.

// The calling thread computes until the matching leave_computing(); nested
// calls count once. Waits for the process to end if it is exiting.
void enter_computing();
void leave_computing();

// enter_computing() for its lifetime.
struct Computing {
    Computing() { enter_computing(); }
    ~Computing() { leave_computing(); }
    Computing(const Computing&) = delete;
    Computing& operator=(const Computing&) = delete;
};

// The calling thread stops counting, however deeply nested, while it waits
// for something that may never come (the interpreter's lock, for a daemon
// thread at shutdown); resume_computing takes the depth that suspend_computing returned.
std::size_t suspend_computing();
void resume_computing(std::size_t depth);

// Whether the process is exiting: a computation stops at the next point
// where it can.
bool process_exiting();

// Stops the calling thread for good: it no longer counts, and sleeps until
// the process ends. It must hold no lock another thread waits for.
[[noreturn]] void wait_for_process_end();

// Makes the process's exit, before it unloads its libraries, wait until no
// thread computes; false where that could not be arranged. Once is enough.
bool wait_at_exit_for_computations();

// Helper threads for one computation, started on first use and joined when
// the team goes. A helper waiting for the next step spins for at most 100 us,
// about what a sleeping thread takes to wake on a virtual machine, yielding
// its core to any thread that wants it, then sleeps; so processes that share
// the cores, each with a team, lose little more than their share of them.
class ThreadTeam {
public:
    explicit ThreadTeam(std::size_t size);
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;

    std::size_t size() const { return size_; }
    // Calls part(p) once for every p < parts, spread over the team, the
    // calling thread included, and returns when all have run. While the
    // calling thread waits for the others it calls `waiting_check` (may be
    // null) about every 10 ms. An exception from part p stops the parts after
    // it (see stopping); one from the check stops them all. Once every part
    // under way has returned, the exception of the lowest failed part, or
    // else the check's, is rethrown: the one a single thread would meet.
    void run(std::size_t parts, const std::function<void(std::size_t)>& part, void (*waiting_check)() = nullptr);

    // Whether the part being run is on the thread that called run: only it
    // may call back into the interpreter.
    bool on_calling_thread() const { return std::this_thread::get_id() == caller_; }
    // Whether part p should return early, its results unused: a part before
    // it, or the waiting check, has failed, or the process is exiting.
    bool stopping(std::size_t p) const { return p >= stop_from_.load(std::memory_order_relaxed) || process_exiting(); }

private:
    void start_helpers(std::size_t wanted);
    void serve();
    // Runs parts until none is left; called and returns with the lock held.
    void take_parts(std::unique_lock<std::mutex>& lock);
    // Records the failure of part p, or of the waiting check when p is none,
    // and stops the parts after it.
    void fail(std::exception_ptr failure, std::size_t p);

    std::size_t size_;
    std::thread::id caller_;
    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable parts_ready_, parts_done_;
    const std::function<void(std::size_t)>* part_ = nullptr;
    std::size_t parts_ = 0, started_ = 0, finished_ = 0;
    // Written under the mutex, read by spinning helpers without it.
    std::atomic<std::size_t> round_{0};
    std::atomic<bool> leaving_{false};
    static constexpr std::size_t none = SIZE_MAX;
    std::atomic<std::size_t> stop_from_{none};
    std::exception_ptr failure_;
};

// A ThreadTeam of compute_threads(), made when first asked for: counting the
// threads reads the cgroup files, which small work need not pay for.
class TeamOnDemand {
public:
    ThreadTeam& team() {
        if (!team_) team_.emplace(compute_threads());
        return *team_;
    }

private:
    std::optional<ThreadTeam> team_;
};

}  // namespace zenqa
