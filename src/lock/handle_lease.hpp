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

#include "lock/lock_handle.hpp"

namespace torvan::lock {

// A line of its own: a lease is written by its thread on every read, and must
// not share a line with another thread's lease or anything else hot.
class alignas(64) HandleLease {
public:
    // A new lease on the handle, with one reference for the caller.
    static HandleLease* create(const LockRef& handle) { return new HandleLease(handle.clone()); }

    LockHandle& handle() const noexcept { return *handle_; }
    LockRef handle_ref() const noexcept { return handle_.clone(); }

    void retain() noexcept { references_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept {
        if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete this;
        }
    }

private:
    explicit HandleLease(LockRef handle) noexcept : handle_(std::move(handle)) {}

    LockRef handle_;
    std::atomic<std::uint64_t> references_{1};
};

// One counted reference to a lease: what a guard holds. May be dropped on any
// thread.
class LeasedRef {
public:
    LeasedRef() noexcept = default;
    // A reference for a guard made on the calling thread, from the thread's
    // cached lease on the handle (leasing it first if need be).
    static LeasedRef on_this_thread(const LockRef& handle);

    LeasedRef(LeasedRef&& other) noexcept : lease_(std::exchange(other.lease_, nullptr)) {}
    LeasedRef& operator=(LeasedRef&& other) noexcept {
        if (this != &other) {
            reset();
            lease_ = std::exchange(other.lease_, nullptr);
        }
        return *this;
    }
    LeasedRef(const LeasedRef&) = delete;
    LeasedRef& operator=(const LeasedRef&) = delete;
    ~LeasedRef() { reset(); }

    void reset() noexcept {
        if (HandleLease* lease = std::exchange(lease_, nullptr)) {
            lease->release();
        }
    }
    explicit operator bool() const noexcept { return lease_ != nullptr; }
    LockHandle& operator*() const noexcept { return lease_->handle(); }
    LockHandle* operator->() const noexcept { return &lease_->handle(); }
    // A counted reference to the handle itself, independent of the lease.
    LockRef handle_ref() const noexcept { return lease_->handle_ref(); }

private:
    explicit LeasedRef(HandleLease* lease) noexcept : lease_(lease) {}
    HandleLease* lease_ = nullptr;
};

}  // namespace torvan::lock
