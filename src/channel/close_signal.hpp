#pragma once
// The only sender of a Channel's close signal, behind a mutex. Dropping it
// disconnects the signal, which makes every receive on any clone of the
// close receiver ready at once: that is how close() wakes every waiter.

#include <mutex>
#include <utility>

#include "channel/channel_types.hpp"
#include "core/sync/word_mutex.hpp"

namespace torvan::channel {

class CloseSenderSlot {
public:
    explicit CloseSenderSlot(CloseSender sender) noexcept : sender_(std::move(sender)) {}
    CloseSenderSlot(const CloseSenderSlot&) = delete;
    CloseSenderSlot& operator=(const CloseSenderSlot&) = delete;

    // Empties the slot; the caller drops what it returns, which broadcasts.
    [[nodiscard]] CloseSender take() noexcept {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        return std::move(sender_);
    }

private:
    sync::WordMutex mutex_;
    CloseSender sender_;
};

}  // namespace torvan::channel
