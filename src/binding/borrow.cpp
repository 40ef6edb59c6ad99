#include "binding/borrow.hpp"

#include <optional>

#include "binding/detached_wait.hpp"
#include "core/platform/park.hpp"

namespace torvan::binding {

void detail::announce_borrows_drained() noexcept {
    g_borrows_drained.fetch_add(1, std::memory_order_seq_cst);
    platform::wake_all(g_borrows_drained);
}

// The first load and a failed CAS only choose the next attempt: relaxed. The
// release that takes the draining bit back on failure pairs with the acquire
// CAS of the shared borrows that then succeed.
DrainingBorrow::DrainingBorrow(std::atomic<std::uint64_t>& flag) : flag_(flag) {
    std::uint64_t current = flag_.load(std::memory_order_relaxed);
    do {
        if (current >= kDraining) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
    } while (!flag_.compare_exchange_weak(current, current | kDraining, std::memory_order_seq_cst,
                                          std::memory_order_relaxed));
    if (current != 0) {
        try {
            if (TrackedSharedBorrow::held_by_this_thread(flag_)) {
                raise(PyExc_RuntimeError, "Already borrowed");  // it would wait for itself
            }
            // Shared borrows end without waiting for anything, so this wait is short.
            wait_detached([&]() -> std::optional<bool> {
                for (;;) {
                    const std::uint32_t seen = detail::g_borrows_drained.load(std::memory_order_seq_cst);
                    if (flag_.load(std::memory_order_seq_cst) == kDraining) {
                        return true;
                    }
                    if (platform::wait_on_word(detail::g_borrows_drained, seen, platform::Deadline::never(), true) ==
                        platform::WaitStatus::Interrupted) {
                        return std::nullopt;
                    }
                }
            });
        } catch (...) {
            flag_.fetch_and(~kDraining, std::memory_order_release);
            throw;
        }
    }
    // Nobody else changes the flag now: shared borrows are refused, and so
    // are other exclusive ones.
    flag_.store(kExclusivelyBorrowed, std::memory_order_release);
}

}  // namespace torvan::binding
