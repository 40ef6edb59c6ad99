#pragma once
// What the calling thread's last send on an unbounded channel claimed.
//
// A receive must know that a send has claimed its position before it claims
// the position itself. Reading the tail for that costs a stall when the same
// thread has just written the tail with a locked instruction: the load waits
// for that write to drain. A thread that sends and then receives on one
// channel knows the answer already: the tail is at least where its own
// claim left it.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace torvan::engine::detail {

struct LastClaim {
    std::uint64_t channel = 0;  // a channel number; 0 is none
    std::size_t end = 0;        // the tail position the claim moved to
};

// Initial-exec: a plain load and store, no call, also inside the extension.
inline constinit thread_local LastClaim t_last_claim __attribute__((tls_model("initial-exec"))) = {};

// A process-unique number for a channel, never 0. Numbers rather than
// addresses, so that a channel made at a freed one's address is not taken
// for it.
inline std::uint64_t next_channel_number() noexcept {
    static constinit std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;  // a unique number; it publishes nothing
}

}  // namespace torvan::engine::detail
