#pragma once
// Sleeping and waking on a 32-bit word, the one blocking primitive that every
// native lock and wait of the module is built on.
//
// A waiter sleeps only while the word still holds the value it expects, so a
// wake that happens between its check and its sleep is never lost. Wakes may
// be spurious: callers always re-check their condition in a loop.

#include <atomic>
#include <cstdint>

#include "core/platform/clock.hpp"

namespace torvan::platform {

enum class WaitStatus {
    Woken,        // woken, or the word no longer held `expected` (possibly spuriously)
    TimedOut,     // the deadline passed
    Interrupted,  // a signal arrived while sleeping (only for interruptible waits)
};

// Sleeps while `word == expected`, until woken or until the deadline. An
// interruptible wait also returns when the thread receives a signal, so that
// the caller can run signal handlers; it may report Interrupted spuriously.
WaitStatus wait_on_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected,
                        Deadline deadline = Deadline::never(), bool interruptible = false) noexcept;

// Wake one / every thread sleeping in wait_on_word on this word. Callers
// change the word before waking.
void wake_one(const std::atomic<std::uint32_t>& word) noexcept;
void wake_all(const std::atomic<std::uint32_t>& word) noexcept;

// The mechanism threads sleep on in this process ("futex",
// "os_sync_wait_on_address" or "buckets"), for tests and diagnostics.
const char* park_mechanism() noexcept;

// Pause hint for a short spin before sleeping.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Gives up the processor to other runnable threads.
void yield_now() noexcept;

}  // namespace torvan::platform
