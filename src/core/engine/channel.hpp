#pragma once
// Channel handles and their creation. A channel is reached through Sender and
// Receiver handles; every clone counts, and dropping the last handle of one
// kind disconnects the channel for the other kind.
//
// Flavours: unbounded (linked blocks, a send never waits), bounded with
// capacity n >= 1 (a ring buffer reserved at creation) and rendezvous
// (bounded(0): a send completes only by handing its item to a receiver that
// takes it at that moment). Receivers can also be timers (`after`) or never
// ready (`never`).
//
// Items are moved, never copied. Operations that take an item by reference
// move it out only when they report Sent and leave it untouched otherwise.
// Receive operations empty `out` first and fill it only on Received. Item
// destructors and moves never run while an engine lock is held, so they may
// use the same channel again.
//
// Every operation may be called from any number of threads at once, on the
// same handle too (moving, assigning or resetting a handle is not such an
// operation). Blocking operations spin briefly, then sleep; an interruptible
// wait also returns Interrupted, with nothing sent or received, when a signal
// handler ran on the sleeping thread. Using a moved-from handle is a native
// failure. Running out of memory (a new block of an unbounded channel, a
// waiter's record) throws std::bad_alloc with nothing sent or received.
//
// While a selected send on a bounded channel is not yet completed, its slot
// counts as taken: other sends see the channel full rather than wait for it.

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/failure.hpp"
#include "core/engine/array_channel.hpp"
#include "core/engine/counter.hpp"
#include "core/engine/list_channel.hpp"
#include "core/engine/status.hpp"
#include "core/engine/timer.hpp"
#include "core/engine/zero_channel.hpp"
#include "core/platform/clock.hpp"

namespace torvan::engine {

template <class T>
class Sender;
template <class T>
class SenderRef;
template <class T>
class Receiver;

namespace detail {

enum class Flavour : std::uint8_t { None, Array, List, Zero, Timer, Never };

template <class T>
using ArrayCounter = Counter<ArrayChannel<T>>;
template <class T>
using ListCounter = Counter<ListChannel<T>>;
template <class T>
using ZeroCounter = Counter<ZeroChannel<T>>;

// Lets the selector reach the channel behind a handle.
struct HandleAccess {
    template <class H>
    static Flavour flavour(const H& handle) noexcept {
        return handle.flavour_;
    }
    template <class H>
    static void* chan(const H& handle) noexcept {
        return handle.chan_;
    }
};

[[noreturn]] inline void moved_from_handle() { fail("channel handle used after it was moved from"); }

}  // namespace detail

template <class T>
class Sender {
    static_assert(std::is_nothrow_move_constructible_v<T>, "channel items must be nothrow move constructible");
    static_assert(std::is_nothrow_destructible_v<T>, "channel items must be nothrow destructible");

public:
    Sender() noexcept = default;
    Sender(Sender&& other) noexcept
        : flavour_(std::exchange(other.flavour_, detail::Flavour::None)),
          chan_(std::exchange(other.chan_, nullptr)) {}
    Sender& operator=(Sender&& other) noexcept {
        Sender taken(std::move(other));
        std::swap(flavour_, taken.flavour_);
        std::swap(chan_, taken.chan_);
        return *this;  // `taken` drops the handle held before
    }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;
    ~Sender() { reset(); }

    // A further handle of the same channel.
    Sender clone() const {
        switch (flavour_) {
            case detail::Flavour::Array:
                detail::count_handle(array()->senders);
                break;
            case detail::Flavour::List:
                detail::count_handle(list()->senders);
                break;
            case detail::Flavour::Zero:
                detail::count_handle(zero()->senders);
                break;
            default:
                detail::moved_from_handle();
        }
        return Sender(flavour_, chan_);
    }

    // Drops the handle (what the destructor does); the handle is empty afterwards.
    void reset() noexcept {
        void* chan = std::exchange(chan_, nullptr);
        switch (std::exchange(flavour_, detail::Flavour::None)) {
            case detail::Flavour::Array: {
                auto* c = static_cast<detail::ArrayCounter<T>*>(chan);
                detail::drop_handle(c, c->senders, [](auto& ch) noexcept { ch.disconnect(); });
                break;
            }
            case detail::Flavour::List: {
                auto* c = static_cast<detail::ListCounter<T>*>(chan);
                detail::drop_handle(c, c->senders, [](auto& ch) noexcept { ch.disconnect_senders(); });
                break;
            }
            case detail::Flavour::Zero: {
                auto* c = static_cast<detail::ZeroCounter<T>*>(chan);
                detail::drop_handle(c, c->senders, [](auto& ch) noexcept { ch.disconnect(); });
                break;
            }
            default:
                break;
        }
    }

    // False for a moved-from or default-constructed handle.
    explicit operator bool() const noexcept { return flavour_ != detail::Flavour::None; }

    // Sent (item moved out) | Full | Disconnected. On an unbounded channel it
    // may throw std::bad_alloc when a new block cannot be allocated (the item
    // is then left with the caller).
    SendStatus try_send(T& item) const { return ref().try_send(item); }

    // Blocks until Sent or Disconnected.
    SendStatus send(T& item) const { return send_until(item, platform::Deadline::never(), false); }

    // Blocks until Sent, Disconnected, the deadline (TimedOut) or, when
    // interruptible, a signal (Interrupted). The item is tried once even if
    // the deadline has passed already.
    SendStatus send_until(T& item, platform::Deadline deadline, bool interruptible) const {
        return ref().send_until(item, deadline, interruptible);
    }

    // A view of this handle that holds no share of the channel.
    SenderRef<T> ref() const noexcept { return SenderRef<T>(flavour_, chan_); }

private:
    friend struct detail::HandleAccess;
    friend class SenderRef<T>;
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> unbounded();
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> bounded(std::size_t);

    Sender(detail::Flavour flavour, void* chan) noexcept : flavour_(flavour), chan_(chan) {}

    detail::ArrayCounter<T>* array() const noexcept { return static_cast<detail::ArrayCounter<T>*>(chan_); }
    detail::ListCounter<T>* list() const noexcept { return static_cast<detail::ListCounter<T>*>(chan_); }
    detail::ZeroCounter<T>* zero() const noexcept { return static_cast<detail::ZeroCounter<T>*>(chan_); }

    detail::Flavour flavour_ = detail::Flavour::None;
    void* chan_ = nullptr;
};

// Sends through a channel without holding a share of it: dropping every
// Sender disconnects the channel whatever views remain, and sends through a
// view then report Disconnected. A view does not keep the channel's memory
// either; its user keeps some other handle (a Receiver, say) for as long as
// it uses the view. Copies are free and may be used from any thread.
template <class T>
class SenderRef {
public:
    SenderRef() noexcept = default;

    // As Sender::try_send and Sender::send_until.
    SendStatus try_send(T& item) const {
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.try_send(item);
            case detail::Flavour::List:
                return list()->chan.send(item);
            case detail::Flavour::Zero:
                return zero()->chan.try_send(item);
            default:
                detail::moved_from_handle();
        }
    }

    SendStatus send_until(T& item, platform::Deadline deadline, bool interruptible) const {
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.send_until(item, deadline, interruptible);
            case detail::Flavour::List:
                return list()->chan.send(item);
            case detail::Flavour::Zero:
                return zero()->chan.send_until(item, deadline, interruptible);
            default:
                detail::moved_from_handle();
        }
    }

    // A Sender of the same channel, or an empty one when every Sender is gone
    // (a disconnected channel is never connected again).
    Sender<T> try_clone() const {
        std::atomic<std::size_t>* count = nullptr;
        switch (flavour_) {
            case detail::Flavour::Array:
                count = &array()->senders;
                break;
            case detail::Flavour::List:
                count = &list()->senders;
                break;
            case detail::Flavour::Zero:
                count = &zero()->senders;
                break;
            default:
                detail::moved_from_handle();
        }
        return detail::count_handle_if_any(*count) ? Sender<T>(flavour_, chan_) : Sender<T>();
    }

private:
    friend class Sender<T>;

    SenderRef(detail::Flavour flavour, void* chan) noexcept : flavour_(flavour), chan_(chan) {}

    detail::ArrayCounter<T>* array() const noexcept { return static_cast<detail::ArrayCounter<T>*>(chan_); }
    detail::ListCounter<T>* list() const noexcept { return static_cast<detail::ListCounter<T>*>(chan_); }
    detail::ZeroCounter<T>* zero() const noexcept { return static_cast<detail::ZeroCounter<T>*>(chan_); }

    detail::Flavour flavour_ = detail::Flavour::None;
    void* chan_ = nullptr;
};

template <class T>
class Receiver {
    static_assert(std::is_nothrow_move_constructible_v<T>, "channel items must be nothrow move constructible");
    static_assert(std::is_nothrow_destructible_v<T>, "channel items must be nothrow destructible");

public:
    Receiver() noexcept = default;
    Receiver(Receiver&& other) noexcept
        : flavour_(std::exchange(other.flavour_, detail::Flavour::None)),
          chan_(std::exchange(other.chan_, nullptr)) {}
    Receiver& operator=(Receiver&& other) noexcept {
        Receiver taken(std::move(other));
        std::swap(flavour_, taken.flavour_);
        std::swap(chan_, taken.chan_);
        return *this;
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    ~Receiver() { reset(); }

    Receiver clone() const {
        switch (flavour_) {
            case detail::Flavour::Array:
                detail::count_handle(array()->receivers);
                break;
            case detail::Flavour::List:
                detail::count_handle(list()->receivers);
                break;
            case detail::Flavour::Zero:
                detail::count_handle(zero()->receivers);
                break;
            case detail::Flavour::Timer:
                timer()->add_ref();
                break;
            case detail::Flavour::Never:
                break;
            default:
                detail::moved_from_handle();
        }
        return Receiver(flavour_, chan_);
    }

    // Drops the handle. Dropping the last receiver destroys the buffered items
    // at once (in this call, with no lock held): nobody can receive them, and
    // they may own handles of the channel themselves.
    void reset() noexcept {
        void* chan = std::exchange(chan_, nullptr);
        switch (std::exchange(flavour_, detail::Flavour::None)) {
            case detail::Flavour::Array: {
                auto* c = static_cast<detail::ArrayCounter<T>*>(chan);
                detail::drop_handle(c, c->receivers, [](auto& ch) noexcept { ch.disconnect_receivers(); });
                break;
            }
            case detail::Flavour::List: {
                auto* c = static_cast<detail::ListCounter<T>*>(chan);
                detail::drop_handle(c, c->receivers, [](auto& ch) noexcept { ch.disconnect_receivers(); });
                break;
            }
            case detail::Flavour::Zero: {
                auto* c = static_cast<detail::ZeroCounter<T>*>(chan);
                detail::drop_handle(c, c->receivers, [](auto& ch) noexcept { ch.disconnect(); });
                break;
            }
            case detail::Flavour::Timer:
                static_cast<detail::TimerState*>(chan)->release();
                break;
            default:
                break;
        }
    }

    explicit operator bool() const noexcept { return flavour_ != detail::Flavour::None; }

    // Received (out filled) | Empty | Disconnected.
    RecvStatus try_recv(std::optional<T>& out) const {
        out.reset();
        auto sink = [&out](T&& item) noexcept { out.emplace(std::move(item)); };
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.try_recv(sink);
            case detail::Flavour::List:
                return list()->chan.try_recv(sink);
            case detail::Flavour::Zero:
                return zero()->chan.try_recv(sink);
            case detail::Flavour::Timer:
                if constexpr (std::is_same_v<T, platform::Deadline>) {
                    if (timer()->try_fire()) {
                        sink(timer()->deadline());
                        return RecvStatus::Received;
                    }
                }
                return RecvStatus::Empty;
            case detail::Flavour::Never:
                return RecvStatus::Empty;
            default:
                detail::moved_from_handle();
        }
    }

    // Blocks until Received or Disconnected (buffered items come first).
    RecvStatus recv(std::optional<T>& out) const { return recv_until(out, platform::Deadline::never(), false); }

    // Blocks until Received, Disconnected, the deadline (TimedOut) or, when
    // interruptible, a signal (Interrupted). A receive on a never-ready
    // receiver (or on a timer that has delivered) without a deadline sleeps
    // for good unless interrupted.
    RecvStatus recv_until(std::optional<T>& out, platform::Deadline deadline, bool interruptible) const {
        out.reset();
        auto sink = [&out](T&& item) noexcept { out.emplace(std::move(item)); };
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.recv_until(sink, deadline, interruptible);
            case detail::Flavour::List:
                return list()->chan.recv_until(sink, deadline, interruptible);
            case detail::Flavour::Zero:
                return zero()->chan.recv_until(sink, deadline, interruptible);
            case detail::Flavour::Timer:
                return detail::timer_recv_until<T>(timer(), sink, deadline, interruptible);
            case detail::Flavour::Never:
                return detail::timer_recv_until<T>(nullptr, sink, deadline, interruptible);
            default:
                detail::moved_from_handle();
        }
    }

    // True when nothing is buffered; always true for a rendezvous channel.
    bool is_empty() const {
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.is_empty();
            case detail::Flavour::List:
                return list()->chan.is_empty();
            case detail::Flavour::Zero:
            case detail::Flavour::Never:
                return true;
            case detail::Flavour::Timer:
                return !timer()->is_ready();
            default:
                detail::moved_from_handle();
        }
    }

    // Number of buffered items (a snapshot).
    std::size_t len() const {
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.len();
            case detail::Flavour::List:
                return list()->chan.len();
            case detail::Flavour::Zero:
            case detail::Flavour::Never:
                return 0;
            case detail::Flavour::Timer:
                return timer()->is_ready() ? 1 : 0;
            default:
                detail::moved_from_handle();
        }
    }

    // The buffer size; nothing for an unbounded channel.
    std::optional<std::size_t> capacity() const {
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.capacity();
            case detail::Flavour::List:
                return std::nullopt;
            case detail::Flavour::Zero:
            case detail::Flavour::Never:
                return 0;
            case detail::Flavour::Timer:
                return 1;
            default:
                detail::moved_from_handle();
        }
    }

private:
    friend struct detail::HandleAccess;
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> unbounded();
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> bounded(std::size_t);
    template <class U>
    friend Receiver<U> never();
    friend Receiver<platform::Deadline> after(platform::Duration);

    Receiver(detail::Flavour flavour, void* chan) noexcept : flavour_(flavour), chan_(chan) {}

    detail::ArrayCounter<T>* array() const noexcept { return static_cast<detail::ArrayCounter<T>*>(chan_); }
    detail::ListCounter<T>* list() const noexcept { return static_cast<detail::ListCounter<T>*>(chan_); }
    detail::ZeroCounter<T>* zero() const noexcept { return static_cast<detail::ZeroCounter<T>*>(chan_); }
    detail::TimerState* timer() const noexcept { return static_cast<detail::TimerState*>(chan_); }

    detail::Flavour flavour_ = detail::Flavour::None;
    void* chan_ = nullptr;
};

// A new unbounded channel. May throw std::bad_alloc.
template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded() {
    auto* counter = new detail::ListCounter<T>();
    return {Sender<T>(detail::Flavour::List, counter), Receiver<T>(detail::Flavour::List, counter)};
}

// A new bounded channel with room for `capacity` items reserved now, or a
// rendezvous channel for capacity 0. Throws std::bad_alloc when the room
// cannot be reserved (or its size not even computed).
template <class T>
std::pair<Sender<T>, Receiver<T>> bounded(std::size_t capacity) {
    if (capacity == 0) {
        auto* counter = new detail::ZeroCounter<T>();
        return {Sender<T>(detail::Flavour::Zero, counter), Receiver<T>(detail::Flavour::Zero, counter)};
    }
    auto* counter = new detail::ArrayCounter<T>(capacity);
    return {Sender<T>(detail::Flavour::Array, counter), Receiver<T>(detail::Flavour::Array, counter)};
}

// A receiver that is never ready.
template <class T>
Receiver<T> never() {
    return Receiver<T>(detail::Flavour::Never, nullptr);
}

// A timer: delivers its deadline (monotonic now + d) once, after it passed.
// Never ready if that deadline cannot be represented.
inline Receiver<platform::Deadline> after(platform::Duration d) {
    const platform::Deadline deadline = platform::Deadline::after(d);
    if (deadline.is_never()) {
        return never<platform::Deadline>();
    }
    return Receiver<platform::Deadline>(detail::Flavour::Timer, new detail::TimerState(deadline.ns()));
}

}  // namespace torvan::engine
