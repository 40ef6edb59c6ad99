#pragma once
// Channel in asyncio code: the awaitables of arecv(), asend() and `async for`.
//
// An awaitable tries its operation when it is first awaited, on the loop's
// thread; an item or room that is there completes it at once. Otherwise the
// coroutine waits without a thread: its task waits on an asyncio future that
// a wake from the channel engine completes (loop_wakeups.hpp), and it then
// tries again. On bounded and unbounded channels nothing is taken until the
// coroutine itself runs again, so a cancelled wait has taken nothing. On a
// rendezvous channel a partner hands the item over to the waiting coroutine
// (engine/remote_wait.hpp); a cancellation or timeout that arrives after the
// hand-over loses to it, and the await completes with the item received (or
// reports the item sent) instead of raising.

#include <optional>

#include "binding/owned_ref.hpp"
#include "binding/python.hpp"
#include "channel/channel_types.hpp"
#include "channel/sender_slot.hpp"

namespace torvan::channel {

// The parts of a Channel object that its awaitables work on. They live as
// long as the object, which every awaitable keeps alive.
struct ChannelParts {
    SenderSlot* sender;
    const DataReceiver* receiver;
    const CloseReceiver* close_receiver;
};

// What a receive does when the channel is closed and drained: raise
// ValueError (arecv) or end an `async for` with StopAsyncIteration.
enum class ReceiveEnd { Raise, EndIteration };

// The awaitables, for the running loop; without one, asyncio's RuntimeError.
binding::OwnedRef await_receive(PyObject* channel, ChannelParts parts, std::optional<double> timeout, ReceiveEnd end);
binding::OwnedRef await_send(PyObject* channel, ChannelParts parts, Item item, std::optional<double> timeout);

// Builds the awaitable's type and the names it uses; at module registration.
void init_channel_async();

}  // namespace torvan::channel
