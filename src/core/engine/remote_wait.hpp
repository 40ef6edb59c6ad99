#pragma once
// Waits of a waiter that is not a thread, such as a coroutine on an event
// loop. The waiter registers its operation with the channel and goes back to
// other work; where the engine would unpark a sleeping thread, it calls the
// waiter's RemoteWaiter::wake() instead, and the waiter looks later, on its
// own thread, at what happened. Nothing here blocks.
//
// A wake means readiness: the operation may be ready now (or the channel
// disconnected), and the waiter tries it without waiting, starting a new wait
// if another party got there first. Nothing is taken on the waiter's behalf,
// so a waiter that never runs again (its loop stopped or gone) holds no item,
// and abandoning a wait loses nothing; a woken waiter that abandons passes
// the wake on, so that no other waiter sleeps past a ready operation.
//
// The one exception is a send on a rendezvous channel: the item moves into
// the wait's packet when the wait starts, a receiver that picks the wait
// takes it from there at once, and the send then stands as done; it comes
// back to the caller when the wait ends unpicked. Rendezvous receivers are
// never handed an item (zero_channel.hpp): they are woken when a sender
// waits, and take its item themselves.
//
// The handle must outlive the RemoteWait, which must not move while a wait
// is registered (the address of its record identifies the operation).

#include <cstdint>
#include <optional>
#include <utility>

#include "core/failure.hpp"
#include "core/engine/channel.hpp"
#include "core/engine/context.hpp"
#include "core/engine/packet.hpp"
#include "core/engine/select_ops.hpp"

namespace torvan::engine {

enum class RemoteOutcome {
    Waiting,    // nothing happened yet; the wait stays registered
    Ready,      // woken: try the operation again (it may be ready, or the channel disconnected)
    Sent,       // rendezvous send: a receiver took the item
    Abandoned,  // abandon(): nothing happened and nothing will
};

template <class T>
class RemoteWait {
public:
    // A receive on `data`, or a send. `waiter` (one reference taken over) is
    // woken wherever a thread would be unparked.
    RemoteWait(const Receiver<T>& data, detail::RemoteWaiter* waiter)
        : RemoteWait(data, &detail::RecvOps<T>::table, false, waiter) {}
    RemoteWait(const Sender<T>& data, detail::RemoteWaiter* waiter)
        : RemoteWait(data, &detail::SendOps<T>::table, true, waiter) {}

    RemoteWait(const RemoteWait&) = delete;
    RemoteWait& operator=(const RemoteWait&) = delete;

    // A wait still registered is abandoned.
    ~RemoteWait() { abandon(); }

    bool active() const noexcept { return active_; }

    // Starts a new wait. False when the operation was ready already: nothing
    // stays registered, and the caller tries the operation again.
    bool start_receive() {
        check(!sending_, "a receive wait started on a send");
        return start(nullptr);
    }

    // The same for a send. On a rendezvous channel the item moves into the
    // wait, and comes back to `item` (which must outlive the wait) unless a
    // receiver takes it.
    bool start_send(T& item) {
        check(sending_, "a send wait started on a receive");
        return start(&item);
    }

    // After a wake: what happened. Waiting keeps the wait; every other
    // outcome ends it.
    RemoteOutcome poll() {
        if (!active_) {
            return RemoteOutcome::Ready;
        }
        const std::uintptr_t selected = cx_->selected();
        if (selected == detail::kWaiting) {
            return RemoteOutcome::Waiting;
        }
        return settle(selected);
    }

    // Ends the wait unless a receiver took a rendezvous send's item first,
    // in which case the send stands (Sent).
    RemoteOutcome abandon() noexcept {
        if (!active_) {
            return RemoteOutcome::Abandoned;
        }
        if (cx_->try_select(detail::kAborted)) {
            end();
            return RemoteOutcome::Abandoned;
        }
        if (settle(cx_->selected()) == RemoteOutcome::Sent) {
            return RemoteOutcome::Sent;
        }
        pass_on();
        return RemoteOutcome::Abandoned;
    }

    // Passes on the readiness wake behind the last Ready, for a caller that
    // does not try the operation again.
    void pass_on() noexcept {
        if (!owes_wake_) {
            return;
        }
        owes_wake_ = false;
        switch (flavour_) {
            case detail::Flavour::Array: {
                auto& chan = static_cast<detail::ArrayCounter<T>*>(chan_)->chan;
                if (sending_) {
                    chan.wake_sender();
                } else {
                    chan.wake_receiver();
                }
                break;
            }
            case detail::Flavour::List:
                static_cast<detail::ListCounter<T>*>(chan_)->chan.wake_receiver();
                break;
            case detail::Flavour::Zero:
                if (!sending_) {
                    static_cast<detail::ZeroCounter<T>*>(chan_)->chan.wake_receiver();
                }
                break;
            default:
                break;
        }
    }

private:
    template <class H>
    RemoteWait(const H& data, const detail::OpTable* table, bool sending, detail::RemoteWaiter* waiter)
        : cx_(new detail::Context(waiter)),
          data_(&data),
          table_(table),
          chan_(detail::HandleAccess::chan(data)),
          flavour_(detail::HandleAccess::flavour(data)),
          sending_(sending) {}

    std::uintptr_t oper() const noexcept { return reinterpret_cast<std::uintptr_t>(&reg_); }
    detail::Packet<T>* packet() const noexcept { return static_cast<detail::Packet<T>*>(reg_); }
    bool rendezvous_send() const noexcept { return sending_ && flavour_ == detail::Flavour::Zero; }

    bool start(T* item) {
        check(!active_, "a remote wait was started while one was registered");
        cx_->reset();
        owes_wake_ = false;
        item_ = item;
        bool ready = table_->register_op(data_, oper(), *cx_.get(), reg_);
        active_ = true;
        if (rendezvous_send()) {
            // A receiver that picked the empty packet meanwhile waits for this.
            packet()->fill(*item_);
        }
        if (ready && cx_->try_select(detail::kAborted)) {
            end();
            return false;
        }
        return true;  // registered, or picked already: a wake is on its way
    }

    // Interprets a selection and ends the wait.
    RemoteOutcome settle(std::uintptr_t selected) noexcept {
        if (selected == oper() && rendezvous_send()) {
            // The receiver removed the entry already. Unregistering still takes
            // the channel's lock, which the receiver held from its pick to its
            // reference to the packet: only then may this side drop its own.
            table_->unregister_op(data_, oper());
            detail::PacketRef<T> dropped(take_packet());  // the receiver takes the item out
            active_ = false;
            return RemoteOutcome::Sent;
        }
        owes_wake_ = selected == oper();
        end();
        return RemoteOutcome::Ready;
    }

    detail::Packet<T>* take_packet() noexcept { return static_cast<detail::Packet<T>*>(std::exchange(reg_, nullptr)); }

    // Ends a wait that no receiver picked: a rendezvous send takes its item back.
    void end() noexcept {
        table_->unregister_op(data_, oper());
        if (reg_ != nullptr && rendezvous_send()) {
            packet()->take([this](T&& item) noexcept { *item_ = std::move(item); });
        }
        table_->discard_registration(reg_);
        active_ = false;
    }

    detail::ContextRef cx_;
    const void* data_;
    const detail::OpTable* table_;
    void* chan_;  // the data channel, for passing a wake on
    detail::Flavour flavour_;
    bool sending_;
    void* reg_ = nullptr;  // a rendezvous registration's packet
    T* item_ = nullptr;
    bool active_ = false;
    bool owes_wake_ = false;  // the last Ready was a readiness wake of the data operation
};

}  // namespace torvan::engine
