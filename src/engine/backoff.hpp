#pragma once
// Exponential backoff for the short spins of lock-free retry loops: a few
// rounds of pause instructions, then giving the processor away.

#include <algorithm>

#include "platform/park.hpp"

namespace torvan::engine::detail {

class Backoff {
public:
    // Between retries of a contended atomic operation.
    void spin() noexcept {
        pause(std::min(step_, kSpinLimit));
        if (step_ <= kSpinLimit) {
            ++step_;
        }
    }

    // While waiting for another thread to finish a step in progress.
    void snooze() noexcept {
        if (step_ <= kSpinLimit) {
            pause(step_);
        } else {
            platform::yield_now();
        }
        if (step_ <= kYieldLimit) {
            ++step_;
        }
    }

    // True once spinning is no longer worth it and the caller should sleep.
    bool is_completed() const noexcept { return step_ > kYieldLimit; }

private:
    static void pause(unsigned step) noexcept {
        for (unsigned i = 0; i < (1u << step); ++i) {
            platform::cpu_relax();
        }
    }

    static constexpr unsigned kSpinLimit = 6;
    static constexpr unsigned kYieldLimit = 10;
    unsigned step_ = 0;
};

}  // namespace torvan::engine::detail
