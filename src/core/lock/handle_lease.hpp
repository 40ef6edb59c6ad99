#pragma once
// A guard's reference to its lock handle, counted on a line of its own
// thread instead of the handle's shared count.
//
// Every `with lock.read():` makes and destroys a guard. Counting those
// references on the handle would bounce the handle's cache line (which also
// holds the lock word) between reading threads twice more per read. Instead
// each thread leases the handles it uses: a lease owns one counted handle
// reference and is itself counted by the guards made on that thread. The
// thread keeps its few most recent leases, so that the handle of a lock it
// keeps using is not re-counted on every read. A cached lease keeps its lock
// alive a little longer than its last guard, until the thread moves on to
// other locks or ends.

#include <atomic>
#include <cstdint>
#include <utility>

#include "core/lock/lock_handle.hpp"
#include "core/sync/cache_line.hpp"

namespace torvan::lock {

// A line of its own: a lease is written by its thread on every read, and must
// not share a line with another thread's lease or anything else hot.
//
// Counted the way the interpreter counts objects on 3.14t: references taken
// and dropped on the lease's own thread change a plain count; the few dropped
// elsewhere (an entered guard destroyed on another thread) go to an atomic
// one. While its thread caches the lease, the plain count includes the cache's
// reference and never reaches zero; when the thread lets go of it (evicted, or
// the thread ends) the plain count moves into the atomic one, which from then
// on counts every reference, and the last to go deletes the lease.
class alignas(sync::kCacheLine) HandleLease {
public:
    // A new lease on the handle, cached by the calling thread, with one more
    // reference for the caller.
    static HandleLease* create_cached(const LockRef& handle) {
        return new HandleLease(handle.clone(), /*local=*/2, /*shared=*/0);
    }
    // A lease the calling thread does not cache, with one reference for the caller.
    static HandleLease* create_uncached(const LockRef& handle) {
        return new HandleLease(handle.clone(), /*local=*/0, kMerged + 1);
    }

    LockHandle& handle() const noexcept { return *handle_; }
    LockRef handle_ref() const noexcept { return handle_.clone(); }

    // On the lease's own thread, while it caches the lease.
    void retain() noexcept { ++local_; }
    // On the lease's own thread.
    void release() noexcept {
        if (!merged_) {
            --local_;  // the cache's reference keeps it above zero
        } else {
            release_elsewhere();
        }
    }
    // On any other thread.
    // Acq_rel, here and in uncache(): every holder's use of the lease comes
    // before the delete by whichever drops the count to zero.
    void release_elsewhere() noexcept {
        if (shared_.fetch_sub(1, std::memory_order_acq_rel) == kMerged + 1) {
            delete this;
        }
    }
    // On the lease's own thread: drops the cache's reference and hands the
    // rest of the count over to the atomic side.
    void uncache() noexcept {
        std::int64_t remaining = static_cast<std::int64_t>(local_) - 1;
        merged_ = true;
        if (shared_.fetch_add(remaining + kMerged, std::memory_order_acq_rel) + remaining == 0) {
            delete this;
        }
    }

private:
    // Marks the atomic count as the whole count; far above any real count.
    static constexpr std::int64_t kMerged = std::int64_t{1} << 62;

    HandleLease(LockRef handle, std::uint64_t local, std::int64_t shared) noexcept
        : handle_(std::move(handle)), local_(local), merged_(shared != 0), shared_(shared) {}

    LockRef handle_;
    std::uint64_t local_;  // the lease's own thread only
    bool merged_;          // the lease's own thread only
    // Before merging: minus the references dropped elsewhere. After: kMerged
    // plus every reference left.
    std::atomic<std::int64_t> shared_;
};

// One counted reference to a lease: what a guard holds. Dropped on the thread
// that took it, or with reset_elsewhere() on another.
class LeasedRef {
public:
    LeasedRef() noexcept = default;
    // A reference for a guard made on the calling thread, from the thread's
    // cached lease on the handle (leasing it first if need be).
    static LeasedRef on_this_thread(const LockRef& handle);

    void reset() noexcept { lease_.reset(); }
    void reset_elsewhere() noexcept {
        if (HandleLease* lease = lease_.release()) {
            lease->release_elsewhere();
        }
    }
    explicit operator bool() const noexcept { return static_cast<bool>(lease_); }
    LockHandle& operator*() const noexcept { return lease_->handle(); }
    LockHandle* operator->() const noexcept { return &lease_->handle(); }
    // A counted reference to the handle itself, independent of the lease.
    LockRef handle_ref() const noexcept { return lease_->handle_ref(); }

private:
    explicit LeasedRef(HandleLease* lease) noexcept : lease_(lease) {}
    // Released with HandleLease::release(), for the lease's own thread.
    sync::CountedRef<HandleLease> lease_;
};

}  // namespace torvan::lock
