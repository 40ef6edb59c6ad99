#pragma once
// Unbounded flavour: a linked list of fixed-size blocks. Senders claim a
// position with one CAS on the tail and allocate the next block ahead of
// time; receivers claim with one CAS on the head. No locks; a send never
// waits.
//
// Positions advance in steps of 1 << kShift; the tail's low bit marks the
// channel disconnected. Receivers remember a tail position they have seen:
// every position below it has been claimed by a send, so they read the tail
// (which every send writes) only when they catch up with it, and not even
// then when the receiving thread's own last send claimed a later position
// (last_claim.hpp).
//
// A slot's life:
//
//   claimed by a send     the tail moved past its position
//   written               the send moved the item in and set `written`
//   claimed by a receive  the head moved past its position; the receive
//                         waits for `written` if the send is still at it
//   read                  the receive took the item out (take_from_slot),
//                         destroyed the rest unless the item type keeps it
//                         (left_in_slot), and set the slot's `read` mark,
//                         which says which it was
//   emptied               what the receive left in the slot is destroyed
//                         when a sender takes the block for reuse, or when
//                         the block is freed: the marks show which slots to
//                         visit, so a sender reads no slot that holds nothing
//
// The position at offset kBlockCap of every lap is no slot: a tail or head
// resting there means that the next block is being installed.
//
// A receiver marks its slot read with a plain store, on a line of the block
// apart from the items, and the receiver of a block's last slot frees the
// block once every earlier slot has been marked. Receivers claim a slot
// after its send has claimed it, and mark it as soon as they have moved the
// item out, so that wait is for a step already under way.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

#include "core/sync/cas_backoff.hpp"
#include "core/sync/cache_line.hpp"
#include "core/engine/block_cache.hpp"
#include "core/engine/claim.hpp"
#include "core/engine/context.hpp"
#include "core/engine/last_claim.hpp"
#include "core/engine/slot_take.hpp"
#include "core/engine/status.hpp"
#include "core/engine/waker.hpp"
#include "core/platform/clock.hpp"
#include "core/sync/pointer_places.hpp"
#include "core/sync/spin_wait.hpp"
#include "core/sync/wait_pace.hpp"

namespace torvan::engine::detail {

template <class T>
class ListChannel {
    static constexpr std::size_t kLap = 32;
    static constexpr std::size_t kBlockCap = kLap - 1;
    static constexpr std::size_t kShift = 1;
    static constexpr std::size_t kStep = std::size_t{1} << kShift;
    static constexpr std::size_t kMarkBit = 1;

    // A slot's read mark.
    static constexpr std::uint8_t kUnread = 0;
    static constexpr std::uint8_t kRead = 1;
    static constexpr std::uint8_t kReadLeft = 2;  // the slot keeps what the receive left

    struct Slot {
        // Only the sender sets `written`, so a plain store publishes the item.
        std::atomic<std::uint8_t> written{0};
        alignas(T) unsigned char storage[sizeof(T)];

        T* item() noexcept { return std::launder(reinterpret_cast<T*>(storage)); }

        void wait_write() const noexcept {
            // Acquire: pairs with the release store of `written` in write(), which the item precedes.
            if (written.load(std::memory_order_acquire) == 0) [[unlikely]] {
                wait_write_slow();
            }
        }
        [[gnu::noinline]] void wait_write_slow() const noexcept {
            sync::SpinWait wait;
            while (written.load(std::memory_order_acquire) == 0) {  // as in wait_write()
                wait.snooze();
            }
        }
    };

    // Plainly allocated (an over-aligned type would take the slower aligned
    // allocation on every block), through the block cache; the gap keeps the
    // marks off the items' lines.
    struct Block {
        static void* operator new(std::size_t) {
            static_assert(alignof(Block) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
            return BlockCache<sizeof(Block)>::allocate();
        }
        static void operator delete(void* memory) noexcept { BlockCache<sizeof(Block)>::release(memory); }

        Slot slots[kBlockCap];
        unsigned char gap[sync::kCacheLine];
        // Written by receivers only, apart from the items that senders write:
        // kUnread, kRead, or kReadLeft when the slot keeps what the receive left.
        std::atomic<std::uint8_t> read[kBlockCap] = {};
        std::atomic<Block*> next{nullptr};

        Block* wait_next() const noexcept {
            sync::SpinWait wait;
            for (;;) {
                // Acquire: pairs with the sender's release store of `next` when it installs the block.
                Block* n = next.load(std::memory_order_acquire);
                if (n != nullptr) {
                    return n;
                }
                wait.snooze();
            }
        }

        // Waits until the slots before the last one have all been read.
        void wait_reads() const noexcept {
            for (std::size_t i = 0; i + 1 < kBlockCap; ++i) {
                sync::SpinWait wait;
                // Acquire: pairs with the release store of the mark in read(): that
                // receiver's last use of the block comes before its reuse or freeing.
                while (read[i].load(std::memory_order_acquire) == kUnread) {
                    wait.snooze();
                }
            }
        }

        // Destroys what the receives left in the first `count` slots, all read.
        void destroy_left(std::size_t count) noexcept {
            if constexpr (!std::is_trivially_destructible_v<T>) {
                for (std::size_t i = 0; i < count; ++i) {
                    // Relaxed: every mark was seen set with acquire (wait_reads, or the
                    // spare's hand-over in PointerPlaces) before a block's leftovers go.
                    if (read[i].load(std::memory_order_relaxed) == kReadLeft) {
                        slots[i].item()->~T();
                    }
                }
            }
        }

        // Makes a block read to its end as good as new, for reuse.
        // Relaxed stores: the block is private to the sender until it installs
        // it with the release stores in start_send_slow().
        void reset() noexcept {
            destroy_left(kBlockCap);
            next.store(nullptr, std::memory_order_relaxed);
            for (std::size_t i = 0; i < kBlockCap; ++i) {
                slots[i].written.store(0, std::memory_order_relaxed);
                read[i].store(kUnread, std::memory_order_relaxed);
            }
        }
    };

    struct Tail {
        std::atomic<std::size_t> index{0};
        std::atomic<Block*> block{nullptr};
        const std::uint64_t number = next_channel_number();
    };

    struct Head {
        std::atomic<std::size_t> index{0};
        std::atomic<Block*> block{nullptr};
        // A tail position a receiver has seen; receivers store it racily, so
        // it may lag, but it is never ahead of the tail.
        std::atomic<std::size_t> seen_tail{0};
        sync::WaitPace pace;  // of waiting receivers
        std::uint64_t number = 0;  // the channel's, copied here for receivers
    };

    struct Token {
        Block* block = nullptr;  // nullptr: the channel is disconnected
        std::size_t offset = 0;
    };

public:
    ListChannel() noexcept { head_.number = tail_.number; }
    ListChannel(const ListChannel&) = delete;
    ListChannel& operator=(const ListChannel&) = delete;

    // Destroys the items still buffered, and what receives left; no handle
    // exists any more.
    // Relaxed: the last handle's drop (acq_rel in drop_handle) ordered every
    // other thread's use of the channel before this.
    ~ListChannel() {
        std::size_t head = head_.index.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.index.load(std::memory_order_relaxed) & ~kMarkBit;
        Block* block = head_.block.load(std::memory_order_relaxed);
        if (block != nullptr) {
            block->destroy_left((head >> kShift) % kLap);
        }
        while (head != tail) {
            const std::size_t offset = (head >> kShift) % kLap;
            if (offset < kBlockCap) {
                block->slots[offset].item()->~T();
            } else {
                Block* next = block->next.load(std::memory_order_relaxed);
                delete block;
                block = next;
            }
            head += kStep;
        }
        delete block;
        while (Block* spare = spares_.take()) {
            spare->destroy_left(kBlockCap);
            delete spare;
        }
    }

    // Throws std::bad_alloc if a new block is needed and cannot be allocated;
    // the item is then left with the caller.
    SendStatus send(T& item) {
        Token token;
        start_send(token);
        return write(token, item);
    }

    template <class Sink>
    RecvStatus try_recv(Sink&& sink) noexcept {
        Token token;
        if (!start_recv(token)) {
            return RecvStatus::Empty;
        }
        if (token.block == nullptr) {
            return RecvStatus::Disconnected;
        }
        read(token, sink);
        return RecvStatus::Received;
    }

    template <class Sink>
    RecvStatus recv_until(Sink&& sink, platform::Deadline deadline, bool interruptible) {
        Token token;
        if (start_recv(token)) {
            if (token.block == nullptr) {
                return RecvStatus::Disconnected;
            }
            read(token, sink);
            return RecvStatus::Received;
        }
        return recv_waiting(sink, deadline, interruptible);
    }

private:
    // Out of line, so that the fast path above stays small enough to inline.
    // Spinning comes before registering: while nobody is registered, a send
    // pays one load for its wake-up call.
    template <class Sink>
    [[gnu::noinline]] RecvStatus recv_waiting(Sink& sink, platform::Deadline deadline, bool interruptible) {
        Token token;
        sync::PacedWait wait(recv_pace());
        for (;; wait.slept()) {
            sync::SpinWait& spin = wait.spin();
            do {
                if (start_recv(token)) {
                    wait.ended();
                    if (token.block == nullptr) {
                        return RecvStatus::Disconnected;
                    }
                    read(token, sink);
                    return RecvStatus::Received;
                }
                if (deadline.has_passed()) {
                    return RecvStatus::TimedOut;
                }
            } while (spin.spin());
            // An item may have arrived between the last attempt and the registration.
            const auto arrived = [this] { return !is_empty() || is_disconnected(); };
            if (receivers_.sleep(reinterpret_cast<std::uintptr_t>(&token), spin, deadline, interruptible, arrived) ==
                AbortReason::Interrupted) {
                return RecvStatus::Interrupted;
            }
        }
    }

public:
    // --- selection ---

    // A send is always ready; completing it is an ordinary send.
    bool try_select_send(Claim& claim) noexcept {
        claim.kind = is_disconnected() ? ClaimKind::SendDisconnected : ClaimKind::ListSend;
        return true;
    }

    SendStatus complete_send(Claim& claim, T& item) {
        if (claim.kind == ClaimKind::SendDisconnected) {
            return SendStatus::Disconnected;
        }
        return send(item);
    }

    // A receive would not wait: something is buffered or the channel is
    // disconnected. Reads only.
    bool recv_ready() const noexcept {
        // Acquire: pairs with the senders' claims and installs of the tail; it only
        // answers "would a receive wait", the receive itself orders the item.
        const std::size_t tail = tail_.index.load(std::memory_order_acquire);
        return (tail & kMarkBit) != 0 || (head_.index.load(std::memory_order_acquire) >> kShift) != (tail >> kShift);
    }

    // The pace of waiting receivers (sync::WaitPace).
    sync::PaceAt recv_pace() noexcept {
        // Relaxed: a position for pacing only, no memory is read through it.
        return {&head_.pace, head_.index.load(std::memory_order_relaxed) >> kShift};
    }

    bool register_recv(std::uintptr_t oper, Context& cx) {
        receivers_.register_waiter(oper, cx);
        return !is_empty() || is_disconnected();
    }
    void unregister_recv(std::uintptr_t oper) noexcept { receivers_.unregister(oper); }

    // A woken receiver that gives up without receiving passes its wake on.
    void wake_receiver() noexcept { receivers_.notify(); }

    // Operations registered as waiting; sends never wait.
    std::size_t waiting_receivers() const noexcept { return receivers_.registered(); }

    // --- state ---

    bool disconnect_senders() noexcept {
        const std::size_t tail = tail_.index.fetch_or(kMarkBit, std::memory_order_seq_cst);
        if ((tail & kMarkBit) == 0) {
            receivers_.disconnect();
            return true;
        }
        return false;
    }

    // Destroys the buffered items at once: nobody can receive them any more.
    // Runs once, for the last receiver; the senders may have been
    // disconnected before (disconnect_senders), which leaves the items.
    bool disconnect_receivers() noexcept {
        const std::size_t tail = tail_.index.fetch_or(kMarkBit, std::memory_order_seq_cst);
        discard_all_messages();
        return (tail & kMarkBit) == 0;
    }

    bool is_disconnected() const noexcept {
        return (tail_.index.load(std::memory_order_seq_cst) & kMarkBit) != 0;
    }

    bool is_empty() const noexcept {
        const std::size_t head = head_.index.load(std::memory_order_seq_cst);
        const std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
        return (head >> kShift) == (tail >> kShift);
    }

    std::size_t len() const noexcept {
        for (;;) {
            std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
            std::size_t head = head_.index.load(std::memory_order_seq_cst);
            if (tail_.index.load(std::memory_order_seq_cst) != tail) {
                continue;
            }
            tail &= ~(kStep - 1);
            head &= ~(kStep - 1);
            // Positions at a block's end stand for the start of the next block.
            if (((tail >> kShift) & (kLap - 1)) == kLap - 1) {
                tail += kStep;
            }
            if (((head >> kShift) & (kLap - 1)) == kLap - 1) {
                head += kStep;
            }
            // Rebase both so that the head falls into the first block, then
            // discount one unused position per block boundary.
            const std::size_t lap = (head >> kShift) / kLap;
            tail -= (lap * kLap) << kShift;
            head -= (lap * kLap) << kShift;
            tail >>= kShift;
            head >>= kShift;
            return tail - head - tail / kLap;
        }
    }

private:
    // Reserves the position at the tail (a null block when disconnected).
    // The common case, a free position inside the current block, is tried
    // inline; the rest is out of line.
    //
    // Acquire loads of the index, then the block: pair with the release
    // fetch_add of the index (after the release store of the block) when a
    // sender installs the next block, so a new lap's index brings its block.
    // An index older than the block makes the CAS fail.
    void start_send(Token& token) {
        std::size_t tail = tail_.index.load(std::memory_order_acquire);
        Block* block = tail_.block.load(std::memory_order_acquire);
        const std::size_t offset = (tail >> kShift) % kLap;
        if (block != nullptr && (tail & kMarkBit) == 0 && offset + 1 < kBlockCap &&
            tail_.index.compare_exchange_weak(tail, tail + kStep, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
            t_last_claim = {tail_.number, tail + kStep};
            token.block = block;
            token.offset = offset;
            return;
        }
        start_send_slow(token);
    }

    // The acquire loads pair as in start_send.
    [[gnu::noinline]] void start_send_slow(Token& token) {
        sync::CasBackoff backoff;
        std::size_t tail = tail_.index.load(std::memory_order_acquire);
        Block* block = tail_.block.load(std::memory_order_acquire);
        std::unique_ptr<Block> next_block;
        sync::SpinWait wait;
        for (;;) {
            if ((tail & kMarkBit) != 0) {
                token.block = nullptr;
                return;
            }
            const std::size_t offset = (tail >> kShift) % kLap;
            if (offset == kBlockCap) {
                // Another sender is installing the next block.
                wait.snooze();
                tail = tail_.index.load(std::memory_order_acquire);
                block = tail_.block.load(std::memory_order_acquire);
                continue;
            }
            // About to fill the block: allocate the next one before claiming.
            if (offset + 1 == kBlockCap && !next_block) {
                next_block = new_block();
            }
            if (block == nullptr) {
                // The very first send installs the first block.
                std::unique_ptr<Block> first = new_block();
                Block* expected = nullptr;
                // Release: pairs with the acquire loads of the block by senders, and
                // below of head_.block by receivers: the new block's contents come first.
                if (tail_.block.compare_exchange_strong(expected, first.get(), std::memory_order_release,
                                                        std::memory_order_relaxed)) {
                    head_.block.store(first.get(), std::memory_order_release);
                    block = first.release();
                } else {
                    if (!next_block) {
                        next_block = std::move(first);
                    }
                    tail = tail_.index.load(std::memory_order_acquire);
                    block = tail_.block.load(std::memory_order_acquire);
                    continue;
                }
            }
            const std::size_t new_tail = tail + kStep;
            if (tail_.index.compare_exchange_weak(tail, new_tail, std::memory_order_seq_cst,
                                                  std::memory_order_acquire)) {
                if (offset + 1 == kBlockCap) {
                    // Install the next block and skip the end-of-block position.
                    // Adding keeps a disconnection mark set in the meantime. Release
                    // stores: the block before the index (see start_send), and `next`
                    // for receivers (Block::wait_next).
                    Block* next = next_block.release();
                    tail_.block.store(next, std::memory_order_release);
                    tail_.index.fetch_add(kStep, std::memory_order_release);
                    block->next.store(next, std::memory_order_release);
                }
                t_last_claim = {tail_.number, new_tail};
                token.block = block;
                token.offset = offset;
                return;
            }
            block = tail_.block.load(std::memory_order_acquire);
            backoff.spin();
        }
    }

    SendStatus write(Token& token, T& item) noexcept {
        if (token.block == nullptr) {
            return SendStatus::Disconnected;
        }
        Slot& slot = token.block->slots[token.offset];
        ::new (slot.storage) T(std::move(item));
        // Release: pairs with the acquire loads in Slot::wait_write.
        slot.written.store(1, std::memory_order_release);
        receivers_.notify();
        return SendStatus::Sent;
    }

    // Claims the position at the head. False when empty; a null block when
    // disconnected and drained. A claimed position's send may still be
    // writing its item (read() waits for it). The common case, a position
    // below the tail seen before and inside the current block, is tried
    // inline. Index and block are loaded as in start_send, pairing with the
    // release stores of the receiver that moves the head to the next block.
    bool start_recv(Token& token) noexcept {
        std::size_t head = head_.index.load(std::memory_order_acquire);
        Block* block = head_.block.load(std::memory_order_acquire);
        const std::size_t offset = (head >> kShift) % kLap;
        if (block != nullptr && offset + 1 < kBlockCap && below_seen_tail(head) &&
            head_.index.compare_exchange_weak(head, head + kStep, std::memory_order_seq_cst,
                                              std::memory_order_relaxed)) {
            token.block = block;
            token.offset = offset;
            return true;
        }
        return start_recv_slow(token);
    }

    // True when a send has claimed the position (its item may still be on
    // the way); the tail is read only when neither the tail seen before nor
    // this thread's own last send says so.
    bool below_seen_tail(std::size_t head) noexcept {
        // Relaxed: a bound on the claimed positions only; the item is read after
        // the slot's `written` (acquire), never on this word's say-so.
        if ((head >> kShift) < (head_.seen_tail.load(std::memory_order_relaxed) >> kShift)) {
            return true;
        }
        if (t_last_claim.channel == head_.number && (head >> kShift) < (t_last_claim.end >> kShift)) {
            return true;
        }
        // Sequentially consistent, like the senders' updates of the tail.
        const std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
        if ((tail >> kShift) > (head >> kShift) + 1) {
            head_.seen_tail.store(tail, std::memory_order_relaxed);  // worth remembering
        }
        return (head >> kShift) < (tail >> kShift);
    }

    [[gnu::noinline]] bool start_recv_slow(Token& token) noexcept {
        sync::CasBackoff backoff;
        std::size_t head = head_.index.load(std::memory_order_acquire);
        Block* block = head_.block.load(std::memory_order_acquire);
        sync::SpinWait wait;
        for (;;) {
            const std::size_t offset = (head >> kShift) % kLap;
            if (offset == kBlockCap) {
                // Another receiver is moving the head to the next block.
                wait.snooze();
                head = head_.index.load(std::memory_order_acquire);
                block = head_.block.load(std::memory_order_acquire);
                continue;
            }
            if ((head >> kShift) >= (head_.seen_tail.load(std::memory_order_relaxed) >> kShift)) {
                // Sequentially consistent, like the senders' updates of the tail.
                const std::size_t tail = tail_.index.load(std::memory_order_seq_cst);
                if ((head >> kShift) == (tail >> kShift)) {
                    if ((tail & kMarkBit) != 0) {
                        token.block = nullptr;
                        return true;
                    }
                    return false;
                }
                head_.seen_tail.store(tail, std::memory_order_relaxed);
            }
            if (block == nullptr) {
                // The first block is being installed.
                wait.snooze();
                head = head_.index.load(std::memory_order_acquire);
                block = head_.block.load(std::memory_order_acquire);
                continue;
            }
            const std::size_t new_head = head + kStep;
            if (head_.index.compare_exchange_weak(head, new_head, std::memory_order_seq_cst,
                                                  std::memory_order_acquire)) {
                if (offset + 1 == kBlockCap) {
                    // Release, block before index: see start_recv.
                    Block* next = block->wait_next();
                    head_.block.store(next, std::memory_order_release);
                    head_.index.store(new_head + kStep, std::memory_order_release);
                }
                token.block = block;
                token.offset = offset;
                return true;
            }
            block = head_.block.load(std::memory_order_acquire);
            backoff.spin();
        }
    }

    template <class Sink>
    void read(Token& token, Sink& sink) noexcept {
        Block* block = token.block;
        Slot& slot = block->slots[token.offset];
        slot.wait_write();
        T item = take_from_slot_of(*slot.item());
        std::uint8_t mark = kRead;
        if constexpr (!std::is_trivially_destructible_v<T>) {
            if (left_in_slot_of(*slot.item())) {
                mark = kReadLeft;
            } else {
                slot.item()->~T();
            }
        }
        sink(std::move(item));
        if (token.offset + 1 == kBlockCap) {
            finish_block(block, mark);
        } else {
            // The last use of the block by this receiver. Release: pairs with the
            // acquire loads in Block::wait_reads.
            block->read[token.offset].store(mark, std::memory_order_release);
        }
    }

    // After the receive of a block's last slot. Out of line: a receive's
    // fast path is inline in its callers.
    [[gnu::noinline]] void finish_block(Block* block, std::uint8_t last_mark) noexcept {
        // Nobody else reads this mark before the block is handed on.
        block->read[kBlockCap - 1].store(last_mark, std::memory_order_relaxed);
        block->wait_reads();
        recycle(block);
    }

    // A block for the tail: a spare one if there is one, else a new one.
    // The sender resets a spare: it writes those lines next anyway.
    std::unique_ptr<Block> new_block() {
        if (Block* spare = spares_.take()) {
            spare->reset();
            return std::unique_ptr<Block>(spare);
        }
        return std::make_unique<Block>();
    }

    // Keeps a block that nobody refers to any more as a spare, if a place is
    // free, and frees it otherwise. A spare keeps what the receives left
    // until a sender takes it, so that the sender destroys that.
    void recycle(Block* block) noexcept {
        if (!spares_.put(block)) {
            block->destroy_left(kBlockCap);
            delete block;
        }
    }

    // Runs when the last receiver is gone and the tail is marked: no new
    // sends can start, sends in progress are waited for.
    void discard_all_messages() noexcept {
        sync::SpinWait wait;
        std::size_t tail;
        for (;;) {
            // Acquire: pairs with the senders' claims (the disconnection mark,
            // set seq_cst, is already in); their items are waited for below.
            tail = tail_.index.load(std::memory_order_acquire);
            if (((tail >> kShift) % kLap) != kBlockCap) {
                break;
            }
            wait.snooze();  // a block is being installed
        }
        std::size_t head = head_.index.load(std::memory_order_acquire);
        // Swap rather than load: a first send may still be installing the
        // first block, and the block it installs late is freed with the channel.
        // Acq_rel: pairs with that send's release store of head_.block.
        Block* block = head_.block.exchange(nullptr, std::memory_order_acq_rel);
        if ((head >> kShift) != (tail >> kShift)) {
            while (block == nullptr) {
                wait.snooze();
                block = head_.block.exchange(nullptr, std::memory_order_acq_rel);
            }
        }
        if (block != nullptr) {
            block->destroy_left((head >> kShift) % kLap);
        }
        while ((head >> kShift) != (tail >> kShift)) {
            const std::size_t offset = (head >> kShift) % kLap;
            if (offset < kBlockCap) {
                Slot& slot = block->slots[offset];
                slot.wait_write();
                slot.item()->~T();
            } else {
                Block* next = block->wait_next();
                delete block;
                block = next;
            }
            head += kStep;
        }
        delete block;
        // Release: pairs with the receivers' acquire loads of the head.
        head_.index.store(head, std::memory_order_release);
    }

    alignas(sync::kCacheLine) Head head_;
    alignas(sync::kCacheLine) Tail tail_;
    alignas(sync::kCacheLine) SyncWaker receivers_;
    // Blocks read to their end, for senders to reuse. Receivers finish blocks
    // in bursts (one that catches up after a pause drains several at once),
    // and senders start them in bursts: with a single place, most of a burst
    // went back to the allocator and came out of it again, a block freed on
    // another thread than the one that allocated it, and the rounds of the
    // one-producer case swung from 15 to 30 ns an item.
    static constexpr std::size_t kSpareBlocks = 4;
    alignas(sync::kCacheLine) sync::PointerPlaces<Block, kSpareBlocks> spares_;
};

}  // namespace torvan::engine::detail
