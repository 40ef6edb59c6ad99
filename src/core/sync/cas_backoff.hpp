#pragma once
// Backoff between retries of a compare-and-swap that lost to another thread:
// a few pause instructions, doubling up to a small cap, so that contending
// threads stop hammering the line. It never sleeps and waits for nobody;
// waiting for another thread is SpinWait's job (spin_wait.hpp).

#include <algorithm>

#include "core/platform/park.hpp"

namespace torvan::sync {

class CasBackoff {
public:
    void spin() noexcept {
        for (unsigned i = 0; i < (1u << step_); ++i) {
            platform::cpu_relax();
        }
        step_ = std::min(step_ + 1, kMaxStep);
    }

private:
    static constexpr unsigned kMaxStep = 4;
    unsigned step_ = 0;
};

}  // namespace torvan::sync
