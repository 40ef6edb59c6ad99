// Channel: a multi-producer multi-consumer channel of Python objects on the
// engine, with close(), timeouts, iteration, `with` and asyncio adapters.
//
// Sends and receives first try without waiting, attached and without cloning
// anything; only a call that must wait clones the handles it waits on and
// detaches. close() empties the sender slot, which disconnects the channel for
// every sender, and then drops the close signal's only sender, so every
// waiter wakes and finds the channel closed for sends, while receivers still
// drain what is buffered.

#include "channel/channel.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "binding/methods.hpp"
#include "binding/repr_text.hpp"
#include "binding/type_object.hpp"
#include "channel/channel_async.hpp"
#include "channel/channel_errors.hpp"
#include "channel/channel_types.hpp"
#include "channel/channel_wait.hpp"
#include "channel/close_signal.hpp"
#include "channel/messages.hpp"
#include "channel/ops.hpp"
#include "channel/sender_slot.hpp"
#include "channel/timeout.hpp"

namespace torvan::channel {

namespace {

using binding::Instance;
using binding::Object;
using binding::OwnedRef;
using binding::raise;
using binding::ReturnSelf;

// The receiver is never replaced while the object lives and only ever read,
// so it needs no lock; nor does the sender slot, which sends only read.
struct ChannelState {
    std::optional<std::uint64_t> capacity;  // none: unbounded
    DataReceiver receiver;
    CloseReceiver close_receiver;
    SenderSlot sender;
    CloseSenderSlot close_sender;

    ChannelState(std::optional<std::uint64_t> capacity, std::pair<DataSender, DataReceiver> data,
                 std::pair<CloseSender, CloseReceiver> signal) noexcept
        : capacity(capacity),
          receiver(std::move(data.second)),
          close_receiver(std::move(signal.second)),
          sender(std::move(data.first)),
          close_sender(std::move(signal.first)) {}

    // Only before the object is published: the source is not shared yet.
    ChannelState(ChannelState&& other) noexcept
        : capacity(other.capacity),
          receiver(std::move(other.receiver)),
          close_receiver(std::move(other.close_receiver)),
          sender(std::move(other.sender)),
          close_sender(other.close_sender.take()) {}
    ChannelState& operator=(ChannelState&&) = delete;

    // Handles go in this order: the data sender, the data receiver (the last
    // data handle takes the buffered items with it), then the close signal,
    // which wakes whoever still waits with an operation of this channel.
    ~ChannelState() {
        sender.close().reset();
        receiver.reset();
        close_sender.take().reset();
        close_receiver.reset();
    }

    // The reference a send hands over. Only the unbounded flavour's slots
    // keep what a receive leaves (see OwnedRef::for_a_returning_slot).
    Item item_for_send(PyObject* object) const noexcept {
        return capacity ? Item::for_another_thread(object) : Item::for_a_returning_slot(object);
    }
};

struct ChannelClass : binding::ClassTraits {
    static constexpr const char* kName = "Channel";
    using State = ChannelState;
    static binding::ClassDefinition definition();
};
using Self = Instance<ChannelClass>;

ChannelState construct(std::optional<std::int64_t> capacity) {
    if (capacity && *capacity < 0) {
        raise(PyExc_ValueError, "Capacity must be non-negative");
    }
    std::optional<std::uint64_t> stored;
    if (capacity) {
        stored = static_cast<std::uint64_t>(*capacity);
    }
    auto data = stored ? engine::bounded<Item>(static_cast<std::size_t>(*stored)) : engine::unbounded<Item>();
    return ChannelState(stored, std::move(data), engine::bounded<engine::Empty>(0));
}

// Sending ---------------------------------------------------------------------

[[noreturn]] void send_failed(SendOutcome outcome) {
    if (outcome == SendOutcome::TimedOut) {
        raise(PyExc_TimeoutError, kSendTimedOut);
    }
    raise_channel_error(ChannelError::Closed, kClosed);
}

// The wait of a send that could not (or, with a timeout, did not try to)
// complete at once; `sender` is the caller's own clone.
void wait_to_send_or_raise(ChannelState& state, const DataSender& sender, Item& item,
                           std::optional<double> timeout) {
    CloseReceiver closed = state.close_receiver.clone();
    std::optional<platform::Duration> duration = channel_timeout(timeout);
    SendOutcome outcome = wait_to_send(sender, closed, item, duration);
    if (outcome != SendOutcome::Sent) {
        send_failed(outcome);
    }
}

// A send through the channel's own sender that does not wait: true when
// sent, false when full (the item stays with the caller); raises when closed.
// Inline in every caller, like SenderSlot::try_send.
[[gnu::always_inline]] inline bool sent_at_once(ChannelState& state, Item& item) {
    std::optional<engine::SendStatus> status = state.sender.try_send(item);
    if (!status || *status == engine::SendStatus::Disconnected) {
        raise_channel_error(ChannelError::Closed, kClosed);
    }
    return *status == engine::SendStatus::Sent;
}

// Without a timeout: a first attempt through the channel's own sender; a
// clone is made only when the item has to wait for room.
void send_now_or_wait(ChannelState& state, Item item) {
    if (!sent_at_once(state, item)) {
        DataSender waiting = state.sender.clone();
        if (!waiting) {
            raise_channel_error(ChannelError::Closed, kClosed);  // closed since the attempt
        }
        wait_to_send_or_raise(state, waiting, item, std::nullopt);
    }
}

// With a timeout, a first attempt only where it ends as the wait would (see
// may_try_before_waiting): a zero timeout races the send against an expired
// timer.
[[gnu::noinline]] void send_within(ChannelState& state, Item item, double timeout) {
    if (may_try_before_waiting(timeout) && sent_at_once(state, item)) {
        return;
    }
    DataSender sender = state.sender.clone();
    if (!sender) {
        raise_channel_error(ChannelError::Closed, kClosed);
    }
    wait_to_send_or_raise(state, sender, item, timeout);
}

void send(Self& self, Object item, std::optional<double> timeout) {
    if (timeout) {
        send_within(self.state, self.state.item_for_send(item.ptr), *timeout);
    } else {
        send_now_or_wait(self.state, self.state.item_for_send(item.ptr));
    }
}

void send_timeout(Self& self, Object item, double timeout) {
    send_within(self.state, self.state.item_for_send(item.ptr), timeout);
}

void try_send(Self& self, Object item) {
    Item owned = self.state.item_for_send(item.ptr);
    if (!sent_at_once(self.state, owned)) {
        raise_channel_error(ChannelError::Full, "Channel is full");
    }
}

// Receiving -------------------------------------------------------------------

// The receive of a call that found nothing at once, or has a timeout.
RecvOutcome wait_to_receive_on(ChannelState& state, std::optional<double> timeout) {
    DataReceiver receiver = state.receiver.clone();
    CloseReceiver closed = state.close_receiver.clone();
    std::optional<platform::Duration> duration = channel_timeout(timeout);
    return wait_to_receive(receiver, closed, duration);
}

// Without a timeout: a first attempt on the channel's own receiver, then the
// wait. A disconnected channel has lost every sender and is drained, so
// nothing can arrive any more and waiting could only end the same way.
RecvOutcome receive(ChannelState& state) {
    std::optional<Item> got;
    switch (state.receiver.try_recv_inline(got)) {
        case engine::RecvStatus::Received:
            return RecvOutcome{RecvOutcome::Kind::Received, std::move(*got)};
        case engine::RecvStatus::Disconnected:
            return RecvOutcome{RecvOutcome::Kind::ClosedAndEmpty, {}};
        default:
            return wait_to_receive_on(state, std::nullopt);
    }
}

OwnedRef received_or_raise(RecvOutcome outcome) {
    switch (outcome.kind) {
        case RecvOutcome::Kind::Received:
            return std::move(outcome.item);
        case RecvOutcome::Kind::ClosedAndEmpty:
            raise_channel_error(ChannelError::Closed, kClosedAndEmpty);
        case RecvOutcome::Kind::TimedOut:
            break;
    }
    raise(PyExc_TimeoutError, kRecvTimedOut);
}

// An item at once, or nothing when the channel is empty; raises when it is
// closed and empty. receive() without outcome records, for the common case;
// inline in every caller, like SenderSlot::try_send.
[[gnu::always_inline]] inline std::optional<Item> ready_item(ChannelState& state) {
    std::optional<Item> got;
    switch (state.receiver.try_recv_inline(got)) {
        case engine::RecvStatus::Received:
            return got;
        case engine::RecvStatus::Disconnected:
            raise_channel_error(ChannelError::Closed, kClosedAndEmpty);
        default:
            return std::nullopt;
    }
}

// With a timeout, a first attempt only where it ends as the wait would (see
// may_try_before_waiting): a zero timeout races the receive against an
// expired timer.
[[gnu::noinline]] OwnedRef receive_within(ChannelState& state, double timeout) {
    if (may_try_before_waiting(timeout)) {
        if (std::optional<Item> got = ready_item(state)) {
            return std::move(*got);
        }
    }
    return received_or_raise(wait_to_receive_on(state, timeout));
}

OwnedRef recv(Self& self, std::optional<double> timeout) {
    if (timeout) {
        return receive_within(self.state, *timeout);
    }
    if (std::optional<Item> got = ready_item(self.state)) {
        return std::move(*got);
    }
    return received_or_raise(wait_to_receive_on(self.state, std::nullopt));
}

OwnedRef recv_timeout(Self& self, double timeout) { return receive_within(self.state, timeout); }

// Does not look at the close: a closed channel still reports empty, not
// closed and empty, for as long as a Sender made before the close lives (a
// SendOp's, or a waiting send's), though none of them can send any more.
OwnedRef try_recv(Self& self) {
    std::optional<Item> got;
    switch (self.state.receiver.try_recv_inline(got)) {
        case engine::RecvStatus::Received:
            return std::move(*got);
        case engine::RecvStatus::Disconnected:
            if (!self.state.receiver.has_senders()) {
                raise_channel_error(ChannelError::Closed, kClosedAndEmpty);
            }
            [[fallthrough]];
        default:
            raise_channel_error(ChannelError::Empty, "Channel is empty");
    }
}

// Closing -----------------------------------------------------------------------

void close(Self& self) {
    // Both handles are dropped outside their slots.
    self.state.sender.close().reset();
    self.state.close_sender.take().reset();
}

OwnedRef capacity(Self& self) {
    if (!self.state.capacity) {
        return OwnedRef::borrow(Py_None);
    }
    return binding::checked(PyLong_FromUnsignedLongLong(*self.state.capacity));
}

// What a channel holds --------------------------------------------------------

// Snapshots: sends, receives and close() on other threads change them at once.
Py_ssize_t length(Self& self) { return static_cast<Py_ssize_t>(self.state.receiver.len()); }

bool closed(Self& self) { return self.state.sender.is_closed(); }

// A channel is a connection, not a container: it stays true when empty, so
// that `if channel:` tests whether there is one, as it does for a queue.
bool always_true(Self&) { return true; }

std::string repr(Self& self) {
    std::string text = "<Channel capacity=";
    text += self.state.capacity ? std::to_string(*self.state.capacity) : "None";
    text += " buffered=" + std::to_string(self.state.receiver.len());
    text += std::string(" closed=") + binding::python_bool(self.state.sender.is_closed());
    text += " at " + binding::address_of(self.object()) + ">";
    return text;
}

// select() operations -----------------------------------------------------------

OwnedRef recv_op(Self& self) {
    return make_recv_op(RecvOpState{self.state.receiver.clone(), self.state.close_receiver.clone()});
}

OwnedRef send_op(Self& self, Object item) {
    Item owned = self.state.item_for_send(item.ptr);
    DataSender sender = self.state.sender.clone();
    if (!sender) {
        raise_channel_error(ChannelError::Closed, kClosed);
    }
    return make_send_op(SendOpState{std::move(sender), self.state.close_receiver.clone(), std::move(owned)});
}

// Iteration and context manager -------------------------------------------------

ReturnSelf iter(Self&) { return {}; }

// A null result ends the iteration: only once the channel is closed and
// drained, after which no send can put anything in (SenderSlot::close).
// Anything else that stops the receive (a KeyboardInterrupt raised by a
// signal handler, say) reaches the caller.
OwnedRef next_item(Self& self) {
    RecvOutcome outcome = receive(self.state);
    if (outcome.kind == RecvOutcome::Kind::Received) {
        return std::move(outcome.item);
    }
    return OwnedRef{};
}

ReturnSelf enter_context(Self&) { return {}; }

void exit_context(Self& self, Object, Object, Object) { close(self); }

// asyncio: awaitables that complete at once when they can and otherwise
// wait without a thread (channel_async.hpp).

ChannelParts parts_of(ChannelState& state) { return {&state.sender, &state.receiver}; }

OwnedRef arecv(Self& self, std::optional<double> timeout) {
    return await_receive(self.object(), parts_of(self.state), timeout, ReceiveEnd::Raise);
}

OwnedRef asend(Self& self, Object item, std::optional<double> timeout) {
    return await_send(self.object(), parts_of(self.state), self.state.item_for_send(item.ptr), timeout);
}

ReturnSelf aiter(Self&) { return {}; }

OwnedRef anext(Self& self) {
    return await_receive(self.object(), parts_of(self.state), std::nullopt, ReceiveEnd::EndIteration);
}

// Descriptions and table ----------------------------------------------------------

constexpr const char* kClassDoc =
    "A thread-safe, lock-free message passing channel built on a native multi-producer multi-consumer channel "
    "engine.\n"
    "Supports bounded, unbounded, and unbuffered (capacity=0) rendezvous modes.";

constexpr const char* kRecvDoc =
    "Block and receive an item from the channel. Releases the GIL while waiting.\n"
    "\n"
    "# Concurrency & Closing Behavior\n"
    "When multiple worker threads are blocked on `recv()` when `close()` is called,\n"
    "all threads are unblocked simultaneously. Any buffered items in the channel\n"
    "are drained by the unblocked threads until empty. Threads calling `recv()` after\n"
    "the buffer is drained will receive `PyValueError(\"Channel is closed and empty\")`.";

using binding::method;

binding::ClassDefinition ChannelClass::definition() {
    return {
        .doc = kClassDoc,
        .constructor = binding::constructor<ChannelClass, &construct, "capacity=None">(),
        .methods = {
            method<&send, "send", "item", "timeout=None">(
                "Block and send an item into the channel. Releases the GIL while waiting."),
            method<&recv, "recv", "timeout=None">(kRecvDoc),
            method<&try_send, "try_send", "item">("Non-blocking send. Raises RuntimeError if full, ValueError if closed."),
            method<&try_recv, "try_recv">("Non-blocking receive. Raises RuntimeError if empty, ValueError if closed."),
            method<&send_timeout, "send_timeout", "item", "timeout">(
                "Block and send an item with a timeout. Releases the GIL."),
            method<&recv_timeout, "recv_timeout", "timeout">("Block and receive an item with a timeout. Releases the GIL."),
            method<&close, "close">(
                "Close the channel for sending. Drops sender and unblocks pending receivers.\n"
                "Note: Receiver remains active to allow draining any remaining buffered items."),
            method<&recv_op, "recv_op">(
                "Create a Receive Operation wrapper for `select()`.\n"
                "Remains available after `close()` to allow draining existing items in the channel buffer."),
            method<&send_op, "send_op", "item">("Create a Send Operation wrapper for `select()`."),
            method<&enter_context, "__enter__">(""),
            method<&exit_context, "__exit__", "_exc_type", "_exc_val", "_exc_tb">(""),
            method<&arecv, "arecv", "timeout=None">("Async version of recv() for compatibility with asyncio event loops."),
            method<&asend, "asend", "item", "timeout=None">(
                "Async version of send() for compatibility with asyncio event loops."),
            binding::class_getitem_def(),
        },
        .getset = {
            binding::getter_def<&capacity>("capacity"),
            binding::getter_def<&closed>("closed", "True once close() has been called: sends are refused from then on."),
        },
        .slots = {
            binding::slot(Py_tp_repr, &binding::unary_entry<&repr>),
            binding::slot(Py_mp_length, &binding::length_entry<&length>),
            binding::slot(Py_nb_bool, &binding::truth_entry<&always_true>),
            binding::slot(Py_tp_iter, &binding::unary_entry<&iter>),
            binding::slot(Py_tp_iternext, &binding::iternext_entry<&next_item>),
            binding::slot(Py_am_aiter, &binding::unary_entry<&aiter>),
            binding::slot(Py_am_anext, &binding::unary_entry<&anext>),
        },
    };
}

}  // namespace

PyTypeObject* channel_type() {
    init_channel_async();
    return binding::TypeObject<ChannelClass>::for_registration();
}

}  // namespace torvan::channel
