#pragma once
// Backoff between retries of a compare-and-swap that lost to another thread:
// a few pause instructions, doubling up to a small cap, so that contending
// threads stop hammering the line. Waiting for another thread is not this
// (see platform/spin_wait.hpp).

#include <algorithm>

#include "core/platform/park.hpp"

namespace torvan::engine::detail {

class Backoff {
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

}  // namespace torvan::engine::detail
