#pragma once
// Access to a lock held by an entered guard. Owning one means the access is
// held; destroying it (on the owner thread) releases the access and updates
// the thread's bookkeeping. An access never owns a reference to the handle:
// the guard holding it does, for at least as long.

#include <cstdint>
#include <utility>

#include "core/lock/lock_handle.hpp"
#include "core/lock/thread_reads.hpp"

namespace torvan::lock {

class ReadAccess {
public:
    ReadAccess() noexcept = default;
    // Takes over shared access the calling thread `owner` has just acquired.
    static ReadAccess adopt(LockHandle& handle, std::uint64_t owner, ReadTicket ticket) {
        try {
            thread_reads::note_acquired(handle.id());
        } catch (...) {
            handle.lock.unlock_shared(ticket);
            throw;
        }
        return ReadAccess(&handle, owner, ticket);
    }

    ReadAccess(ReadAccess&& other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), owner_(other.owner_), ticket_(other.ticket_) {}
    ReadAccess& operator=(ReadAccess&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, nullptr);
            owner_ = other.owner_;
            ticket_ = other.ticket_;
        }
        return *this;
    }
    ~ReadAccess() { release(); }

    explicit operator bool() const noexcept { return handle_ != nullptr; }

    // On the thread that acquired it: lowers the read depth, then releases.
    void release() noexcept {
        if (LockHandle* handle = std::exchange(handle_, nullptr)) {
            thread_reads::note_released(handle->id());
            handle->lock.unlock_shared(ticket_);
        }
    }
    // On another thread, whose bookkeeping this access is not part of: the
    // lock tells the owner when it next needs to know.
    void release_elsewhere() noexcept {
        if (LockHandle* handle = std::exchange(handle_, nullptr)) {
            handle->note_foreign_release(owner_);
            handle->lock.unlock_shared(ticket_);
        }
    }

private:
    ReadAccess(LockHandle* handle, std::uint64_t owner, ReadTicket ticket) noexcept
        : handle_(handle), owner_(owner), ticket_(ticket) {}
    LockHandle* handle_ = nullptr;
    std::uint64_t owner_ = 0;
    ReadTicket ticket_;  // where the read was counted, whichever thread releases it
};

class WriteAccess {
public:
    WriteAccess() noexcept = default;
    // Takes over exclusive access the thread `owner` has just acquired.
    static WriteAccess adopt(LockHandle& handle, std::uint64_t owner) noexcept {
        handle.writer_thread.store(owner, std::memory_order_relaxed);
        return WriteAccess(&handle);
    }

    WriteAccess(WriteAccess&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    WriteAccess& operator=(WriteAccess&& other) noexcept {
        if (this != &other) {
            release();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~WriteAccess() { release(); }

    explicit operator bool() const noexcept { return handle_ != nullptr; }

    void release() noexcept {
        if (LockHandle* handle = std::exchange(handle_, nullptr)) {
            handle->writer_thread.store(0, std::memory_order_relaxed);
            handle->lock.unlock_exclusive();
        }
    }
    // A write access keeps no per-thread bookkeeping: any thread may release it.
    void release_elsewhere() noexcept { release(); }

private:
    explicit WriteAccess(LockHandle* handle) noexcept : handle_(handle) {}
    LockHandle* handle_ = nullptr;
};

}  // namespace torvan::lock
