#pragma once

#include <cstddef>

namespace zenqa {

// Called every so often during a long computation; throws to abandon it.
// Null where nothing can interrupt (no interpreter lock held, for one).
using InterruptCheck = void (*)();

// Calls the check once every `interval` units of work, so that cheap steps
// do not pay for it while a long run still stops within a fraction of a second.
class PacedInterruptCheck {
public:
    PacedInterruptCheck(InterruptCheck check, std::size_t interval) : check_(check), interval_(interval) {}

    void step(std::size_t work = 1) {
        done_ += work;
        if (done_ < interval_) return;
        done_ = 0;
        if (check_ != nullptr) check_();
    }

private:
    InterruptCheck check_;
    std::size_t interval_;
    std::size_t done_ = 0;
};

}  // namespace zenqa
