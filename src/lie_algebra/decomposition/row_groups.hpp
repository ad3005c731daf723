#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/interrupt_check.hpp"
#include "base/mapped_array.hpp"
#include "base/memory_check.hpp"
#include "base/thread_team.hpp"
#include "lie_algebra/decomposition/projection_queue.hpp"

// The rows i of a decomposition shared out over threads in groups, and their
// records handed on in row order.
namespace zenqa {

// The records of one group of rows, held until the groups before it have
// been handed on, so that the records arrive in increasing (i, j) whatever
// thread expanded them.
class HeldRecords {
public:
    void operator()(std::size_t i, std::size_t j, std::span<const Coefficient> coefficients) {
        coefficients_.append(coefficients.data(), coefficients.size());
        pairs_.push_back({i, j, coefficients_.size()});
    }
    std::size_t bytes() const { return pairs_.size() * sizeof(Pair) + coefficients_.size() * sizeof(Coefficient); }
    // No records, the room for them kept.
    void clear() {
        pairs_.clear();
        coefficients_.clear();
    }
    template <class Record>
    void hand_on(Record& record) const {
        for (std::size_t p = 0; p < pairs_.size(); ++p) hand_on_pair(p, record);
    }
    // The pairs of `first` and `second` together in increasing (i, j), those
    // of `first` ahead on a pair that both hold.
    template <class RecordFirst, class RecordSecond>
    static void hand_on_in_order(const HeldRecords& first, RecordFirst& record_first, const HeldRecords& second,
                                 RecordSecond& record_second) {
        std::size_t a = 0, b = 0;
        while (a < first.pairs_.size() || b < second.pairs_.size()) {
            if (b == second.pairs_.size() || (a < first.pairs_.size() && first.key(a) <= second.key(b))) {
                first.hand_on_pair(a++, record_first);
            } else {
                second.hand_on_pair(b++, record_second);
            }
        }
    }

private:
    struct Pair {
        std::size_t i, j;
        std::size_t end;  // of its coefficients
    };
    std::pair<std::size_t, std::size_t> key(std::size_t p) const { return {pairs_[p].i, pairs_[p].j}; }
    template <class Record>
    void hand_on_pair(std::size_t p, Record& record) const {
        const std::size_t begin = p == 0 ? 0 : pairs_[p - 1].end;
        record(pairs_[p].i, pairs_[p].j, std::span(coefficients_.data() + begin, pairs_[p].end - begin));
    }
    MappedArray<Pair> pairs_{"the coefficients found"};
    MappedArray<Coefficient> coefficients_{"the coefficients found"};
};

// Rows are expanded in about this many groups of consecutive rows, each on
// one thread with pair products and queues of its own, and of at least this
// many rows, so that setting a group up stays small against its work. The
// groups depend only on the basis, so the coefficients do not depend on the
// number of threads.
constexpr std::size_t row_groups = 64;
constexpr std::size_t least_group_rows = 8;
// Groups per thread in a wave: a wave's records are held until the next
// wave has run.
constexpr std::size_t groups_per_thread = 4;
// Past this many bytes of records held in all, the computation was large
// enough that what its threads freed on their heaps (workspaces, the small
// blocks of records) is worth giving back to the system; below it, looking
// for it costs more than the memory is worth.
constexpr std::size_t returned_records_bytes = std::size_t{1} << 22;
// Thrown in a group abandoned because an earlier one failed.
struct Abandoned {};

// The working state of the groups under way (pair products, targets,
// queues), made by make_workspace when no finished group has left one, so
// that each thread allocates its memory once rather than every group.
template <class MakeWorkspace>
class Workspaces {
public:
    using Workspace = std::invoke_result_t<MakeWorkspace&>;

    explicit Workspaces(MakeWorkspace& make_workspace) : make_(make_workspace) {}

    std::unique_ptr<Workspace> take() {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<Workspace> workspace = std::move(idle_.back());
                idle_.pop_back();
                return workspace;
            }
        }
        return std::make_unique<Workspace>(make_());
    }
    // Only from a group that finished: one that failed may leave its state half done.
    void give_back(std::unique_ptr<Workspace> workspace) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(workspace));
    }

private:
    MakeWorkspace& make_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Workspace>> idle_;
};

// The workspace of groups that need none.
struct NoWorkspace {};

// Streams of held records emptied for another group.
template <std::size_t Streams>
void empty(std::array<HeldRecords, Streams>& streams) {
    for (HeldRecords& stream : streams) stream.clear();
}

// The bytes that streams of held records hold.
template <std::size_t Streams>
std::size_t held_bytes(const std::array<HeldRecords, Streams>& streams) {
    std::size_t bytes = 0;
    for (const HeldRecords& stream : streams) bytes += stream.bytes();
    return bytes;
}

// Calls expand_group(first, last, check_row, held, workspace) for the groups
// of rows [first, last) on a team, or on the calling thread alone as one
// group unless `threaded`, each group recording into a Group of its own (such
// as streams of held records, emptied by empty(group)); then hands each
// group's, in order, to hand_on. Groups run in waves, and a wave's records
// are handed on by one thread of the team while the others expand the next
// wave. Only the calling thread checks for interrupts. Returns how many bytes
// the groups held in all, by held_bytes(group).
template <class Group, class MakeWorkspace, class ExpandGroup, class HandOn>
std::size_t expand_groups(std::size_t n, bool threaded, InterruptCheck check_interrupt, MakeWorkspace& make_workspace,
                          ExpandGroup& expand_group, HandOn& hand_on) {
    using Held = std::vector<Group>;
    ThreadTeam team(threaded ? compute_threads() : 1);
    const std::size_t group_rows = threaded ? std::max(least_group_rows, (n + row_groups - 1) / row_groups) : n;
    const std::size_t groups = (n + group_rows - 1) / group_rows;
    const std::size_t wave = groups_per_thread * team.size();
    Workspaces workspaces(make_workspace);
    std::size_t bytes = 0;
    const auto hand_on_all = [&](Held& held) {
        for (Group& group : held) hand_on(group);
    };
    Held previous;  // the wave before, not handed on yet
    // Groups handed on, emptied: the room they keep (held records keep
    // theirs; tensor rows pass theirs into the tensor) serves the groups
    // after them, whose pages are then in memory already.
    Held spare;
    for (std::size_t first = 0; first < groups; first += wave) {
        Held held(std::min(wave, groups - first));
        for (std::size_t g = 0; g < held.size() && !spare.empty(); ++g) {
            held[g] = std::move(spare.back());
            spare.pop_back();
        }
        // Part 0 hands the wave before on, ahead of the groups after it.
        const std::size_t hand_on_parts = previous.empty() ? 0 : 1;
        team.run(
            hand_on_parts + held.size(),
            [&](std::size_t part) {
                if (part < hand_on_parts) return hand_on_all(previous);
                const std::size_t g = part - hand_on_parts;
                const auto check_row = [&team, &check_interrupt, part] {
                    if (team.stopping(part)) throw Abandoned{};
                    if (team.on_calling_thread()) check_interrupt();
                };
                const std::size_t begin = (first + g) * group_rows;
                auto workspace = workspaces.take();
                expand_group(begin, std::min(n, begin + group_rows), check_row, held[g], *workspace);
                workspaces.give_back(std::move(workspace));
            },
            check_interrupt);
        for (const Group& group : held) bytes += held_bytes(group);
        for (Group& group : previous) {
            empty(group);
            spare.push_back(std::move(group));
        }
        previous = std::move(held);
    }
    hand_on_all(previous);
    return bytes;
}

// expand_groups, then, once the groups' workspaces are gone, gives back what
// the threads freed when there was much of it.
template <class Group, class MakeWorkspace, class ExpandGroup, class HandOn>
void expand_in_row_groups(std::size_t n, bool threaded, InterruptCheck check_interrupt, MakeWorkspace&& make_workspace,
                          ExpandGroup&& expand_group, HandOn&& hand_on) {
    const std::size_t bytes = expand_groups<Group>(n, threaded, check_interrupt, make_workspace, expand_group, hand_on);
    if (bytes >= returned_records_bytes) return_freed_memory();
}

}  // namespace zenqa
