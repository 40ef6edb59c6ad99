#pragma once
// How a wake from the channel engine reaches a coroutine on an asyncio event
// loop, without a thread per waiting coroutine.
//
// Every loop with coroutines waiting on channels gets one LoopWakeups: a
// descriptor the loop watches (loop.add_reader) and a list of woken waiters.
// A wake, on whatever thread the engine runs it and under whatever engine
// lock, only appends the waiter to that list and makes the descriptor
// readable. The loop's reader callback then completes each woken waiter's
// future, on the loop's own thread. No native thread touches the loop or any
// Python object.
//
// A waiter holds only a weak reference to the future its task waits on: a
// native strong one would keep the task, its coroutine and the loop alive
// from the channel, out of the collector's sight, so that a loop dropped with
// a coroutine still waiting would never be freed. The loop holds the futures
// instead, in a set that its reader callback holds: as an asyncio queue's
// waiters keep a task nobody else refers to, and in the collector's sight.
// When the loop is closed its selector lets go of the reader callback and
// the set, and later wakes go nowhere.
//
// Every coroutine of a loop wakes in the same way, so the waiters of one loop
// form a group for the engine (RemoteWaiter): a loop that is busy, stopped or
// gone keeps only its own coroutines waiting.

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/owned_ref.hpp"
#include "core/engine/context.hpp"
#include "core/sync/word_mutex.hpp"
#include "core/platform/wake_fd.hpp"

namespace torvan::channel {

class LoopWakeups;

// Intrusive references, so that engine contexts can hold waiters too.
template <class T>
class CountedRef {
public:
    CountedRef() noexcept = default;
    explicit CountedRef(T* adopted) noexcept : p_(adopted) {}
    CountedRef(CountedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    CountedRef& operator=(CountedRef&& other) noexcept {
        CountedRef taken(std::move(other));
        std::swap(p_, taken.p_);
        return *this;
    }
    CountedRef(const CountedRef&) = delete;
    CountedRef& operator=(const CountedRef&) = delete;
    ~CountedRef() {
        if (p_ != nullptr) {
            p_->release();
        }
    }

    static CountedRef share(T* p) noexcept {
        p->add_ref();
        return CountedRef(p);
    }
    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    T& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T* release_owned() noexcept { return std::exchange(p_, nullptr); }

private:
    T* p_ = nullptr;
};

// One coroutine's waiter: what the engine wakes, and the future its task
// waits on while it is registered.
class LoopWaiter final : public engine::detail::RemoteWaiter {
public:
    // A new waiter whose wakes go to `wakeups`.
    static CountedRef<LoopWaiter> create(LoopWakeups& wakeups);

    void wake() noexcept override;
    void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept override;

    // The future the next wake (or the timeout) completes. False when the
    // loop has let go of its reader: no wake would ever complete it.
    bool await_future(const binding::OwnedRef& future);
    // Forgets the future a wake did not complete, if any.
    void forget_future();
    // The future a wake has not completed yet, if it is still alive.
    binding::OwnedRef awaited_future();
    // For a wait that ends while its task still awaits the future: the loop
    // completes the future, so that the task runs on and finds the wait over.
    void let_go();

    // The timeout's callback for loop.call_later; it completes the future
    // as a wake does, and marks the waiter timed out.
    binding::OwnedRef timeout_callback();
    bool timed_out() const noexcept { return timed_out_.load(std::memory_order_acquire); }
    void time_out();

private:
    friend class LoopWakeups;

    explicit LoopWaiter(LoopWakeups& wakeups) noexcept;
    ~LoopWaiter();

    // Counted as shared pointers are: relaxed increments (a new reference comes
    // from one already held), acq_rel decrements so that the last one sees
    // every other holder's writes before it deletes.
    std::atomic<std::uint32_t> refs_{1};
    LoopWakeups& wakeups_;  // counted: released with the waiter
    // Release in time_out(), acquire in timed_out(): the coroutine that finds
    // the flag set also sees the waiter taken off the list before it.
    std::atomic<bool> timed_out_{false};
    // Guarded by the wakeups' mutex:
    binding::OwnedRef future_;  // a weak reference, or the future itself if it takes none
    LoopWaiter* prev_waiting_ = nullptr;  // the list of waiters holding a future
    LoopWaiter* next_waiting_ = nullptr;
    LoopWaiter* next_woken_ = nullptr;    // the list of woken waiters
    bool woken_ = false;
};

class LoopWakeups {
public:
    // The wakeups of the running loop `loop`, set up on first use.
    static CountedRef<LoopWakeups> of(PyObject* loop);

    void add_ref() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }
    void release() noexcept;

private:
    friend class LoopWaiter;
    class Registry;

    LoopWakeups(platform::WakeFd fd, PyObject* loop, binding::OwnedRef loop_ref, binding::OwnedRef pending_ref) noexcept;
    ~LoopWakeups() = default;

    static CountedRef<LoopWakeups> set_up(PyObject* loop);
    // The reader callback: a builtin function whose self is a pair of a
    // capsule holding a reference, released when the loop lets go of the
    // callback, and the set of the futures waited on.
    static PyObject* drain_entry(PyObject* self, PyObject*) noexcept;
    static void reader_gone(PyObject* capsule) noexcept;
    static PyMethodDef reader_def_;

    bool serves(PyObject* loop);
    void push(LoopWaiter& waiter) noexcept;
    bool enqueue(LoopWaiter& waiter) noexcept;
    bool attach(LoopWaiter& waiter, binding::OwnedRef held, PyObject* future);
    binding::OwnedRef detach(LoopWaiter& waiter);
    binding::OwnedRef peek(LoopWaiter& waiter);
    binding::OwnedRef hand_to_loop(LoopWaiter& waiter);
    void unlink(LoopWaiter& waiter) noexcept;
    // Puts a waited-on future into the loop's set, and takes it out again
    // once nothing waits on it.
    void anchor(PyObject* future);
    void unanchor(const binding::OwnedRef& future);
    binding::OwnedRef pending_set();
    void drain();
    void close();

    std::atomic<std::uint32_t> refs_{1};  // counted as LoopWaiter's
    const platform::WakeFd fd_;
    const void* const loop_address_;
    // A weak reference to the loop (null if it takes none), until close();
    // guarded by the mutex, so that the last reference to a closed LoopWakeups,
    // which may go anywhere, releases no Python object.
    binding::OwnedRef loop_ref_;
    // A weak reference to the set of waited-on futures, until close();
    // guarded by the mutex as loop_ref_ is.
    binding::OwnedRef pending_ref_;
    // Set once, under the mutex, with release; read with acquire outside it
    // (serves(), a look that the mutex confirms) and relaxed under it, where
    // the mutex orders it.
    std::atomic<bool> closed_{false};
    sync::WordMutex mutex_;  // guards the lists and the waiters' futures
    LoopWaiter* waiting_ = nullptr;
    LoopWaiter* woken_head_ = nullptr;
    LoopWaiter* woken_tail_ = nullptr;
};

// Completes an asyncio future with None unless it is done already.
void complete_future(PyObject* future);

// Interned names of the asyncio protocol, made at module registration.
void init_async_names();

struct AsyncNames {
    PyObject* asyncio = nullptr;
    PyObject* get_running_loop = nullptr;
    PyObject* get_running_loop_or_none = nullptr;  // _get_running_loop
    PyObject* create_future = nullptr;
    PyObject* future_blocking = nullptr;  // _asyncio_future_blocking
    PyObject* done = nullptr;
    PyObject* set_result = nullptr;
    PyObject* call_later = nullptr;
    PyObject* cancel = nullptr;
    PyObject* add_reader = nullptr;
};
extern AsyncNames g_async_names;

}  // namespace torvan::channel
