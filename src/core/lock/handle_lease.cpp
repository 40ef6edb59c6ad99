#include "core/lock/handle_lease.hpp"

#include <cstddef>

namespace torvan::lock {

namespace {

constexpr std::size_t kCachedLeases = 4;

// Plain storage, reachable without a call and valid until the thread's very
// end, even after the reaper below has run.
struct LeaseCache {
    HandleLease* leases[kCachedLeases];  // most recently used first
    bool closed;                         // the thread is ending: cache nothing more
};
thread_local LeaseCache t_cache __attribute__((tls_model("initial-exec"))) = {};

// Hands the cached leases back when the thread ends.
struct LeaseReaper {
    bool armed = false;
    ~LeaseReaper() {
        t_cache.closed = true;
        for (HandleLease*& lease : t_cache.leases) {
            if (lease != nullptr) {
                std::exchange(lease, nullptr)->uncache();
            }
        }
    }
};
thread_local LeaseReaper t_reaper;

}  // namespace

LeasedRef LeasedRef::on_this_thread(const LockRef& handle) {
    LeaseCache& cache = t_cache;
    for (std::size_t i = 0; i < kCachedLeases; ++i) {
        HandleLease* lease = cache.leases[i];
        if (lease != nullptr && &lease->handle() == &*handle) {
            std::swap(cache.leases[0], cache.leases[i]);
            lease->retain();
            return LeasedRef(lease);
        }
    }
    if (cache.closed) {
        return LeasedRef(HandleLease::create_uncached(handle));
    }
    HandleLease* lease = HandleLease::create_cached(handle);
    t_reaper.armed = true;  // first use on this thread registers its destructor
    if (HandleLease* oldest = cache.leases[kCachedLeases - 1]) {
        oldest->uncache();
    }
    for (std::size_t i = kCachedLeases - 1; i > 0; --i) {
        cache.leases[i] = cache.leases[i - 1];
    }
    cache.leases[0] = lease;
    return LeasedRef(lease);
}

}  // namespace torvan::lock
