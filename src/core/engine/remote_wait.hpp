#pragma once
// Waits of a waiter that is not a thread, such as a coroutine on an event
// loop. The waiter registers its operation with the channel and goes back to
// other work; where the engine would unpark a sleeping thread, it calls the
// waiter's RemoteWaiter::wake() instead, and the waiter looks later, on its
// own thread, at what happened. Nothing here blocks.
//
// A wait is on one data operation (a send or a receive) and one watched
// receiver that only ever reports its disconnection (a close signal). What a
// wake means depends on the flavour of the data channel:
//
// - Bounded and unbounded: readiness. The operation may be ready now; the
//   waiter tries it without waiting and starts a new wait if another thread
//   got there first. Nothing is taken on the waiter's behalf, so abandoning
//   the wait loses nothing; a woken waiter that abandons passes the wake on,
//   so that no other waiter sleeps past a ready operation.
// - Rendezvous: hand-over. A partner meets only a waiter that is registered,
//   so the operation completes when a partner picks the wait: a receive's
//   packet is filled by the sender, a send's packet (filled with the item
//   when the wait starts) is emptied by the receiver. A picked wait cannot be
//   abandoned: its outcome stands.
//
// The handles must outlive the RemoteWait, which must not move while a wait
// is registered (the addresses of its records identify the operations).

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
    Ready,      // woken: try the operation again (it may be ready, or a channel disconnected)
    Received,   // rendezvous: a sender handed the item over
    Sent,       // rendezvous: a receiver took the item
    Pending,    // rendezvous receive: a sender picked the wait and is about to hand the item
                // over (or to give up); look again after the next wake
    Abandoned,  // abandon(): nothing happened and nothing will
};

template <class T, class W>
class RemoteWait {
public:
    // A receive on `data`, or a send, watching `watched`. `waiter` (one
    // reference taken over) is woken wherever a thread would be unparked.
    RemoteWait(const Receiver<T>& data, const Receiver<W>& watched, detail::RemoteWaiter* waiter)
        : RemoteWait(data, &detail::RecvOps<T>::table, false, watched, waiter) {}
    RemoteWait(const Sender<T>& data, const Receiver<W>& watched, detail::RemoteWaiter* waiter)
        : RemoteWait(data, &detail::SendOps<T>::table, true, watched, waiter) {}

    RemoteWait(const RemoteWait&) = delete;
    RemoteWait& operator=(const RemoteWait&) = delete;

    // A wait still registered is abandoned; an item that was handed over to
    // it all the same is destroyed.
    ~RemoteWait() {
        if (active_) {
            std::optional<T> received;
            abandon(received);
        }
        release_data_packet();  // a pending hand-over goes with the packet
    }

    bool active() const noexcept { return active_; }

    // Starts a new wait. False when an operation was ready already: nothing
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

    // After a wake: what happened. Waiting and Pending keep the wait; every
    // other outcome ends it.
    RemoteOutcome poll(std::optional<T>& received) {
        received.reset();
        if (!active_) {
            return RemoteOutcome::Ready;
        }
        if (pending_) {
            return collect(received);
        }
        const std::uintptr_t selected = cx_->selected();
        if (selected == detail::kWaiting) {
            return RemoteOutcome::Waiting;
        }
        return settle(selected, received);
    }

    // Ends the wait unless a partner picked it first, in which case the
    // outcome stands (Received, Sent, or Pending until the next wake).
    RemoteOutcome abandon(std::optional<T>& received) {
        received.reset();
        if (!active_) {
            return RemoteOutcome::Abandoned;
        }
        if (!pending_) {
            if (cx_->try_select(detail::kAborted)) {
                end();
                return RemoteOutcome::Abandoned;
            }
            const std::uintptr_t selected = cx_->selected();
            RemoteOutcome outcome = settle(selected, received);
            if (outcome != RemoteOutcome::Ready) {
                return outcome;
            }
            pass_on();
            return RemoteOutcome::Abandoned;
        }
        RemoteOutcome outcome = collect(received);
        return outcome == RemoteOutcome::Ready ? RemoteOutcome::Abandoned : outcome;
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
            default:
                break;
        }
    }

private:
    struct Record {
        void* reg = nullptr;  // a rendezvous registration's packet
        bool registered = false;
    };

    template <class H>
    RemoteWait(const H& data, const detail::OpTable* table, bool sending, const Receiver<W>& watched,
               detail::RemoteWaiter* waiter)
        : cx_(new detail::Context(waiter)),
          data_(&data),
          table_(table),
          watched_(&watched),
          chan_(detail::HandleAccess::chan(data)),
          flavour_(detail::HandleAccess::flavour(data)),
          sending_(sending) {}

    std::uintptr_t oper(const Record& record) const noexcept { return reinterpret_cast<std::uintptr_t>(&record); }
    detail::Packet<T>* data_packet() const noexcept { return static_cast<detail::Packet<T>*>(data_rec_.reg); }
    bool rendezvous() const noexcept { return flavour_ == detail::Flavour::Zero; }

    bool start(T* item) {
        check(!active_, "a remote wait was started while one was registered");
        cx_->reset();
        owes_wake_ = false;
        item_ = item;
        // The watched receiver first: if registering the data operation
        // fails, nothing of it can have been picked.
        bool ready = detail::RecvOps<W>::table.register_op(watched_, oper(watch_rec_), *cx_.get(), watch_rec_.reg);
        watch_rec_.registered = true;
        active_ = true;
        if (!ready) {
            try {
                ready = table_->register_op(data_, oper(data_rec_), *cx_.get(), data_rec_.reg);
            } catch (...) {
                end();
                throw;
            }
            data_rec_.registered = true;
            if (sending_ && rendezvous()) {
                // A receiver that picked the empty packet meanwhile waits for this.
                data_packet()->fill(*item_);
            }
        }
        if (ready && cx_->try_select(detail::kAborted)) {
            end();
            return false;
        }
        return true;  // registered, or picked already: a wake is on its way
    }

    // Interprets a selection and ends the wait, unless a picked rendezvous
    // receive is still to be filled.
    RemoteOutcome settle(std::uintptr_t selected, std::optional<T>& received) {
        if (selected == oper(data_rec_) && rendezvous()) {
            // The partner removed the entry already. Unregistering still takes
            // the channel's lock, which the partner held from its pick to its
            // reference to the packet: only then may this side drop its own.
            unregister();
            if (sending_) {
                release_data_packet();  // the receiver holds it too, and takes the item out
                active_ = false;
                return RemoteOutcome::Sent;
            }
            pending_ = true;
            return collect(received);
        }
        owes_wake_ = selected == oper(data_rec_);
        end();
        return RemoteOutcome::Ready;
    }

    // A picked rendezvous receive: the item, once the sender has handed it over.
    RemoteOutcome collect(std::optional<T>& received) {
        detail::Packet<T>* packet = data_packet();
        const std::uint32_t state = packet->state();
        if (state == detail::Packet<T>::kEmpty) {
            return RemoteOutcome::Pending;
        }
        detail::PacketRef<T> owned(take_data_packet());
        pending_ = false;
        active_ = false;
        if (state != detail::Packet<T>::kFull) {
            return RemoteOutcome::Ready;  // the sender gave up its selected send
        }
        owned->take([&received](T&& item) noexcept { received.emplace(std::move(item)); });
        return RemoteOutcome::Received;
    }

    void unregister() noexcept {
        if (watch_rec_.registered) {
            watch_rec_.registered = false;
            detail::RecvOps<W>::table.unregister_op(watched_, oper(watch_rec_));
        }
        if (data_rec_.registered) {
            data_rec_.registered = false;
            table_->unregister_op(data_, oper(data_rec_));
        }
        detail::RecvOps<W>::table.discard_registration(watch_rec_.reg);
    }

    detail::Packet<T>* take_data_packet() noexcept {
        return static_cast<detail::Packet<T>*>(std::exchange(data_rec_.reg, nullptr));
    }
    // Drops this side's reference without marking the packet: a partner that
    // holds it may still be handing the item over.
    void release_data_packet() noexcept { detail::PacketRef<T> dropped(take_data_packet()); }

    // Ends a wait that no partner picked: a rendezvous send takes its item back.
    void end() noexcept {
        unregister();
        if (sending_ && data_rec_.reg != nullptr) {
            data_packet()->take([this](T&& item) noexcept { *item_ = std::move(item); });
        }
        table_->discard_registration(data_rec_.reg);
        active_ = false;
    }

    detail::ContextRef cx_;
    const void* data_;
    const detail::OpTable* table_;
    const Receiver<W>* watched_;
    void* chan_;  // the data channel, for passing a wake on
    detail::Flavour flavour_;
    bool sending_;
    Record data_rec_;
    Record watch_rec_;
    T* item_ = nullptr;
    bool active_ = false;
    bool pending_ = false;    // a picked rendezvous receive waits for its item
    bool owes_wake_ = false;  // the last Ready was a readiness wake of the data operation
};

}  // namespace torvan::engine
