#pragma once
// The waits of Channel.send and Channel.recv: the data operation raced
// against the close signal and, with a timeout, a timer, all in one engine
// wait. They run detached and interruptible (see binding/detached_wait.hpp) on the
// caller's clones of the handles, so no lock of the Channel is held.

#include <optional>

#include "channel/channel_types.hpp"
#include "core/platform/clock.hpp"

namespace torvan::channel {

enum class SendOutcome { Sent, Closed, TimedOut };

// Waits on, in this order: the send of `item`, the close signal, the timer.
// The item leaves `item` only when it was sent.
SendOutcome wait_to_send(const DataSender& sender, const CloseReceiver& closed, Item& item,
                         std::optional<platform::Duration> timeout);

struct RecvOutcome {
    enum class Kind { Received, ClosedAndEmpty, TimedOut };
    Kind kind;
    Item item;  // set when Received
};

// Waits on, in this order: the receive, the close signal, the timer. A close
// signal still hands out an item that is buffered, so that woken receivers
// drain the channel.
RecvOutcome wait_to_receive(const DataReceiver& receiver, const CloseReceiver& closed,
                            std::optional<platform::Duration> timeout);

// After the close signal, detached: one buffered item, if any is left;
// nullopt if a signal interrupted the wait for a send still being written.
std::optional<RecvOutcome> drain_one(const DataReceiver& receiver);

}  // namespace torvan::channel
