#pragma once
// Shared state of one channel with the count of its handles of each kind.
// The last sender or receiver to go disconnects the channel; whichever side
// finishes second frees it (and with it any items still buffered).

#include <atomic>
#include <cstddef>
#include <limits>
#include <utility>

#include "core/failure.hpp"

namespace torvan::engine::detail {

template <class Chan>
struct Counter {
    template <class... Args>
    explicit Counter(Args&&... args) : chan(std::forward<Args>(args)...) {}

    std::atomic<std::size_t> senders{1};
    std::atomic<std::size_t> receivers{1};
    std::atomic<bool> destroy{false};
    Chan chan;
};

// Counts one more handle; refuses absurd counts instead of wrapping around.
inline void count_handle(std::atomic<std::size_t>& count) {
    // Relaxed: a new handle is made from one the caller holds, which keeps
    // the count above zero; nothing is published through the count.
    const std::size_t before = count.fetch_add(1, std::memory_order_relaxed);
    if (before > std::numeric_limits<std::size_t>::max() / 2) {
        count.fetch_sub(1, std::memory_order_relaxed);
        fail("too many handles of one channel");
    }
}

// Counts one more handle unless the count is zero already (the last handle
// of that kind is gone for good). False then.
inline bool count_handle_if_any(std::atomic<std::size_t>& count) {
    // Relaxed, as count_handle: the channel lives while the other kind's handles do.
    std::size_t current = count.load(std::memory_order_relaxed);
    do {
        if (current == 0) {
            return false;
        }
        if (current > std::numeric_limits<std::size_t>::max() / 2) {
            fail("too many handles of one channel");
        }
    } while (!count.compare_exchange_weak(current, current + 1, std::memory_order_relaxed));
    return true;
}

// Drops one handle. `disconnect` runs when it was the last of its kind.
template <class Chan, class Disconnect>
void drop_handle(Counter<Chan>* counter, std::atomic<std::size_t>& count, Disconnect&& disconnect) noexcept {
    // Acq_rel, here and on `destroy`: every handle's last use comes before
    // the disconnection, and both sides' before the channel is freed.
    if (count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        disconnect(counter->chan);
        if (counter->destroy.exchange(true, std::memory_order_acq_rel)) {
            delete counter;
        }
    }
}

}  // namespace torvan::engine::detail
