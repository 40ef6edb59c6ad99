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
        if (cx.is_remote()) {
            ++remote_count_;
        }
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

    // Selects the waiters that a readiness wake (an item or room that anyone
    // may take) goes to, and removes them: the oldest waiter of another
    // thread and the oldest remote waiter of each group (see RemoteWaiter).
    // `selected` gets each entry with its context reference, under the
    // owner's lock. Past kTrackedGroups groups every remote waiter is taken:
    // a wake too many only makes it look again.
    template <class Selected>
    void select_for_wake(Selected&& selected) noexcept {
        if (remote_count_ == 0) {
            if (std::optional<WaitEntry> entry = try_select()) {
                selected(*entry);
            }
            return;
        }
        const std::uint64_t me = platform::current_thread_id();
        bool thread_taken = false;
        const void* groups[kTrackedGroups];
        std::size_t group_count = 0;
        for (std::size_t i = 0; i < entries_.size();) {
            Context* cx = entries_[i].cx;
            bool wanted;
            if (!cx->is_remote()) {
                wanted = !thread_taken && cx->thread_id() != me;
            } else {
                wanted = true;
                for (std::size_t g = 0; g < group_count; ++g) {
                    wanted = wanted && groups[g] != cx->group();
                }
            }
            if (!wanted || !cx->try_select(entries_[i].oper)) {
                ++i;
                continue;
            }
            if (!cx->is_remote()) {
                thread_taken = true;
            } else if (group_count < kTrackedGroups) {
                groups[group_count++] = cx->group();
            }
            WaitEntry out = entries_[i];
            erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
            selected(out);
        }
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
    static constexpr std::size_t kTrackedGroups = 8;

    void erase(std::vector<WaitEntry>::iterator it) noexcept {
        if (it->cx->is_remote()) {
            --remote_count_;
        }
        entries_.erase(it);
        is_empty_.store(entries_.empty(), std::memory_order_seq_cst);
    }

    std::vector<WaitEntry> entries_;
    std::size_t remote_count_ = 0;
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

    // Wakes a waiter, if any: one thread, and besides it the oldest remote
    // waiter of each group (Waker::select_for_wake). The flag check pairs
    // with the sequentially consistent update of the channel's position that
    // precedes every call and with the check of that position that follows
    // every registration.
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
    // A thread is woken after the lock is released; a remote waiter's wake
    // only queues it, and is allowed under the lock. Out of line, so that the
    // sends and receives whose fast paths end in notify() stay inline.
    [[gnu::noinline]] void notify_slow() noexcept {
        std::optional<WaitEntry> thread;
        {
            std::lock_guard<sync::WordMutex> guard(lock_);
            inner_.select_for_wake([&thread](const WaitEntry& entry) noexcept {
                if (entry.cx->is_remote()) {
                    entry.cx->unpark();
                    entry.cx->release();
                } else {
                    thread = entry;
                }
            });
        }
        if (thread) {
            thread->cx->unpark();
            thread->cx->release();
        }
    }

    mutable sync::WordMutex lock_;
    Waker inner_;
};

}  // namespace torvan::engine::detail
