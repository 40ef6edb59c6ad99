#pragma once
// The data Sender of a Channel, present from creation until close(). Sends
// go through a view of it that holds no share of the channel, so a send
// takes no lock and writes nothing but the channel itself. close()
// disconnects the channel for senders at once, clones included (those of
// waiting sends and of SendOps): a send either claimed its place before that,
// and receivers take its item before they see the end, or it reports
// Disconnected. No send can succeed after a receiver was told the channel is
// closed and empty. The view stays valid because the Channel keeps its
// Receiver for its whole life.

#include <atomic>
#include <optional>
#include <utility>

#include "channel/channel_types.hpp"

namespace torvan::channel {

class SenderSlot {
public:
    explicit SenderSlot(DataSender sender) noexcept : view_(sender.ref()), own_(std::move(sender)) {}
    // Only before the Channel is published: the source is not shared yet.
    SenderSlot(SenderSlot&& other) noexcept
        : view_(other.view_), own_(std::move(other.own_)), open_(other.open_.load(std::memory_order_relaxed)) {
        other.open_.store(false, std::memory_order_relaxed);
    }
    SenderSlot(const SenderSlot&) = delete;
    SenderSlot& operator=(const SenderSlot&) = delete;

    bool is_closed() const noexcept { return !open_.load(std::memory_order_acquire); }

    // A send that does not wait: Sent, Full or Disconnected; nothing once
    // the channel is closed. Inline in every caller, since a send's fast
    // path is little else (out of line, send+recv on one thread took 5 ns
    // more).
    [[gnu::always_inline]] std::optional<engine::SendStatus> try_send(Item& item) const {
        if (is_closed()) {
            return std::nullopt;
        }
        return view_.try_send_inline(item);
    }

    // A Sender of the caller's own, for a wait or a SendOp; empty once the
    // channel is closed (or disconnected by a close() that is under way).
    DataSender clone() const { return is_closed() ? DataSender{} : view_.try_clone(); }

    // The first call closes the slot, disconnects the channel for senders
    // and hands over the Channel's own Sender, for the caller to drop; later
    // calls hand over an empty one.
    [[nodiscard]] DataSender close() noexcept {
        if (!open_.exchange(false, std::memory_order_acq_rel)) {
            return DataSender{};
        }
        view_.disconnect_senders();
        return std::move(own_);
    }

private:
    engine::SenderRef<Item> view_;
    DataSender own_;  // touched only by the close() that closes, and on destruction
    std::atomic<bool> open_{true};
};

}  // namespace torvan::channel
