#pragma once
// The shared handle to one reader-writer lock. The RwLock object and every
// guard made from it hold a reference, so the lock lives until the last of
// them is gone. Counting is atomic: references may be taken and dropped on
// any thread, attached or not.

#include <atomic>
#include <cstdint>
#include <utility>

#include "lock/raw_rwlock.hpp"

namespace torvan::lock {

// Everything that every acquisition touches shares one cache line: the lock
// word and the reference count are hit together on each `with lock.read():`.
class alignas(64) LockHandle {
public:
    RawRwLock lock;
    // The thread holding exclusive access (0 when none), so that a thread
    // re-entering its own lock fails instead of waiting for itself. Only
    // compared against the reader's own id, so relaxed ordering suffices.
    std::atomic<std::uint64_t> writer_thread{0};

    // Distinct for every lock of the process, unlike its address, which a
    // later lock may reuse.
    std::uint64_t id() const noexcept { return id_; }

private:
    friend class LockRef;
    LockHandle() noexcept : id_(next_id_.fetch_add(1, std::memory_order_relaxed)) {}

    std::atomic<std::uint64_t> references_{1};
    const std::uint64_t id_;
    static inline std::atomic<std::uint64_t> next_id_{1};
};

// One counted reference to a LockHandle.
class LockRef {
public:
    LockRef() noexcept = default;
    static LockRef make() { return LockRef(new LockHandle()); }

    LockRef(LockRef&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    LockRef& operator=(LockRef&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    LockRef(const LockRef&) = delete;
    LockRef& operator=(const LockRef&) = delete;
    ~LockRef() { reset(); }

    LockRef clone() const noexcept {
        handle_->references_.fetch_add(1, std::memory_order_relaxed);
        return LockRef(handle_);
    }
    void reset() noexcept {
        LockHandle* handle = std::exchange(handle_, nullptr);
        if (handle != nullptr && handle->references_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            delete handle;
        }
    }

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    LockHandle& operator*() const noexcept { return *handle_; }
    LockHandle* operator->() const noexcept { return handle_; }

private:
    explicit LockRef(LockHandle* handle) noexcept : handle_(handle) {}
    LockHandle* handle_ = nullptr;
};

}  // namespace torvan::lock
