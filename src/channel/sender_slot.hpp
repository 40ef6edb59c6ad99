#pragma once
// The data Sender of a Channel behind a reader-writer lock: shared while a
// call sends or clones it, exclusive only for close(), which empties the slot
// for good. The lock is held for a clone or a non-blocking attempt, never
// across a wait, and nothing Python runs or is released under it.

#include <utility>

#include "channel/channel_types.hpp"
#include "lock/raw_rwlock.hpp"

namespace torvan::channel {

class SenderSlot {
public:
    explicit SenderSlot(DataSender sender) noexcept : sender_(std::move(sender)) {}
    SenderSlot(const SenderSlot&) = delete;
    SenderSlot& operator=(const SenderSlot&) = delete;

    // Runs `body` with the Sender (null once closed) under the shared lock.
    template <class Body>
    decltype(auto) with_shared(Body&& body) {
        SharedHold hold(lock_);
        return body(sender_ ? &sender_ : static_cast<const DataSender*>(nullptr));
    }

    // Empties the slot; the caller drops what it returns outside the lock.
    [[nodiscard]] DataSender take() noexcept {
        lock_.lock_exclusive();
        DataSender taken = std::move(sender_);
        lock_.unlock_exclusive();
        return taken;
    }

private:
    class SharedHold {
    public:
        explicit SharedHold(lock::RawRwLock& lock) : lock_(lock), ticket_(lock_.lock_shared(false)) {}
        ~SharedHold() { lock_.unlock_shared(ticket_); }
        SharedHold(const SharedHold&) = delete;
        SharedHold& operator=(const SharedHold&) = delete;

    private:
        lock::RawRwLock& lock_;
        lock::ReadTicket ticket_;
    };

    lock::RawRwLock lock_;
    DataSender sender_;
};

}  // namespace torvan::channel
