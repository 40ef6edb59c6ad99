#pragma once
// Channel in asyncio code: the awaitables of arecv(), asend() and `async for`.
//
// An awaitable tries its operation when it is first awaited, on the loop's
// thread; an item or room that is there completes it at once. Otherwise the
// coroutine waits without a thread: its task waits on an asyncio future that
// a wake from the channel engine completes (loop_wakeups.hpp), and it then
// tries again. Nothing is taken until the coroutine itself runs again, so a
// cancelled wait has taken nothing, and a coroutine whose loop never runs it
// again holds no item (engine/remote_wait.hpp). The one exception is a send
// on a rendezvous channel, whose waiting item a receiver takes at once: a
// cancellation or timeout that arrives after that loses to it, and the await
// reports the item sent instead of raising.
//
// While a task awaits, the awaitable is stepped by that task alone, as a
// coroutine is: a second await, or a step from another thread, raises
// RuntimeError and changes nothing. close() from anywhere ends the wait and
// wakes the task.

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
