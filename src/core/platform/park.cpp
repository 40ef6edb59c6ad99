#include "core/platform/park.hpp"

#include <cerrno>
#include <ctime>
#include <sched.h>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#else
#include <pthread.h>
#include <array>
#endif

namespace torvan::platform {

void yield_now() noexcept { sched_yield(); }

#if defined(__linux__)

namespace {

long futex(const std::atomic<std::uint32_t>& word, int op, std::uint32_t value, const timespec* timeout,
           std::uint32_t bitset) noexcept {
    // The kernel only reads the word; the const_cast is for the syscall's signature.
    auto* address = const_cast<std::atomic<std::uint32_t>*>(&word);
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(address), op, value, timeout, nullptr, bitset);
}

}  // namespace

WaitStatus wait_on_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline,
                        bool interruptible) noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    timespec abs{};
    const timespec* timeout = nullptr;
    if (!deadline.is_never()) {
        abs.tv_sec = static_cast<time_t>(deadline.ns() / 1'000'000'000u);
        abs.tv_nsec = static_cast<long>(deadline.ns() % 1'000'000'000u);
        timeout = &abs;
    }
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
    for (;;) {
        long rc = futex(word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, timeout, FUTEX_BITSET_MATCH_ANY);
        if (rc == 0) {
            return WaitStatus::Woken;
        }
        switch (errno) {
            case EAGAIN:  // the word had already changed
                return WaitStatus::Woken;
            case ETIMEDOUT:
                return WaitStatus::TimedOut;
            case EINTR:
                if (interruptible) {
                    return WaitStatus::Interrupted;
                }
                if (word.load(std::memory_order_relaxed) != expected) {
                    return WaitStatus::Woken;
                }
                continue;
            default:
                return WaitStatus::Woken;  // treat anything else as a spurious wake
        }
    }
}

void wake_one(const std::atomic<std::uint32_t>& word) noexcept {
    futex(word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1, nullptr, 0);
}

void wake_all(const std::atomic<std::uint32_t>& word) noexcept {
    futex(word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, static_cast<std::uint32_t>(INT32_MAX), nullptr, 0);
}

#else  // Portable fallback: a fixed table of mutex + condition variable buckets.

namespace {

struct Bucket {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
};

constexpr std::size_t kBuckets = 256;
std::array<Bucket, kBuckets> g_buckets;

Bucket& bucket_for(const void* address) noexcept {
    auto bits = reinterpret_cast<std::uintptr_t>(address);
    bits ^= bits >> 17;
    bits *= 0x9E3779B97F4A7C15ull;
    return g_buckets[(bits >> 32) % kBuckets];
}

// Interruptible waits sleep in short slices: without a signal-aware sleep here,
// the caller gets regular chances to look for pending signals.
constexpr std::uint64_t kInterruptSliceNs = 20'000'000;

}  // namespace

WaitStatus wait_on_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline,
                        bool interruptible) noexcept {
    Bucket& b = bucket_for(&word);
    pthread_mutex_lock(&b.mutex);
    WaitStatus status = WaitStatus::Woken;
    if (word.load(std::memory_order_acquire) == expected) {
        std::uint64_t now = monotonic_now_ns();
        std::uint64_t until = deadline.is_never() ? UINT64_MAX : deadline.ns();
        bool sliced = false;
        if (interruptible && (until == UINT64_MAX || until - now > kInterruptSliceNs) && until > now) {
            until = now + kInterruptSliceNs;
            sliced = true;
        }
        if (until == UINT64_MAX) {
            pthread_cond_wait(&b.cond, &b.mutex);
        } else {
            // Condition variables wait on the real-time clock here; convert the remaining time.
            std::uint64_t remaining = until > now ? until - now : 0;
            timespec real{};
            clock_gettime(CLOCK_REALTIME, &real);
            std::uint64_t total = static_cast<std::uint64_t>(real.tv_nsec) + remaining % 1'000'000'000u;
            real.tv_sec += static_cast<time_t>(remaining / 1'000'000'000u + total / 1'000'000'000u);
            real.tv_nsec = static_cast<long>(total % 1'000'000'000u);
            if (pthread_cond_timedwait(&b.cond, &b.mutex, &real) == ETIMEDOUT) {
                status = sliced ? WaitStatus::Interrupted : WaitStatus::TimedOut;
            }
        }
    }
    pthread_mutex_unlock(&b.mutex);
    return status;
}

void wake_one(const std::atomic<std::uint32_t>& word) noexcept {
    wake_all(word);  // buckets are shared between words, so wake them all
}

void wake_all(const std::atomic<std::uint32_t>& word) noexcept {
    Bucket& b = bucket_for(&word);
    pthread_mutex_lock(&b.mutex);
    pthread_cond_broadcast(&b.cond);
    pthread_mutex_unlock(&b.mutex);
}

#endif

}  // namespace torvan::platform
