#pragma once
// Lists of threads waiting on one side of a channel.
//
// A Waker is guarded by its owner's lock; whether it is empty can also be
// read without the lock. A SyncWaker brings its own short lock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "core/engine/context.hpp"
#include "core/platform/clock.hpp"
#include "core/sync/spin_wait.hpp"
#include "core/sync/word_mutex.hpp"
#include "core/platform/thread.hpp"

namespace torvan::engine::detail {

// One registered operation of a waiting thread. The entry owns a reference
// to the context; `packet` is the rendezvous hand-over record, if any.
struct WaitEntry {
    Context* cx = nullptr;
    std::uintptr_t oper = 0;
    void* packet = nullptr;
};

class Waker {
public:
    Waker() = default;
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    ~Waker() {
        for (WaitEntry& e : entries_) {
            e.cx->release();
        }
    }

    // May throw std::bad_alloc; nothing is registered then.
    void register_waiter(std::uintptr_t oper, Context& cx, void* packet = nullptr) {
        entries_.push_back(WaitEntry{&cx, oper, packet});
        cx.add_ref();
        is_empty_.store(false, std::memory_order_seq_cst);
    }

    // Removes the entry of `oper`; the caller gets its context reference.
    std::optional<WaitEntry> unregister(std::uintptr_t oper) noexcept {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->oper == oper) {
                WaitEntry out = *it;
                erase(it);
                return out;
            }
        }
        return std::nullopt;
    }

    // Selects the oldest waiter of another thread that is still waiting and
    // removes it; the caller gets its context reference and must unpark it.
    std::optional<WaitEntry> try_select() noexcept {
        const std::uint64_t me = platform::current_thread_id();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->cx->thread_id() != me && it->cx->try_select(it->oper)) {
                WaitEntry out = *it;
                erase(it);
                return out;
            }
        }
        return std::nullopt;
    }

    // True if some other thread's waiter could be selected now.
    bool can_select() const noexcept {
        const std::uint64_t me = platform::current_thread_id();
        for (const WaitEntry& e : entries_) {
            if (e.cx->thread_id() != me && e.cx->selected() == kWaiting) {
                return true;
            }
        }
        return false;
    }

    // Marks every waiter disconnected and wakes it; the waiters unregister
    // themselves. Disconnection is rare, so the wakes happen under the lock.
    void disconnect() noexcept {
        for (WaitEntry& e : entries_) {
            if (e.cx->try_select(kDisconnected)) {
                e.cx->unpark();
            }
        }
    }

    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }

    // Whether the list is empty, read without the owner's lock. Updated
    // sequentially consistently, so that a thread that changes what waiters
    // wait for and then reads this sees a waiter registered before its change.
    bool seems_empty() const noexcept { return is_empty_.load(std::memory_order_seq_cst); }

private:
    void erase(std::vector<WaitEntry>::iterator it) noexcept {
        entries_.erase(it);
        is_empty_.store(entries_.empty(), std::memory_order_seq_cst);
    }

    std::vector<WaitEntry> entries_;
    std::atomic<bool> is_empty_{true};
};

// A Waker with its own short lock, for the lock-free flavours: their fast
// paths check the empty flag with one plain load and skip the lock (and any
// system call) when nobody waits.
class SyncWaker {
public:
    void register_waiter(std::uintptr_t oper, Context& cx) {
        std::lock_guard<sync::WordMutex> guard(lock_);
        inner_.register_waiter(oper, cx);
    }

    void unregister(std::uintptr_t oper) noexcept {
        std::optional<WaitEntry> entry;
        {
            std::lock_guard<sync::WordMutex> guard(lock_);
            entry = inner_.unregister(oper);
        }
        if (entry) {
            entry->cx->release();
        }
    }

    // Wakes one waiter, if any. The flag check pairs with the sequentially
    // consistent update of the channel's position that precedes every call
    // and with the check of that position that follows every registration.
    void notify() noexcept {
        if (!inner_.seems_empty()) {
            notify_slow();
        }
    }

    void disconnect() noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        inner_.disconnect();
    }

    // How many operations are registered now (a snapshot): what the tests
    // check is left once the waits are over.
    std::size_t registered() const noexcept {
        std::lock_guard<sync::WordMutex> guard(lock_);
        return inner_.size();
    }

    // Sleeps as operation `oper` of the calling thread until a waker selects
    // it, the deadline passes or (when interruptible) a signal arrives, and
    // gives up the registration unless selected. `ready` runs once the thread
    // is registered: true when the operation has become possible meanwhile,
    // which ends the wait at once. Returns why the wait aborted itself (None
    // when it was selected).
    template <class Ready>
    AbortReason sleep(std::uintptr_t oper, sync::SpinWait& spin, platform::Deadline deadline, bool interruptible,
                      Ready&& ready) {
        ContextScope cx;
        register_waiter(oper, *cx);
        if (ready()) {
            cx->try_select(kAborted);
        }
        AbortReason reason = AbortReason::None;
        const std::uintptr_t sel = cx->wait_until(spin, deadline, interruptible, reason);
        if (sel == kAborted || sel == kDisconnected) {
            unregister(oper);
        }
        return reason;
    }

private:
    void notify_slow() noexcept {
        std::optional<WaitEntry> entry;
        {
            std::lock_guard<sync::WordMutex> guard(lock_);
            entry = inner_.try_select();
        }
        if (entry) {
            entry->cx->unpark();
            entry->cx->release();
        }
    }

    mutable sync::WordMutex lock_;
    Waker inner_;
};

}  // namespace torvan::engine::detail
