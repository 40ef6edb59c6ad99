#pragma once
// Bounded flavour: a ring buffer whose slots carry stamps. A stamp tells in
// which lap a slot was last written or read, so senders and receivers claim
// slots with one CAS on the tail or head and never take a lock. Room for every
// item is allocated when the channel is created.
//
// Head and tail count positions as (lap, index); the tail also carries the
// disconnection mark. Stamps never need that bit, so a published stamp with
// it set marks a hole: a slot reserved by a selected send that was abandoned.
// Receivers skip holes.
//
// A slot's stamp, against the position p (lap + index) that an operation
// looks for in it:
//
//   p                    free: the send at p may claim it
//   p + 1                written: the receive at p may take the item
//   (p + 1) | mark_bit_  a hole: the receive at p skips it
//   p + one_lap_         taken: free for the send one lap later
//
//   send      moves the tail past p while the stamp is p, writes, stores p + 1
//   receive   moves the head past p while the stamp is p + 1 (or a hole),
//             moves the item out, stores p + one_lap_
//   a send at p that finds p + 1 - one_lap_ (the last lap's item is still
//   there, and the head agrees) or p - one_lap_ (the last lap's send is
//   still writing) reports the channel full
//
// Orderings: a slot's stamp carries its memory. Every store of a stamp is a
// release (after the sender's write of the item, after the receiver's move
// out of it) and every load an operation acts on is an acquire, so an item
// is read only after it was written and overwritten only after it was read.
// Head and tail are bare positions: loaded relaxed where the stamp or the
// CAS that follows checks them; the CASes and the loads that decide "full"
// or "empty" are sequentially consistent, as is the disconnection mark.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "core/sync/cas_backoff.hpp"
#include "core/sync/cache_line.hpp"
#include "core/engine/claim.hpp"
#include "core/engine/context.hpp"
#include "core/engine/status.hpp"
#include "core/engine/waker.hpp"
#include "core/platform/clock.hpp"
#include "core/sync/spin_wait.hpp"
#include "core/sync/wait_pace.hpp"

namespace torvan::engine::detail {

template <class T>
class ArrayChannel {
    struct Slot {
        std::atomic<std::size_t> stamp{0};
        alignas(T) unsigned char storage[sizeof(T)];

        T* item() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }
    };

    struct Token {
        Slot* slot = nullptr;  // nullptr: the channel is disconnected
        std::size_t stamp = 0;
        bool hole = false;  // receives: the claimed slot is a hole
    };

public:
    // Throws std::bad_alloc if the buffer cannot be allocated or its size
    // cannot even be represented.
    explicit ArrayChannel(std::size_t capacity) : cap_(capacity) {
        if (capacity == 0 || capacity > std::numeric_limits<std::size_t>::max() / 4 / sizeof(Slot)) {
            throw std::bad_alloc();
        }
        mark_bit_ = std::size_t{1};
        while (mark_bit_ < capacity + 1) {
            mark_bit_ <<= 1;
        }
        one_lap_ = mark_bit_ * 2;
        void* raw = ::operator new(capacity * sizeof(Slot), std::align_val_t(alignof(Slot)), std::nothrow);
        if (raw == nullptr) {
            throw std::bad_alloc();
        }
        buffer_ = static_cast<Slot*>(raw);
        for (std::size_t i = 0; i < capacity; ++i) {
            Slot* slot = ::new (&buffer_[i]) Slot;
            slot->stamp.store(i, std::memory_order_relaxed);  // published with the channel
        }
    }

    ArrayChannel(const ArrayChannel&) = delete;
    ArrayChannel& operator=(const ArrayChannel&) = delete;

    // Destroys the items still buffered; no handle exists any more.
    // Relaxed: the last handle's drop (acq_rel in drop_handle) ordered every
    // other thread's use of the channel before this.
    ~ArrayChannel() {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t hix = head & (mark_bit_ - 1);
        const std::size_t count = occupied(head, tail);
        for (std::size_t i = 0; i < count; ++i) {
            std::size_t index = hix + i < cap_ ? hix + i : hix + i - cap_;
            Slot& slot = buffer_[index];
            if ((slot.stamp.load(std::memory_order_relaxed) & mark_bit_) == 0) {
                slot.item()->~T();
            }
        }
        for (std::size_t i = 0; i < cap_; ++i) {
            buffer_[i].~Slot();
        }
        ::operator delete(buffer_, std::align_val_t(alignof(Slot)));
    }

    SendStatus try_send(T& item) noexcept {
        Token token;
        if (!start_send(token)) {
            return SendStatus::Full;
        }
        return write(token, item);
    }

    SendStatus send_until(T& item, platform::Deadline deadline, bool interruptible) {
        Token token;
        if (claim_free_tail(token)) {
            return write(token, item);
        }
        return send_waiting(item, deadline, interruptible);
    }

    template <class Sink>
    RecvStatus recv_until(Sink&& sink, platform::Deadline deadline, bool interruptible) {
        Token token;
        if (claim_written_head(token) && read(token, sink)) {
            return RecvStatus::Received;
        }
        return recv_waiting(sink, deadline, interruptible);
    }

private:
    // The waiting paths are out of line, so that the fast paths above stay
    // small enough to inline.
    [[gnu::noinline]] SendStatus send_waiting(T& item, platform::Deadline deadline, bool interruptible) {
        Token token;
        sync::PacedWait wait(send_pace());
        for (;; wait.slept()) {
            sync::SpinWait& spin = wait.spin();
            for (;;) {
                if (start_send(token)) {
                    wait.ended();
                    return write(token, item);
                }
                if (deadline.has_passed()) {
                    return SendStatus::TimedOut;
                }
                if (!await_room(spin)) {
                    break;
                }
            }
            // Room may have appeared between the last attempt and the registration.
            const auto room = [this] { return !is_full() || is_disconnected(); };
            if (senders_.sleep(reinterpret_cast<std::uintptr_t>(&token), spin, deadline, interruptible, room) ==
                AbortReason::Interrupted) {
                return SendStatus::Interrupted;
            }
        }
    }

    template <class Sink>
    [[gnu::noinline]] RecvStatus recv_waiting(Sink& sink, platform::Deadline deadline, bool interruptible) {
        Token token;
        sync::PacedWait wait(recv_pace());
        for (;; wait.slept()) {
            sync::SpinWait& spin = wait.spin();
            for (;;) {
                if (start_recv(token)) {
                    wait.ended();
                    if (token.slot == nullptr) {
                        return RecvStatus::Disconnected;
                    }
                    if (read(token, sink)) {
                        return RecvStatus::Received;
                    }
                    continue;  // skipped a hole
                }
                if (deadline.has_passed()) {
                    return RecvStatus::TimedOut;
                }
                if (!await_item(spin)) {
                    break;
                }
            }
            // An item may have arrived between the last attempt and the registration.
            const auto arrived = [this] { return !is_empty() || is_disconnected(); };
            if (receivers_.sleep(reinterpret_cast<std::uintptr_t>(&token), spin, deadline, interruptible, arrived) ==
                AbortReason::Interrupted) {
                return RecvStatus::Interrupted;
            }
        }
    }

public:
    template <class Sink>
    RecvStatus try_recv(Sink&& sink) noexcept {
        Token token;
        for (;;) {
            if (!start_recv(token)) {
                return RecvStatus::Empty;
            }
            if (token.slot == nullptr) {
                return RecvStatus::Disconnected;
            }
            if (read(token, sink)) {
                return RecvStatus::Received;
            }
        }
    }

    // --- selection ---

    bool try_select_send(Claim& claim) noexcept {
        Token token;
        if (!start_send(token)) {
            return false;
        }
        claim.kind = token.slot != nullptr ? ClaimKind::ArraySlot : ClaimKind::SendDisconnected;
        claim.target = token.slot;
        claim.stamp = token.stamp;
        return true;
    }

    SendStatus complete_send(Claim& claim, T& item) noexcept {
        Token token{static_cast<Slot*>(claim.target), claim.stamp};
        return write(token, item);
    }

    // Publishes the reserved slot as a hole so that receivers do not wait for it.
    void abandon_send(Claim& claim) noexcept {
        if (claim.kind == ClaimKind::ArraySlot) {
            Slot* slot = static_cast<Slot*>(claim.target);
            slot->stamp.store(claim.stamp | mark_bit_, std::memory_order_release);  // pairs with start_recv's acquire
            receivers_.notify();
        }
    }

    // Whether an operation looks ready, from the one slot it needs (a
    // disconnection is not seen here). Relaxed: a hint for select; the
    // operation that follows acquires the stamp itself.
    bool send_ready() const noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed) & ~mark_bit_;
        return buffer_[tail & (mark_bit_ - 1)].stamp.load(std::memory_order_relaxed) == tail;
    }
    bool recv_ready() const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        return buffer_[head & (mark_bit_ - 1)].stamp.load(std::memory_order_relaxed) != head;
    }

    // The paces of waiting senders and receivers (sync::WaitPace); relaxed:
    // positions for pacing only, no memory is read through them.
    sync::PaceAt send_pace() noexcept { return {&send_pace_, item_count(tail_.load(std::memory_order_relaxed))}; }
    sync::PaceAt recv_pace() noexcept { return {&recv_pace_, item_count(head_.load(std::memory_order_relaxed))}; }

    // Registration returns true when the operation is ready already.
    bool register_send(std::uintptr_t oper, Context& cx) {
        senders_.register_waiter(oper, cx);
        return !is_full() || is_disconnected();
    }
    void unregister_send(std::uintptr_t oper) noexcept { senders_.unregister(oper); }
    bool register_recv(std::uintptr_t oper, Context& cx) {
        receivers_.register_waiter(oper, cx);
        return !is_empty() || is_disconnected();
    }
    void unregister_recv(std::uintptr_t oper) noexcept { receivers_.unregister(oper); }

    // A woken waiter that gives up without acting passes its wake on to the
    // next waiter of its side.
    void wake_sender() noexcept { senders_.notify(); }
    void wake_receiver() noexcept { receivers_.notify(); }

    // Operations registered as waiting, per side.
    std::size_t waiting_senders() const noexcept { return senders_.registered(); }
    std::size_t waiting_receivers() const noexcept { return receivers_.registered(); }

    // --- state ---

    // The last sender is gone: receivers drain the buffer.
    void disconnect_senders() noexcept { disconnect(); }

    // Marks the channel disconnected and wakes every waiter; true the first
    // time.
    bool disconnect() noexcept {
        const std::size_t tail = tail_.fetch_or(mark_bit_, std::memory_order_seq_cst);
        if ((tail & mark_bit_) == 0) {
            senders_.disconnect();
            receivers_.disconnect();
            return true;
        }
        return false;
    }

    // The last receiver is gone: nobody can take the buffered items any more,
    // so destroy them now (they may own handles of this very channel), also
    // when the senders were disconnected before. A slot whose send is still
    // in flight stops the sweep; what remains goes with the channel.
    void disconnect_receivers() noexcept {
        disconnect();
        // Acquire: pairs with the senders' claims; each stamp is acquired below.
        const std::size_t tail = tail_.load(std::memory_order_acquire) & ~mark_bit_;
        std::size_t head = head_.load(std::memory_order_relaxed);  // no receiver is left to move it
        while (head != tail) {
            const std::size_t index = head & (mark_bit_ - 1);
            const std::size_t lap = head & ~(one_lap_ - 1);
            Slot& slot = buffer_[index];
            const std::size_t stamp = slot.stamp.load(std::memory_order_acquire);
            if ((stamp & ~mark_bit_) != head + 1) {
                break;
            }
            if ((stamp & mark_bit_) == 0) {
                slot.item()->~T();
            }
            // Release, as a receive's: pairs with the senders' acquire of the stamp and the head.
            slot.stamp.store(head + one_lap_, std::memory_order_release);
            head = index + 1 < cap_ ? head + 1 : lap + one_lap_;
            head_.store(head, std::memory_order_release);
        }
    }

    bool is_disconnected() const noexcept { return (tail_.load(std::memory_order_seq_cst) & mark_bit_) != 0; }

    bool is_empty() const noexcept {
        const std::size_t head = head_.load(std::memory_order_seq_cst);
        const std::size_t tail = tail_.load(std::memory_order_seq_cst);
        return (tail & ~mark_bit_) == head;
    }

    bool is_full() const noexcept {
        const std::size_t tail = tail_.load(std::memory_order_seq_cst);
        const std::size_t head = head_.load(std::memory_order_seq_cst);
        return head + one_lap_ == (tail & ~mark_bit_);
    }

    std::size_t len() const noexcept {
        for (;;) {
            const std::size_t tail = tail_.load(std::memory_order_seq_cst);
            const std::size_t head = head_.load(std::memory_order_seq_cst);
            if (tail_.load(std::memory_order_seq_cst) == tail) {
                return occupied(head, tail);
            }
        }
    }

    std::size_t capacity() const noexcept { return cap_; }

private:
    std::size_t occupied(std::size_t head, std::size_t tail) const noexcept {
        const std::size_t hix = head & (mark_bit_ - 1);
        const std::size_t tix = tail & (mark_bit_ - 1);
        if (hix < tix) {
            return tix - hix;
        }
        if (hix > tix) {
            return cap_ - hix + tix;
        }
        return (tail & ~mark_bit_) == head ? 0 : cap_;
    }

    // A position as a count of items: laps times the capacity plus the index.
    std::size_t item_count(std::size_t position) const noexcept {
        position &= ~mark_bit_;
        return position / one_lap_ * cap_ + (position & (mark_bit_ - 1));
    }

    // Spinning before sleeping watches the one slot that the next operation
    // needs, not the head or tail: those the other side updates on every
    // operation, and polling them would slow it down. False once the
    // spinning is over (a disconnection is noticed then, at the latest).
    // Relaxed: watching only; the operation that follows acquires the stamp.
    bool await_room(sync::SpinWait& spin) const noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed) & ~mark_bit_;
        const Slot& slot = buffer_[tail & (mark_bit_ - 1)];
        do {
            if (!spin.spin()) {
                return false;
            }
        } while (slot.stamp.load(std::memory_order_relaxed) != tail);
        return true;
    }

    bool await_item(sync::SpinWait& spin) const noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const Slot& slot = buffer_[head & (mark_bit_ - 1)];
        do {
            if (!spin.spin()) {
                return false;
            }
        } while (slot.stamp.load(std::memory_order_relaxed) == head);
        return true;
    }

    // Reserves the slot at the tail. False when full; a null slot when disconnected.
    bool start_send(Token& token) noexcept {
        sync::CasBackoff backoff;
        sync::SpinWait wait;
        std::size_t tail = tail_.load(std::memory_order_relaxed);
        for (;;) {
            if ((tail & mark_bit_) != 0) {
                token.slot = nullptr;
                return true;
            }
            const std::size_t index = tail & (mark_bit_ - 1);
            const std::size_t lap = tail & ~(one_lap_ - 1);
            Slot& slot = buffer_[index];
            // Acquire: pairs with the release store of the receiver that freed
            // the slot in the last lap, whose read of the item comes first.
            const std::size_t stamp = slot.stamp.load(std::memory_order_acquire) & ~mark_bit_;
            if (tail == stamp) {
                // The slot is free in this lap: move the tail past it.
                const std::size_t new_tail = index + 1 < cap_ ? tail + 1 : lap + one_lap_;
                if (tail_.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst,
                                                std::memory_order_relaxed)) {
                    token.slot = &slot;
                    token.stamp = tail + 1;
                    return true;
                }
                backoff.spin();
            } else if (stamp + one_lap_ == tail + 1) {
                // The slot still holds the item of the previous lap: full unless the head moved.
                // Sequentially consistent, like the receivers' updates of the head.
                const std::size_t head = head_.load(std::memory_order_seq_cst);
                if (head + one_lap_ == tail) {
                    return false;
                }
                backoff.spin();
                tail = tail_.load(std::memory_order_relaxed);
            } else if (stamp + one_lap_ == tail) {
                // Reserved in the previous lap and not yet written (a send in
                // progress or a selected send not yet completed): the buffer
                // is full. Waiting here could wait for this very thread.
                return false;
            } else {
                // The tail moved on meanwhile.
                wait.snooze();
                tail = tail_.load(std::memory_order_relaxed);
            }
        }
    }

    SendStatus write(Token& token, T& item) noexcept {
        if (token.slot == nullptr) {
            return SendStatus::Disconnected;
        }
        ::new (token.slot->storage) T(std::move(item));
        // Release: pairs with the receivers' acquire of the stamp.
        token.slot->stamp.store(token.stamp, std::memory_order_release);
        receivers_.notify();
        return SendStatus::Sent;
    }

    // Claims the slot at the head. False when empty; a null slot when
    // disconnected and drained.
    bool start_recv(Token& token) noexcept {
        sync::CasBackoff backoff;
        sync::SpinWait wait;
        std::size_t head = head_.load(std::memory_order_relaxed);
        for (;;) {
            const std::size_t index = head & (mark_bit_ - 1);
            const std::size_t lap = head & ~(one_lap_ - 1);
            Slot& slot = buffer_[index];
            const std::size_t stamp = slot.stamp.load(std::memory_order_acquire);
            if (head + 1 == (stamp & ~mark_bit_)) {
                // The slot holds an item of this lap: move the head past it.
                const std::size_t new_head = index + 1 < cap_ ? head + 1 : lap + one_lap_;
                if (head_.compare_exchange_weak(head, new_head, std::memory_order_seq_cst,
                                                std::memory_order_relaxed)) {
                    token.slot = &slot;
                    token.stamp = head + one_lap_;
                    token.hole = (stamp & mark_bit_) != 0;
                    return true;
                }
                backoff.spin();
            } else if (stamp == head) {
                // Nothing written here in this lap: empty unless the tail moved.
                // Sequentially consistent, like the senders' updates of the tail.
                const std::size_t tail = tail_.load(std::memory_order_seq_cst);
                if ((tail & ~mark_bit_) == head) {
                    if ((tail & mark_bit_) != 0) {
                        token.slot = nullptr;
                        return true;
                    }
                    return false;
                }
                // A send reserved this slot and has not published it yet.
                // Wait a little; a selected send that its caller has not
                // completed yet (possibly this very thread) counts as empty.
                if (!wait.spin()) {
                    return false;
                }
                head = head_.load(std::memory_order_relaxed);
            } else {
                wait.snooze();
                head = head_.load(std::memory_order_relaxed);
            }
        }
    }

    // The first attempt of a blocking send: takes the tail slot if it is free
    // in this lap, without looking at the head (which the receivers keep
    // updating); full, disconnected and contended cases go the waiting path.
    bool claim_free_tail(Token& token) noexcept {
        std::size_t tail = tail_.load(std::memory_order_relaxed);
        for (;;) {
            const std::size_t index = tail & (mark_bit_ - 1);
            Slot& slot = buffer_[index];
            if ((tail & mark_bit_) != 0 || slot.stamp.load(std::memory_order_acquire) != tail) {
                return false;
            }
            const std::size_t new_tail = index + 1 < cap_ ? tail + 1 : (tail & ~(one_lap_ - 1)) + one_lap_;
            if (tail_.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst, std::memory_order_relaxed)) {
                token.slot = &slot;
                token.stamp = tail + 1;
                return true;
            }
        }
    }

    // The first attempt of a blocking receive: takes the head slot if it has
    // been written, without looking at the tail (which the senders keep
    // updating); anything else is sorted out by the waiting path.
    bool claim_written_head(Token& token) noexcept {
        std::size_t head = head_.load(std::memory_order_relaxed);
        for (;;) {
            const std::size_t index = head & (mark_bit_ - 1);
            Slot& slot = buffer_[index];
            const std::size_t stamp = slot.stamp.load(std::memory_order_acquire);
            if (head + 1 != (stamp & ~mark_bit_)) {
                return false;
            }
            const std::size_t new_head = index + 1 < cap_ ? head + 1 : (head & ~(one_lap_ - 1)) + one_lap_;
            if (head_.compare_exchange_weak(head, new_head, std::memory_order_seq_cst, std::memory_order_relaxed)) {
                token.slot = &slot;
                token.stamp = head + one_lap_;
                token.hole = (stamp & mark_bit_) != 0;
                return true;
            }
        }
    }

    // Moves the item out and frees the slot for the next lap. False for a hole.
    template <class Sink>
    bool read(Token& token, Sink& sink) noexcept {
        Slot* slot = token.slot;
        if (!token.hole) {
            T* item = slot->item();
            sink(std::move(*item));
            item->~T();
        }
        // Release: pairs with the senders' acquire of the stamp: the move out comes first.
        slot->stamp.store(token.stamp, std::memory_order_release);
        senders_.notify();
        return !token.hole;
    }

    alignas(sync::kCacheLine) std::atomic<std::size_t> head_{0};
    sync::WaitPace recv_pace_{sync::WaitPace::kBufferedStreamingGapNs};  // on the line that receivers write anyway
    alignas(sync::kCacheLine) std::atomic<std::size_t> tail_{0};
    sync::WaitPace send_pace_{sync::WaitPace::kBufferedStreamingGapNs};
    alignas(sync::kCacheLine) Slot* buffer_ = nullptr;
    std::size_t cap_;
    std::size_t one_lap_ = 0;
    std::size_t mark_bit_ = 0;
    // Apart from the fields above, which every operation reads: registering
    // and waking waiters writes here.
    alignas(sync::kCacheLine) SyncWaker senders_;
    alignas(sync::kCacheLine) SyncWaker receivers_;
};

}  // namespace torvan::engine::detail
