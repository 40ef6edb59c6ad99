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
// Items are moved, never copied; a receive on an unbounded channel takes its
// item out of the slot through take_from_slot (slot_take.hpp), which an item
// type may use to leave part of itself behind. Operations that take an item
// by reference move it out only when they report Sent and leave it untouched
// otherwise.
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

[[noreturn]] inline void moved_from_handle() { fail("channel handle used after it was moved from"); }

// Calls `f` with the counter of a channel that has senders and receivers
// (every flavour but timers and never-ready receivers).
template <class T, class F>
decltype(auto) with_counter(Flavour flavour, void* chan, F&& f) {
    switch (flavour) {
        case Flavour::Array:
            return f(static_cast<ArrayCounter<T>*>(chan));
        case Flavour::List:
            return f(static_cast<ListCounter<T>*>(chan));
        case Flavour::Zero:
            return f(static_cast<ZeroCounter<T>*>(chan));
        default:
            moved_from_handle();
    }
}

// What every handle holds: the flavour and the channel's shared state, for
// the handle and the selector (HandleAccess) only.
template <class T>
class HandleBase {
protected:
    HandleBase() noexcept = default;
    HandleBase(Flavour flavour, void* chan) noexcept : flavour_(flavour), chan_(chan) {}

    // Leaves this handle empty, as a moved-from handle is.
    HandleBase take() noexcept {
        return HandleBase(std::exchange(flavour_, Flavour::None), std::exchange(chan_, nullptr));
    }
    void swap(HandleBase& other) noexcept {
        std::swap(flavour_, other.flavour_);
        std::swap(chan_, other.chan_);
    }

    ArrayCounter<T>* array() const noexcept { return static_cast<ArrayCounter<T>*>(chan_); }
    ListCounter<T>* list() const noexcept { return static_cast<ListCounter<T>*>(chan_); }
    ZeroCounter<T>* zero() const noexcept { return static_cast<ZeroCounter<T>*>(chan_); }
    TimerState* timer() const noexcept { return static_cast<TimerState*>(chan_); }

    template <class F>
    decltype(auto) with_counter(F&& f) const {
        return detail::with_counter<T>(flavour_, chan_, std::forward<F>(f));
    }

    Flavour flavour_ = Flavour::None;
    void* chan_ = nullptr;

private:
    friend struct HandleAccess;
};

// Lets the selector reach the channel behind a handle.
struct HandleAccess {
    template <class T>
    static Flavour flavour(const HandleBase<T>& handle) noexcept {
        return handle.flavour_;
    }
    template <class T>
    static void* chan(const HandleBase<T>& handle) noexcept {
        return handle.chan_;
    }
    template <class T>
    static ArrayChannel<T>& array(const HandleBase<T>& handle) noexcept {
        return handle.array()->chan;
    }
    template <class T>
    static ListChannel<T>& list(const HandleBase<T>& handle) noexcept {
        return handle.list()->chan;
    }
    template <class T>
    static ZeroChannel<T>& zero(const HandleBase<T>& handle) noexcept {
        return handle.zero()->chan;
    }
    template <class T>
    static TimerState* timer(const HandleBase<T>& handle) noexcept {
        return handle.timer();
    }
};

}  // namespace detail

template <class T>
class Sender : public detail::HandleBase<T> {
    static_assert(std::is_nothrow_move_constructible_v<T>, "channel items must be nothrow move constructible");
    static_assert(std::is_nothrow_destructible_v<T>, "channel items must be nothrow destructible");
    using Base = detail::HandleBase<T>;

public:
    Sender() noexcept = default;
    Sender(Sender&& other) noexcept : Base(other.take()) {}
    Sender& operator=(Sender&& other) noexcept {
        Sender taken(std::move(other));
        this->swap(taken);
        return *this;  // `taken` drops the handle held before
    }
    ~Sender() { reset(); }

    // A further handle of the same channel.
    Sender clone() const {
        this->with_counter([](auto* c) { detail::count_handle(c->senders); });
        return Sender(this->flavour_, this->chan_);
    }

    // Drops the handle (what the destructor does); the handle is empty afterwards.
    void reset() noexcept {
        const detail::Flavour flavour = std::exchange(this->flavour_, detail::Flavour::None);
        void* chan = std::exchange(this->chan_, nullptr);
        if (flavour != detail::Flavour::None) {
            detail::with_counter<T>(flavour, chan, [](auto* c) noexcept {
                detail::drop_handle(c, c->senders, [](auto& ch) noexcept { ch.disconnect_senders(); });
            });
        }
    }

    // False for a moved-from or default-constructed handle.
    explicit operator bool() const noexcept { return this->flavour_ != detail::Flavour::None; }

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
    SenderRef<T> ref() const noexcept { return SenderRef<T>(this->flavour_, this->chan_); }

    // How many send operations are registered as waiting on the channel (a
    // snapshot; a wait that ended in any way has left none).
    std::size_t registered_waiters() const {
        switch (this->flavour_) {
            case detail::Flavour::Array:
                return this->array()->chan.waiting_senders();
            case detail::Flavour::List:
                return 0;
            case detail::Flavour::Zero:
                return this->zero()->chan.waiting_senders();
            default:
                detail::moved_from_handle();
        }
    }

private:
    friend struct detail::HandleAccess;
    friend class SenderRef<T>;
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> unbounded();
    template <class U>
    friend std::pair<Sender<U>, Receiver<U>> bounded(std::size_t);

    Sender(detail::Flavour flavour, void* chan) noexcept : Base(flavour, chan) {}
};

// Sends through a channel without holding a share of it: dropping every
// Sender disconnects the channel whatever views remain, and sends through a
// view then report Disconnected. A view does not keep the channel's memory
// either; its user keeps some other handle (a Receiver, say) for as long as
// it uses the view. Copies are free and may be used from any thread.
template <class T>
class SenderRef : public detail::HandleBase<T> {
    using Base = detail::HandleBase<T>;
    using Base::array;
    using Base::chan_;
    using Base::flavour_;
    using Base::list;
    using Base::zero;

public:
    SenderRef() noexcept = default;

    // As try_send, with the unbounded flavour's send inline in the caller:
    // a send's fast path is little else.
    [[gnu::always_inline]] SendStatus try_send_inline(T& item) const {
        if (flavour_ == detail::Flavour::List) {
            return list()->chan.send(item);
        }
        return try_send(item);
    }

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

    // Disconnects the channel for its senders now, whatever Senders remain:
    // from here on every send through any handle reports Disconnected, and
    // receivers take what is buffered (a send that had claimed its place
    // already included) and then report Disconnected. Waiters wake as when
    // the last Sender goes. Dropping the last Sender later does nothing more.
    void disconnect_senders() const {
        this->with_counter([](auto* c) noexcept { c->chan.disconnect_senders(); });
    }

    // A Sender of the same channel, or an empty one when every Sender is gone
    // (a disconnected channel is never connected again).
    Sender<T> try_clone() const {
        std::atomic<std::size_t>& count =
            this->with_counter([](auto* c) -> std::atomic<std::size_t>& { return c->senders; });
        return detail::count_handle_if_any(count) ? Sender<T>(flavour_, chan_) : Sender<T>();
    }

private:
    friend class Sender<T>;

    SenderRef(detail::Flavour flavour, void* chan) noexcept : Base(flavour, chan) {}
};

template <class T>
class Receiver : public detail::HandleBase<T> {
    static_assert(std::is_nothrow_move_constructible_v<T>, "channel items must be nothrow move constructible");
    static_assert(std::is_nothrow_destructible_v<T>, "channel items must be nothrow destructible");
    using Base = detail::HandleBase<T>;
    using Base::array;
    using Base::chan_;
    using Base::flavour_;
    using Base::list;
    using Base::timer;
    using Base::zero;

public:
    Receiver() noexcept = default;
    Receiver(Receiver&& other) noexcept : Base(other.take()) {}
    Receiver& operator=(Receiver&& other) noexcept {
        Receiver taken(std::move(other));
        this->swap(taken);
        return *this;
    }
    ~Receiver() { reset(); }

    Receiver clone() const {
        switch (flavour_) {
            case detail::Flavour::Timer:
                timer()->add_ref();
                break;
            case detail::Flavour::Never:
                break;
            default:
                this->with_counter([](auto* c) { detail::count_handle(c->receivers); });
        }
        return Receiver(flavour_, chan_);
    }

    // Drops the handle. Dropping the last receiver destroys the buffered items
    // at once (in this call, with no lock held): nobody can receive them, and
    // they may own handles of the channel themselves.
    void reset() noexcept {
        const detail::Flavour flavour = std::exchange(flavour_, detail::Flavour::None);
        void* chan = std::exchange(chan_, nullptr);
        switch (flavour) {
            case detail::Flavour::None:
            case detail::Flavour::Never:
                break;
            case detail::Flavour::Timer:
                static_cast<detail::TimerState*>(chan)->release();
                break;
            default:
                detail::with_counter<T>(flavour, chan, [](auto* c) noexcept {
                    detail::drop_handle(c, c->receivers, [](auto& ch) noexcept { ch.disconnect_receivers(); });
                });
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

    // As try_recv into an empty `out`, with the unbounded flavour's receive
    // inline in the caller: a receive's fast path is little else.
    [[gnu::always_inline]] RecvStatus try_recv_inline(std::optional<T>& out) const {
        if (flavour_ == detail::Flavour::List) {
            return list()->chan.try_recv([&out](T&& item) noexcept { out.emplace(std::move(item)); });
        }
        return try_recv(out);
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

    // How many receive operations are registered as waiting on the channel (a
    // snapshot; a wait that ended in any way has left none).
    std::size_t registered_waiters() const {
        switch (flavour_) {
            case detail::Flavour::Array:
                return array()->chan.waiting_receivers();
            case detail::Flavour::List:
                return list()->chan.waiting_receivers();
            case detail::Flavour::Zero:
                return zero()->chan.waiting_receivers();
            case detail::Flavour::Timer:
            case detail::Flavour::Never:
                return 0;
            default:
                detail::moved_from_handle();
        }
    }

    // Whether some Sender of the channel is still alive, disconnected or not.
    // Acquire: pairs with the acq_rel decrement of the last Sender's drop.
    bool has_senders() const {
        return this->with_counter([](auto* c) noexcept { return c->senders.load(std::memory_order_acquire) != 0; });
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

    Receiver(detail::Flavour flavour, void* chan) noexcept : Base(flavour, chan) {}
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
