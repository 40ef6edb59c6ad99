#include "core/platform/park.hpp"

#include <cerrno>
#include <climits>
#include <ctime>
#include <sched.h>

#include "core/platform/features.hpp"

#if defined(TORVAN_PARK_FUTEX)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif
#if defined(TORVAN_PARK_BUCKETS)
#include <pthread.h>

#include <array>
#endif

#if defined(TORVAN_PARK_OS_SYNC)
// The wait-on-address calls of macOS 14.4 (<os/os_sync_wait_on_address.h>),
// declared here so that older SDKs build too, and weakly so that a system
// without them still loads the library: their addresses are null there.
extern "C" {
int os_sync_wait_on_address(void* addr, std::uint64_t value, std::size_t size, std::uint32_t flags)
    __attribute__((weak_import));
int os_sync_wait_on_address_with_timeout(void* addr, std::uint64_t value, std::size_t size, std::uint32_t flags,
                                         std::uint32_t clockid, std::uint64_t timeout_ns)
    __attribute__((weak_import));
int os_sync_wake_by_address_any(void* addr, std::size_t size, std::uint32_t flags) __attribute__((weak_import));
int os_sync_wake_by_address_all(void* addr, std::size_t size, std::uint32_t flags) __attribute__((weak_import));
}
#endif

namespace torvan::platform {

void yield_now() noexcept { sched_yield(); }

namespace {

#if defined(TORVAN_PARK_FUTEX) || defined(TORVAN_PARK_OS_SYNC)

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

// The system only reads the word; the const_cast is for the calls' signatures.
void* address_of(const std::atomic<std::uint32_t>& word) noexcept {
    return const_cast<std::atomic<std::uint32_t>*>(&word);
}

#endif

#if defined(TORVAN_PARK_FUTEX)

// One sleep while the word holds `expected`: 0 when woken or when the word
// had changed, else the errno (ETIMEDOUT, EINTR, ...).
int address_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline) noexcept {
    timespec abs{};
    const timespec* timeout = nullptr;
    if (!deadline.is_never()) {
        abs.tv_sec = static_cast<time_t>(deadline.ns() / 1'000'000'000u);
        abs.tv_nsec = static_cast<long>(deadline.ns() % 1'000'000'000u);
        timeout = &abs;
    }
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline.
    const long rc = syscall(SYS_futex, address_of(word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected, timeout,
                            nullptr, FUTEX_BITSET_MATCH_ANY);
    return rc == 0 || errno == EAGAIN ? 0 : errno;
}

void address_wake(const std::atomic<std::uint32_t>& word, bool all) noexcept {
    syscall(SYS_futex, address_of(word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, all ? INT_MAX : 1, nullptr, nullptr, 0);
}

#elif defined(TORVAN_PARK_OS_SYNC)

constexpr std::uint32_t kOsSyncNoFlags = 0;              // OS_SYNC_WAIT_ON_ADDRESS_NONE: this process only
constexpr std::uint32_t kOsClockMachAbsoluteTime = 32;  // OS_CLOCK_MACH_ABSOLUTE_TIME

bool address_wait_available() noexcept {
    return &os_sync_wait_on_address != nullptr && &os_sync_wait_on_address_with_timeout != nullptr &&
           &os_sync_wake_by_address_any != nullptr && &os_sync_wake_by_address_all != nullptr;
}

int address_wait(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline) noexcept {
    int rc = 0;
    if (deadline.is_never()) {
        rc = os_sync_wait_on_address(address_of(word), expected, sizeof(std::uint32_t), kOsSyncNoFlags);
    } else {
        // The call takes a span, not a point: what is left of it after every interruption.
        const std::uint64_t now = monotonic_now_ns();
        if (now >= deadline.ns()) {
            return ETIMEDOUT;
        }
        rc = os_sync_wait_on_address_with_timeout(address_of(word), expected, sizeof(std::uint32_t), kOsSyncNoFlags,
                                                  kOsClockMachAbsoluteTime, deadline.ns() - now);
    }
    return rc >= 0 ? 0 : errno;
}

void address_wake(const std::atomic<std::uint32_t>& word, bool all) noexcept {
    // With nobody waiting the calls fail with ENOENT, which is no failure here.
    if (all) {
        os_sync_wake_by_address_all(address_of(word), sizeof(std::uint32_t), kOsSyncNoFlags);
    } else {
        os_sync_wake_by_address_any(address_of(word), sizeof(std::uint32_t), kOsSyncNoFlags);
    }
}

#endif

#if defined(TORVAN_PARK_FUTEX) || defined(TORVAN_PARK_OS_SYNC)

WaitStatus wait_on_address(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline,
                           bool interruptible) noexcept {
    for (;;) {
        switch (address_wait(word, expected, deadline)) {
            case 0:
                return WaitStatus::Woken;
            case ETIMEDOUT:
                return WaitStatus::TimedOut;
            case EINTR:
                if (interruptible) {
                    return WaitStatus::Interrupted;
                }
                // Relaxed: the caller's own load of the word after we return orders what it reads.
                if (word.load(std::memory_order_relaxed) != expected) {
                    return WaitStatus::Woken;
                }
                continue;
            default:
                return WaitStatus::Woken;  // treat anything else as a spurious wake
        }
    }
}

#endif

#if defined(TORVAN_PARK_BUCKETS)

// Without a wait on an address, a waiter sleeps on the condition variable of
// the bucket its word hashes to; words that share a bucket share its wakes.
struct Bucket {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
};

constexpr std::size_t kBuckets = 256;

class BucketTable {
public:
    BucketTable() noexcept {
#if !defined(__APPLE__)
        // Timed waits measure on the monotonic clock: a change of the wall
        // clock must neither stretch nor cut a timeout. (macOS waits take a
        // span instead, see sleep().)
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        for (Bucket& b : buckets_) {
            pthread_cond_init(&b.cond, &attr);
        }
        pthread_condattr_destroy(&attr);
#endif
    }

    Bucket& bucket_for(const void* address) noexcept {
        auto bits = reinterpret_cast<std::uintptr_t>(address);
        bits ^= bits >> 17;
        bits *= 0x9E3779B97F4A7C15ull;
        return buckets_[(bits >> 32) % kBuckets];
    }

private:
    std::array<Bucket, kBuckets> buckets_;
};

// Never destroyed: threads still parked at exit keep using their bucket.
BucketTable& buckets() noexcept {
    static BucketTable* table = new BucketTable();
    return *table;
}

// Sleeps on the bucket's condition variable (its mutex held) until woken or
// until `until` on the monotonic clock; true when that time came.
bool sleep(Bucket& b, std::uint64_t until) noexcept {
    if (until == UINT64_MAX) {
        pthread_cond_wait(&b.cond, &b.mutex);
        return false;
    }
    const std::uint64_t now = monotonic_now_ns();
    if (now >= until) {
        return true;
    }
#if defined(__APPLE__)
    const std::uint64_t span = until - now;
    const timespec relative{static_cast<time_t>(span / 1'000'000'000u), static_cast<long>(span % 1'000'000'000u)};
    return pthread_cond_timedwait_relative_np(&b.cond, &b.mutex, &relative) == ETIMEDOUT;
#else
    const timespec abs{static_cast<time_t>(until / 1'000'000'000u), static_cast<long>(until % 1'000'000'000u)};
    return pthread_cond_timedwait(&b.cond, &b.mutex, &abs) == ETIMEDOUT;
#endif
}

// Interruptible waits sleep in short slices: without a signal-aware sleep here,
// the caller gets regular chances to look for pending signals.
constexpr std::uint64_t kInterruptSliceNs = 20'000'000;

WaitStatus wait_in_bucket(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline,
                          bool interruptible) noexcept {
    Bucket& b = buckets().bucket_for(&word);
    pthread_mutex_lock(&b.mutex);
    WaitStatus status = WaitStatus::Woken;
    // Relaxed is enough: the waker changes the word before it takes this
    // mutex to wake, so the mutex orders the two; the caller loads the word
    // again with the ordering it needs.
    if (word.load(std::memory_order_relaxed) == expected) {
        const std::uint64_t deadline_ns = deadline.is_never() ? UINT64_MAX : deadline.ns();
        std::uint64_t until = deadline_ns;
        bool sliced = false;
        if (interruptible) {
            const std::uint64_t now = monotonic_now_ns();
            if (until == UINT64_MAX || (until > now && until - now > kInterruptSliceNs)) {
                until = now + kInterruptSliceNs;
                sliced = true;
            }
        }
        if (sleep(b, until)) {
            status = sliced ? WaitStatus::Interrupted : WaitStatus::TimedOut;
        }
    }
    pthread_mutex_unlock(&b.mutex);
    return status;
}

void wake_bucket(const std::atomic<std::uint32_t>& word) noexcept {
    Bucket& b = buckets().bucket_for(&word);
    pthread_mutex_lock(&b.mutex);
    pthread_cond_broadcast(&b.cond);
    pthread_mutex_unlock(&b.mutex);
}

#endif

}  // namespace

WaitStatus wait_on_word(const std::atomic<std::uint32_t>& word, std::uint32_t expected, Deadline deadline,
                        bool interruptible) noexcept {
#if defined(TORVAN_PARK_OS_SYNC)
    if (address_wait_available()) {
        return wait_on_address(word, expected, deadline, interruptible);
    }
#endif
#if defined(TORVAN_PARK_FUTEX)
    return wait_on_address(word, expected, deadline, interruptible);
#else
    return wait_in_bucket(word, expected, deadline, interruptible);
#endif
}

namespace {
void wake(const std::atomic<std::uint32_t>& word, bool all) noexcept {
#if defined(TORVAN_PARK_OS_SYNC)
    if (address_wait_available()) {
        address_wake(word, all);
        return;
    }
#endif
#if defined(TORVAN_PARK_FUTEX)
    address_wake(word, all);
#else
    (void)all;
    wake_bucket(word);  // buckets are shared between words, so wake them all
#endif
}
}  // namespace

void wake_one(const std::atomic<std::uint32_t>& word) noexcept { wake(word, false); }

void wake_all(const std::atomic<std::uint32_t>& word) noexcept { wake(word, true); }

const char* park_mechanism() noexcept {
#if defined(TORVAN_PARK_FUTEX)
    return "futex";
#else
#if defined(TORVAN_PARK_OS_SYNC)
    if (address_wait_available()) {
        return "os_sync_wait_on_address";
    }
#endif
    return "buckets";
#endif
}

}  // namespace torvan::platform
