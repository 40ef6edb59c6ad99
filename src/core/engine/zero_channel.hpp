#pragma once
// Rendezvous flavour: no buffer. A sender and a receiver meet when one of
// them finds the other registered as waiting; the item then passes through
// the waiting side's packet. The lock guards only the two waiter lists and
// the disconnection flag: items are moved, and threads sleep, outside it.
//
// The side that finds a waiting partner (the claimer) selects it with a CAS
// on its context, under the lock. A waiting blocking sender's item is taken
// at once; a selecting sender fills its packet when it completes its selected
// send, and the claimer waits for that (or for the selection to be abandoned,
// then it looks for another partner).
//
// Remote receivers (remote_wait.hpp) are never handed an item: they may not
// run for a long time, or ever again, and the sender would have reported its
// item sent. They wait apart, and each sender that comes to wait wakes them
// (the oldest of each group) so that they take its item themselves, as any
// receiver arriving late does. Remote senders are picked like threads: their
// packet holds the item from the start, so the receiver takes it at once.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>

#include "core/engine/claim.hpp"
#include "core/engine/context.hpp"
#include "core/engine/packet.hpp"
#include "core/engine/status.hpp"
#include "core/engine/waker.hpp"
#include "core/sync/word_mutex.hpp"
#include "core/platform/clock.hpp"

namespace torvan::engine::detail {

template <class T>
class ZeroChannel {
    // A waiting partner selected under the lock.
    struct Partner {
        PacketRef<T> packet;
        ContextRef cx;
    };

    enum class Lookup { Paired, Disconnected, None };

    // Picks a waiting thread from `side`. Called with the lock held.
    Lookup pick(Waker& side, Partner& partner) noexcept {
        if (std::optional<WaitEntry> e = side.try_select()) {
            auto* packet = static_cast<Packet<T>*>(e->packet);
            packet->add_ref();
            partner.packet = PacketRef<T>(packet);
            partner.cx = ContextRef(e->cx);
            return Lookup::Paired;
        }
        // Relaxed: under lock_, which disconnect() holds for its store.
        return disconnected_.load(std::memory_order_relaxed) ? Lookup::Disconnected : Lookup::None;
    }

    Lookup pick_locked(Waker& side, Partner& partner) noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        return pick(side, partner);
    }

    // Picks a waiting thread from `theirs` or, when there is none and the
    // caller brings a packet (`own`), registers the caller on `mine` with it.
    Lookup pick_or_register(Waker& theirs, Partner& partner, Waker& mine, std::uintptr_t oper, Context& cx,
                            Packet<T>* own) {
        std::lock_guard<sync::WordMutex> guard(lock_);
        const Lookup found = pick(theirs, partner);
        if (found == Lookup::None && own != nullptr) {
            mine.register_waiter(oper, cx, own);
            if (&mine == &senders_) {
                wake_remote_receivers();
            }
        }
        return found;
    }

    // A sender waits: remote receivers come and take its item. Called with
    // the lock held; a remote wake only queues the waiter.
    void wake_remote_receivers() noexcept {
        remote_receivers_.select_for_wake([](const WaitEntry& entry) noexcept {
            entry.cx->unpark();
            entry.cx->release();
        });
    }

    // A registered thread sleeps until a partner picks it (true), or until
    // the deadline or a signal ends the wait (false, registration withdrawn).
    // It registered before spinning: a partner finds only registered threads.
    bool wait_to_be_picked(Waker& mine, std::uintptr_t oper, Context& cx, platform::Deadline deadline,
                           bool interruptible, AbortReason& reason) {
        sync::SpinWait spin;
        const std::uintptr_t sel = cx.wait_until(spin, deadline, interruptible, reason);
        if (sel == kAborted || sel == kDisconnected) {
            unregister(mine, oper);
            return false;
        }
        return true;
    }

    // Hands the item to a picked receiver.
    static void deliver(Partner& partner, T& item) noexcept {
        partner.packet->fill(item);
        partner.cx->unpark();
    }

    // Takes the item of a picked sender. False if that sender was selecting
    // and then abandoned its selected send.
    template <class Sink>
    static bool collect(Partner& partner, Sink& sink) noexcept {
        std::uint32_t state = partner.packet->state();
        if (state == Packet<T>::kEmpty) {
            // A selecting sender: wake it so that it completes its send. It
            // may also have woken by itself and be done already.
            partner.cx->unpark();
            state = partner.packet->wait_while(Packet<T>::kEmpty);
        }
        if (state != Packet<T>::kFull) {
            return false;  // the selected send was abandoned
        }
        partner.packet->take(sink);
        partner.cx->unpark();
        return true;
    }

public:
    ZeroChannel() = default;
    ZeroChannel(const ZeroChannel&) = delete;
    ZeroChannel& operator=(const ZeroChannel&) = delete;

    SendStatus try_send(T& item) noexcept {
        Partner partner;
        switch (pick_locked(receivers_, partner)) {
            case Lookup::Paired:
                deliver(partner, item);
                return SendStatus::Sent;
            case Lookup::Disconnected:
                return SendStatus::Disconnected;
            case Lookup::None:
                break;
        }
        return SendStatus::Full;
    }

    SendStatus send_until(T& item, platform::Deadline deadline, bool interruptible) {
        PacketRef<T> own;  // points at `item` while this thread waits
        for (;;) {
            const bool expired = deadline.has_passed();
            ContextScope cx;
            const auto oper = reinterpret_cast<std::uintptr_t>(&own);
            Partner partner;
            switch (pick_or_register(receivers_, partner, senders_, oper, *cx, expired ? nullptr : own.get())) {
                case Lookup::Paired:
                    deliver(partner, item);
                    return SendStatus::Sent;
                case Lookup::Disconnected:
                    return SendStatus::Disconnected;
                case Lookup::None:
                    break;
            }
            if (expired) {
                return SendStatus::TimedOut;
            }
            if (!own) {
                own = PacketRef<T>(Packet<T>::pointing_at(item));
                continue;  // look again with the lock, now that there is a packet
            }
            AbortReason reason = AbortReason::None;
            if (!wait_to_be_picked(senders_, oper, *cx, deadline, interruptible, reason)) {
                if (reason == AbortReason::Interrupted) {
                    return SendStatus::Interrupted;
                }
                continue;
            }
            // A receiver picked this thread: it moves the item out now.
            if (own->wait_while(Packet<T>::kFull) == Packet<T>::kTaken) {
                return SendStatus::Sent;
            }
            own = PacketRef<T>();  // released: the item is still here; try again
        }
    }

    template <class Sink>
    RecvStatus try_recv(Sink&& sink) noexcept {
        for (;;) {
            Partner partner;
            switch (pick_locked(senders_, partner)) {
                case Lookup::Paired:
                    if (collect(partner, sink)) {
                        return RecvStatus::Received;
                    }
                    continue;
                case Lookup::Disconnected:
                    return RecvStatus::Disconnected;
                case Lookup::None:
                    return RecvStatus::Empty;
            }
        }
    }

    template <class Sink>
    RecvStatus recv_until(Sink&& sink, platform::Deadline deadline, bool interruptible) {
        PacketRef<T> own;  // the packet a sender fills while this thread waits
        for (;;) {
            const bool expired = deadline.has_passed();
            ContextScope cx;
            const auto oper = reinterpret_cast<std::uintptr_t>(&own);
            Partner partner;
            switch (pick_or_register(senders_, partner, receivers_, oper, *cx, expired ? nullptr : own.get())) {
                case Lookup::Paired:
                    if (collect(partner, sink)) {
                        return RecvStatus::Received;
                    }
                    continue;
                case Lookup::Disconnected:
                    return RecvStatus::Disconnected;
                case Lookup::None:
                    break;
            }
            if (expired) {
                return RecvStatus::TimedOut;
            }
            if (!own) {
                own = PacketRef<T>(Packet<T>::empty());
                continue;
            }
            AbortReason reason = AbortReason::None;
            if (!wait_to_be_picked(receivers_, oper, *cx, deadline, interruptible, reason)) {
                if (reason == AbortReason::Interrupted) {
                    return RecvStatus::Interrupted;
                }
                continue;
            }
            // A sender picked this thread and fills the packet now.
            if (own->wait_while(Packet<T>::kEmpty) == Packet<T>::kFull) {
                own->take(sink);
                return RecvStatus::Received;
            }
            own = PacketRef<T>();  // the sender abandoned its selection
        }
    }

    // --- selection ---

    // Claims a waiting receiver; the item goes into its packet on completion.
    bool try_select_send(Claim& claim) noexcept {
        Partner partner;
        switch (pick_locked(receivers_, partner)) {
            case Lookup::Paired:
                claim.kind = ClaimKind::ZeroPacket;
                claim.target = partner.packet.release();
                claim.partner = std::move(partner.cx);
                return true;
            case Lookup::Disconnected:
                claim.kind = ClaimKind::SendDisconnected;
                return true;
            case Lookup::None:
                break;
        }
        return false;
    }

    static SendStatus complete_send(Claim& claim, T& item) noexcept {
        if (claim.kind != ClaimKind::ZeroPacket) {
            return SendStatus::Disconnected;
        }
        PacketRef<T> packet(static_cast<Packet<T>*>(std::exchange(claim.target, nullptr)));
        packet->fill(item);
        if (claim.partner) {
            claim.partner->unpark();
            claim.partner.reset();
        }
        return SendStatus::Sent;
    }

    static void abandon_send(Claim& claim) noexcept {
        if (claim.kind != ClaimKind::ZeroPacket) {
            return;
        }
        PacketRef<T> packet(static_cast<Packet<T>*>(std::exchange(claim.target, nullptr)));
        packet->abandon();
        if (claim.partner) {
            claim.partner->unpark();
            claim.partner.reset();
        }
    }

    // Registration of a selecting thread with an empty packet of its own
    // (`reg` keeps the reference). Returns true if the operation is ready.
    bool register_send(std::uintptr_t oper, Context& cx, void*& reg) {
        return register_with(senders_, receivers_, oper, cx, reg);
    }
    // A remote receiver registers without a packet: nobody hands it an item.
    bool register_recv(std::uintptr_t oper, Context& cx, void*& reg) {
        if (cx.is_remote()) {
            std::lock_guard<sync::WordMutex> guard(lock_);
            remote_receivers_.register_waiter(oper, cx);
            return senders_.can_select() || disconnected_.load(std::memory_order_relaxed);
        }
        return register_with(receivers_, senders_, oper, cx, reg);
    }
    void unregister_send(std::uintptr_t oper) noexcept { unregister(senders_, oper); }
    void unregister_recv(std::uintptr_t oper) noexcept {
        std::optional<WaitEntry> entry;
        {
            std::lock_guard<sync::WordMutex> guard(lock_);
            entry = receivers_.unregister(oper);
            if (!entry) {
                entry = remote_receivers_.unregister(oper);
            }
        }
        if (entry) {
            entry->cx->release();
        }
    }

    // A woken remote receiver that gives up without receiving passes its
    // wake on, while some sender still waits.
    void wake_receiver() noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        if (senders_.can_select()) {
            wake_remote_receivers();
        }
    }

    // Frees a registration's packet that no accept took over. Marking it
    // Released first keeps a claimer that picked it from waiting forever.
    static void discard_registration(void*& reg) noexcept {
        PacketRef<T> packet(static_cast<Packet<T>*>(std::exchange(reg, nullptr)));
        if (packet) {
            packet->abandon();
        }
    }

    // A receiver picked this selecting sender: the claim carries the packet,
    // which the completion fills.
    static bool accept_send(Claim& claim, void*& reg) noexcept {
        claim.kind = ClaimKind::ZeroPacket;
        claim.target = std::exchange(reg, nullptr);
        return true;
    }

    // A sender picked this selecting receiver: wait for the item.
    static bool accept_recv(Claim& claim, void*& reg) noexcept {
        PacketRef<T> packet(static_cast<Packet<T>*>(std::exchange(reg, nullptr)));
        if (packet->wait_while(Packet<T>::kEmpty) != Packet<T>::kFull) {
            return false;
        }
        packet->take([&](T&& item) noexcept { claim.item.put(std::move(item)); });
        claim.kind = ClaimKind::Received;
        return true;
    }

    // Whether a send or receive looks ready, read without the lock: a
    // partner waits, or the channel is disconnected.
    bool send_ready() const noexcept { return !receivers_.seems_empty() || is_disconnected(); }
    bool recv_ready() const noexcept { return !senders_.seems_empty() || is_disconnected(); }

    // --- state ---

    // Either side's last handle going disconnects the channel for both.
    bool disconnect_senders() noexcept { return disconnect(); }
    bool disconnect_receivers() noexcept { return disconnect(); }

    // Acquire: pairs with the release store in disconnect(), for readers without the lock.
    bool is_disconnected() const noexcept { return disconnected_.load(std::memory_order_acquire); }

    // Operations registered as waiting, per side.
    std::size_t waiting_senders() const noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        return senders_.size();
    }
    std::size_t waiting_receivers() const noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        return receivers_.size();
    }

private:
    bool disconnect() noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        if (disconnected_.load(std::memory_order_relaxed)) {  // under lock_, as every store
            return false;
        }
        disconnected_.store(true, std::memory_order_release);
        senders_.disconnect();
        receivers_.disconnect();
        remote_receivers_.disconnect();
        return true;
    }

    void unregister(Waker& side, std::uintptr_t oper) noexcept {
        std::optional<WaitEntry> entry;
        {
            std::lock_guard<sync::WordMutex> guard(lock_);
            entry = side.unregister(oper);
        }
        if (entry) {
            entry->cx->release();
        }
    }

    bool register_with(Waker& mine, Waker& theirs, std::uintptr_t oper, Context& cx, void*& reg) {
        PacketRef<T> packet(Packet<T>::empty());
        std::lock_guard<sync::WordMutex> guard(lock_);
        mine.register_waiter(oper, cx, packet.get());
        reg = packet.release();
        if (&mine == &senders_) {
            wake_remote_receivers();
        }
        return theirs.can_select() || disconnected_.load(std::memory_order_relaxed);  // under lock_
    }

    mutable sync::WordMutex lock_;
    Waker senders_;
    Waker receivers_;         // threads only: senders hand their items to these
    Waker remote_receivers_;  // woken when a sender waits
    std::atomic<bool> disconnected_{false};  // changed under the lock
};

}  // namespace torvan::engine::detail
