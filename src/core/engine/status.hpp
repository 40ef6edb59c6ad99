#pragma once
// Outcomes of channel operations, and the item of signal channels.

namespace torvan::engine {

// Item of channels that carry only the fact that something happened.
struct Empty {};

enum class SendStatus {
    Sent,          // the item was moved into the channel
    Full,          // no room (rendezvous: no receiver waiting); the item is left with the caller
    Disconnected,  // every receiver is gone; the item is left with the caller
    TimedOut,      // the deadline passed; the item is left with the caller
    Interrupted,   // a signal interrupted the sleep; the item is left with the caller
};

enum class RecvStatus {
    Received,      // an item was moved out to the caller
    Empty,         // nothing buffered (rendezvous: no sender waiting)
    Disconnected,  // every sender is gone and nothing is buffered
    TimedOut,      // the deadline passed
    Interrupted,   // a signal interrupted the sleep
};

}  // namespace torvan::engine
