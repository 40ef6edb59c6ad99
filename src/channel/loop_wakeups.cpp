#include "channel/loop_wakeups.hpp"

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "binding/boundary.hpp"
#include "binding/interned.hpp"
#include "binding/py_error.hpp"
#include "binding/weak_hold.hpp"

namespace torvan::channel {

using binding::OwnedRef;

AsyncNames g_async_names;

void init_async_names() {
    using binding::intern_once;
    intern_once(g_async_names.asyncio, "asyncio");
    intern_once(g_async_names.get_running_loop, "get_running_loop");
    intern_once(g_async_names.get_running_loop_or_none, "_get_running_loop");
    intern_once(g_async_names.create_future, "create_future");
    intern_once(g_async_names.future_blocking, "_asyncio_future_blocking");
    intern_once(g_async_names.done, "done");
    intern_once(g_async_names.set_result, "set_result");
    intern_once(g_async_names.call_later, "call_later");
    intern_once(g_async_names.cancel, "cancel");
    intern_once(g_async_names.add_reader, "add_reader");
}

void complete_future(PyObject* future) {
    OwnedRef done = binding::checked(PyObject_CallMethodNoArgs(future, g_async_names.done));
    if (!binding::checked_status(PyObject_IsTrue(done.get()))) {
        binding::checked(PyObject_CallMethodOneArg(future, g_async_names.set_result, Py_None));
    }
}

namespace {

constexpr const char* kReaderCapsule = "torvan.LoopWakeups";
constexpr const char* kTimeoutCapsule = "torvan.LoopWaiter";

// A future a wake could not complete is reported, not raised: the reader
// callback and the timeout are run by the loop, and the other waiters in the
// same batch must still be woken.
void complete_or_report(PyObject* future) noexcept {
    try {
        complete_future(future);
    } catch (...) {
        binding::report_unraisable([] { binding::detail::set_error_from_current_exception(); });
    }
}

}  // namespace

// LoopWaiter --------------------------------------------------------------------

LoopWaiter::LoopWaiter(LoopWakeups& wakeups) noexcept : RemoteWaiter(&wakeups), wakeups_(wakeups) {
    wakeups_.add_ref();
}

LoopWaiter::~LoopWaiter() { wakeups_.release(); }

CountedRef<LoopWaiter> LoopWaiter::create(LoopWakeups& wakeups) {
    return CountedRef<LoopWaiter>(new LoopWaiter(wakeups));
}

void LoopWaiter::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

void LoopWaiter::wake() noexcept { wakeups_.push(*this); }

bool LoopWaiter::await_future(const OwnedRef& future) {
    return wakeups_.attach(*this, binding::hold_weakly(future.get()), future.get());
}

void LoopWaiter::forget_future() { wakeups_.unanchor(binding::referent(wakeups_.detach(*this))); }

OwnedRef LoopWaiter::awaited_future() { return binding::referent(wakeups_.peek(*this)); }

void LoopWaiter::let_go() { wakeups_.unanchor(binding::referent(wakeups_.hand_to_loop(*this))); }

void LoopWaiter::time_out() {
    timed_out_.store(true, std::memory_order_release);
    if (OwnedRef future = binding::referent(wakeups_.detach(*this))) {
        complete_or_report(future.get());
        wakeups_.unanchor(future);
    }
}

namespace {

void release_timeout_capsule(PyObject* capsule) noexcept {
    binding::at_dealloc_boundary([&] {
        static_cast<LoopWaiter*>(PyCapsule_GetPointer(capsule, kTimeoutCapsule))->release();
    });
}

PyObject* timeout_entry(PyObject* capsule, PyObject*) noexcept {
    return binding::at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        static_cast<LoopWaiter*>(PyCapsule_GetPointer(capsule, kTimeoutCapsule))->time_out();
        return Py_NewRef(Py_None);
    });
}

PyMethodDef g_timeout_def = {"channel_wait_timeout", &timeout_entry, METH_NOARGS, nullptr};

}  // namespace

OwnedRef LoopWaiter::timeout_callback() {
    add_ref();
    PyObject* capsule = PyCapsule_New(this, kTimeoutCapsule, &release_timeout_capsule);
    if (capsule == nullptr) {
        release();
        binding::raise_current();
    }
    OwnedRef owned = OwnedRef::steal(capsule);
    return binding::checked(PyCFunction_New(&g_timeout_def, owned.get()));
}

// LoopWakeups -------------------------------------------------------------------

// Every live LoopWakeups, so that a loop that waits again, from another
// thread or after this thread ran another loop, finds its own again instead
// of adding a second reader. Never destroyed: it may outlive the interpreter.
class LoopWakeups::Registry {
public:
    static Registry& instance() {
        static Registry* registry = new Registry();
        return *registry;
    }

    void add(LoopWakeups& wakeups) {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        entries_.push_back(&wakeups);
        wakeups.add_ref();
    }

    // Drops the registry's reference, outside the lock.
    void remove(LoopWakeups& wakeups) noexcept {
        bool found = false;
        {
            std::lock_guard<sync::WordMutex> guard(mutex_);
            for (auto it = entries_.begin(); it != entries_.end(); ++it) {
                if (*it == &wakeups) {
                    entries_.erase(it);
                    found = true;
                    break;
                }
            }
        }
        if (found) {
            wakeups.release();
        }
    }

    // The entries made for an object at this address; the caller checks
    // that it is still the same loop.
    std::vector<CountedRef<LoopWakeups>> candidates(const void* loop) {
        std::vector<CountedRef<LoopWakeups>> found;
        std::lock_guard<sync::WordMutex> guard(mutex_);
        for (LoopWakeups* entry : entries_) {
            if (entry->loop_address_ == loop) {
                found.push_back(CountedRef<LoopWakeups>::share(entry));
            }
        }
        return found;
    }

private:
    sync::WordMutex mutex_;
    std::vector<LoopWakeups*> entries_;
};

namespace {

// The last loop's wakeups on this thread, so that the common case (one loop
// per thread) needs no lock. Released at thread exit like any other
// reference a detached thread drops.
thread_local CountedRef<LoopWakeups> t_last_wakeups;

}  // namespace

PyMethodDef LoopWakeups::reader_def_ = {"channel_wakeups", &LoopWakeups::drain_entry, METH_NOARGS, nullptr};

LoopWakeups::LoopWakeups(platform::WakeFd fd, PyObject* loop, OwnedRef loop_ref, OwnedRef pending_ref) noexcept
    : fd_(std::move(fd)), loop_address_(loop), loop_ref_(std::move(loop_ref)), pending_ref_(std::move(pending_ref)) {}

void LoopWakeups::release() noexcept {
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

CountedRef<LoopWakeups> LoopWakeups::of(PyObject* loop) {
    if (t_last_wakeups && t_last_wakeups->serves(loop)) {
        return CountedRef<LoopWakeups>::share(t_last_wakeups.get());
    }
    CountedRef<LoopWakeups> found;
    for (CountedRef<LoopWakeups>& candidate : Registry::instance().candidates(loop)) {
        if (!found && candidate->serves(loop)) {
            found = std::move(candidate);
        }
    }
    if (!found) {
        found = set_up(loop);
    }
    t_last_wakeups = CountedRef<LoopWakeups>::share(found.get());
    return found;
}

bool LoopWakeups::serves(PyObject* loop) {
    if (closed_.load(std::memory_order_acquire) || loop_address_ != loop) {
        return false;
    }
    OwnedRef loop_ref;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        if (closed_.load(std::memory_order_relaxed)) {
            return false;
        }
        if (!loop_ref_) {
            return true;
        }
        loop_ref = loop_ref_.clone();
    }
    return binding::referent(loop_ref).get() == loop;
}

CountedRef<LoopWakeups> LoopWakeups::set_up(PyObject* loop) {
    std::string error;
    std::optional<platform::WakeFd> fd = platform::WakeFd::create(error);
    if (!fd) {
        binding::raise(PyExc_OSError, "cannot create a wake-up descriptor for the event loop: " + error);
    }
    // A weak reference tells a loop apart from a later one at the same address.
    OwnedRef loop_ref = OwnedRef::steal(PyWeakref_NewRef(loop, nullptr));
    if (!loop_ref) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            binding::raise_current();
        }
        PyErr_Clear();  // a loop without weak references is told apart by address alone
    }
    OwnedRef pending = binding::checked(PySet_New(nullptr));
    OwnedRef pending_ref = binding::hold_weakly(pending.get());
    CountedRef<LoopWakeups> made(new LoopWakeups(std::move(*fd), loop, std::move(loop_ref), std::move(pending_ref)));

    // The reader callback owns one reference, and the set; the loop's selector
    // owns the callback, until the loop is closed.
    made->add_ref();
    PyObject* capsule = PyCapsule_New(made.get(), kReaderCapsule, &reader_gone);
    if (capsule == nullptr) {
        made->release();
        binding::raise_current();
    }
    OwnedRef owned_capsule = OwnedRef::steal(capsule);
    OwnedRef self = binding::checked(PyTuple_Pack(2, owned_capsule.get(), pending.get()));
    OwnedRef reader = binding::checked(PyCFunction_New(&reader_def_, self.get()));
    OwnedRef fd_number = binding::checked(PyLong_FromLong(made->fd_.fd()));
    binding::checked(
        PyObject_CallMethodObjArgs(loop, g_async_names.add_reader, fd_number.get(), reader.get(), nullptr));
    Registry::instance().add(*made);
    return made;
}

PyObject* LoopWakeups::drain_entry(PyObject* self, PyObject*) noexcept {
    return binding::at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* capsule = PyTuple_GET_ITEM(self, 0);
        static_cast<LoopWakeups*>(PyCapsule_GetPointer(capsule, kReaderCapsule))->drain();
        return Py_NewRef(Py_None);
    });
}

void LoopWakeups::reader_gone(PyObject* capsule) noexcept {
    binding::at_dealloc_boundary([&] {
        auto* wakeups = static_cast<LoopWakeups*>(PyCapsule_GetPointer(capsule, kReaderCapsule));
        wakeups->close();
        wakeups->release();
    });
}

// Puts the waiter on the woken list unless it is there; true when the list
// was empty. Called with the mutex held, on an open LoopWakeups.
bool LoopWakeups::enqueue(LoopWaiter& waiter) noexcept {
    if (waiter.woken_) {
        return false;
    }
    waiter.woken_ = true;
    waiter.add_ref();
    waiter.next_woken_ = nullptr;
    const bool first = woken_tail_ == nullptr;
    if (first) {
        woken_head_ = &waiter;
    } else {
        woken_tail_->next_woken_ = &waiter;
    }
    woken_tail_ = &waiter;
    return first;
}

void LoopWakeups::push(LoopWaiter& waiter) noexcept {
    bool first = false;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        if (closed_.load(std::memory_order_relaxed)) {
            return;
        }
        first = enqueue(waiter);
    }
    // Only the first wake of a batch makes the descriptor readable; the
    // reader drains the descriptor before it takes the batch.
    if (first) {
        fd_.signal();
    }
}

// The woken list takes the future to the reader, which completes it; once
// the loop let go of its reader nothing would, and the future is given back.
OwnedRef LoopWakeups::hand_to_loop(LoopWaiter& waiter) {
    bool first = false;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        if (!waiter.future_) {
            return OwnedRef();
        }
        if (closed_.load(std::memory_order_relaxed)) {
            unlink(waiter);
            return std::move(waiter.future_);
        }
        first = enqueue(waiter);
    }
    if (first) {
        fd_.signal();
    }
    return OwnedRef();
}

OwnedRef LoopWakeups::peek(LoopWaiter& waiter) {
    std::lock_guard<sync::WordMutex> guard(mutex_);
    return waiter.future_.clone();
}

bool LoopWakeups::attach(LoopWaiter& waiter, OwnedRef held, PyObject* future) {
    OwnedRef replaced;
    bool attached = false;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        if (closed_.load(std::memory_order_relaxed)) {
            replaced = std::move(held);  // refused: released outside the lock
        } else {
            replaced = std::exchange(waiter.future_, std::move(held));
            if (!replaced) {
                waiter.next_waiting_ = waiting_;
                waiter.prev_waiting_ = nullptr;
                if (waiting_ != nullptr) {
                    waiting_->prev_waiting_ = &waiter;
                }
                waiting_ = &waiter;
            }
            attached = true;
        }
    }
    if (!attached) {
        return false;
    }
    if (replaced) {
        unanchor(binding::referent(replaced));
    }
    anchor(future);
    return true;
}

OwnedRef LoopWakeups::pending_set() {
    OwnedRef pending_ref;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        pending_ref = pending_ref_.clone();
    }
    return binding::referent(pending_ref);
}

void LoopWakeups::anchor(PyObject* future) {
    if (OwnedRef pending = pending_set()) {
        if (PySet_Add(pending.get(), future) < 0) {
            PyErr_Clear();  // an unhashable future waits unanchored, as before
        }
    }
}

void LoopWakeups::unanchor(const OwnedRef& future) {
    if (!future) {
        return;
    }
    if (OwnedRef pending = pending_set()) {
        if (PySet_Discard(pending.get(), future.get()) < 0) {
            PyErr_Clear();
        }
    }
}

void LoopWakeups::unlink(LoopWaiter& waiter) noexcept {
    if (waiter.prev_waiting_ != nullptr) {
        waiter.prev_waiting_->next_waiting_ = waiter.next_waiting_;
    } else if (waiting_ == &waiter) {
        waiting_ = waiter.next_waiting_;
    }
    if (waiter.next_waiting_ != nullptr) {
        waiter.next_waiting_->prev_waiting_ = waiter.prev_waiting_;
    }
    waiter.prev_waiting_ = nullptr;
    waiter.next_waiting_ = nullptr;
}

OwnedRef LoopWakeups::detach(LoopWaiter& waiter) {
    std::lock_guard<sync::WordMutex> guard(mutex_);
    if (!waiter.future_) {
        return OwnedRef();
    }
    unlink(waiter);
    return std::move(waiter.future_);
}

void LoopWakeups::drain() {
    fd_.drain();
    std::vector<CountedRef<LoopWaiter>> woken;
    std::vector<OwnedRef> futures;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        for (LoopWaiter* waiter = std::exchange(woken_head_, nullptr); waiter != nullptr;) {
            LoopWaiter* next = std::exchange(waiter->next_woken_, nullptr);
            waiter->woken_ = false;
            woken.emplace_back(waiter);  // adopts the list's reference
            if (waiter->future_) {
                unlink(*waiter);
                futures.push_back(std::move(waiter->future_));
            }
            waiter = next;
        }
        woken_tail_ = nullptr;
    }
    for (OwnedRef& held : futures) {
        if (OwnedRef future = binding::referent(held)) {
            complete_or_report(future.get());
            unanchor(future);
        }
    }
}

void LoopWakeups::close() {
    Registry::instance().remove(*this);
    if (t_last_wakeups.get() == this) {
        t_last_wakeups = CountedRef<LoopWakeups>();  // the caller holds a reference of its own
    }
    std::vector<CountedRef<LoopWaiter>> woken;
    std::vector<OwnedRef> futures;
    OwnedRef loop_ref;
    OwnedRef pending_ref;
    {
        std::lock_guard<sync::WordMutex> guard(mutex_);
        closed_.store(true, std::memory_order_release);
        loop_ref = std::move(loop_ref_);
        pending_ref = std::move(pending_ref_);
        for (LoopWaiter* waiter = std::exchange(woken_head_, nullptr); waiter != nullptr;) {
            LoopWaiter* next = std::exchange(waiter->next_woken_, nullptr);
            waiter->woken_ = false;
            woken.emplace_back(waiter);
            waiter = next;
        }
        woken_tail_ = nullptr;
        while (waiting_ != nullptr) {
            LoopWaiter* waiter = waiting_;
            unlink(*waiter);
            futures.push_back(std::move(waiter->future_));
        }
    }
    // Released here, with no lock held: the tasks waiting on them may go too.
}

}  // namespace torvan::channel
