// The awaitable behind Channel.arecv(), Channel.asend() and `async for`. It is
// its own iterator: each step (the task sending None, or throwing in a
// cancellation) either completes the await, by raising StopIteration with the
// result, or yields an asyncio future for the task to wait on.

#include "channel/channel_async.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>

#include "binding/methods.hpp"
#include "binding/type_object.hpp"
#include "channel/channel_errors.hpp"
#include "channel/loop_wakeups.hpp"
#include "channel/messages.hpp"
#include "channel/stop_iteration.hpp"
#include "channel/timeout.hpp"
#include "core/engine/remote_wait.hpp"

namespace torvan::channel {

namespace {

using binding::Object;
using binding::OwnedRef;
using binding::PyError;
using binding::raise;
using engine::RemoteOutcome;
using Wait = engine::RemoteWait<Item>;

constexpr const char* kAwaitedAlready = "channel operation is being awaited already";

struct AwaitState {
    enum class Kind : std::uint8_t { Receive, Send };
    enum class Phase : std::uint8_t {
        Fresh,    // not awaited yet
        Waiting,  // registered with the channel; the task waits on a future
        Done,
    };

    AwaitState(Kind kind, ReceiveEnd end, OwnedRef channel, ChannelParts parts, OwnedRef loop,
               std::optional<double> timeout, Item item) noexcept
        : kind(kind),
          end(end),
          channel(std::move(channel)),
          parts(parts),
          loop(std::move(loop)),
          timeout(timeout),
          item(std::move(item)) {}
    AwaitState(AwaitState&&) noexcept = default;
    AwaitState& operator=(AwaitState&&) = delete;
    ~AwaitState() {
        if (phase == Phase::Fresh && channel) {
            warn_never_awaited();
        }
        quit();
    }

    // The operation, as a task's repr and the warnings name it.
    const char* name() const noexcept {
        return kind == Kind::Send ? "Channel.asend" : end == ReceiveEnd::Raise ? "Channel.arecv" : "Channel.__anext__";
    }

    // An operation starts when it is awaited: one never awaited did nothing,
    // which a coroutine's warning says (a send that was meant to happen
    // would otherwise be lost silently).
    void warn_never_awaited() const noexcept;

    // Ends whatever wait is on: the wait is abandoned (a rendezvous send's
    // item that a receiver took already stays sent), the timer cancelled,
    // and a task still awaiting the future is woken to find the end.
    void quit() noexcept;

    Kind kind;
    ReceiveEnd end;
    Phase phase = Phase::Fresh;
    OwnedRef channel;  // keeps `parts` alive
    ChannelParts parts;
    OwnedRef loop;
    std::optional<double> timeout;
    std::optional<platform::Deadline> deadline;  // from the first attempt on
    Item item;                                    // a send's item, until it is sent
    DataSender sender;                            // a send's own handle once it has to wait
    CountedRef<LoopWaiter> waiter;
    std::unique_ptr<Wait> wait;
    OwnedRef timer;  // the timeout's handle from loop.call_later
};

struct AwaitableClass : binding::ClassTraits {
    static constexpr const char* kName = "ChannelAwaitable";
    // Each step takes the object exclusively: two threads driving one
    // awaitable get "Already borrowed" instead of racing.
    static constexpr bool kExclusiveMethods = true;
    // While its task waits, the loop holds the task and the task this object,
    // which holds the loop, its timer and a send's item (that may refer back
    // to the task): cycles the collector must see to free a loop dropped
    // with a wait pending.
    static constexpr bool kTracked = true;
    using State = AwaitState;
    static binding::ClassDefinition definition();

    // Only the loop's thread, attached, touches these.
    static int traverse(State& state, visitproc visit, void* arg) {
        Py_VISIT(state.item.get());
        Py_VISIT(state.loop.get());
        Py_VISIT(state.timer.get());
        return 0;
    }
    // A cycle found unreachable: nothing steps this object again, and its
    // deallocation ends the wait.
    static void clear(State& state) {
        state.phase = AwaitState::Phase::Done;
        OwnedRef item = std::move(state.item);
        OwnedRef loop = std::move(state.loop);
        OwnedRef timer = std::move(state.timer);
    }
};
using Self = binding::Instance<AwaitableClass>;

// A step's outcome: the await completes with `value` (None when null), or
// the task is to wait on the future in `value`.
struct Step {
    bool done;
    OwnedRef value;
};

// asyncio, imported once; get_running_loop is looked up afresh on every call.
PyObject* asyncio_module() {
    static std::atomic<PyObject*> cached{nullptr};
    if (PyObject* module = cached.load(std::memory_order_acquire)) {
        return module;
    }
    OwnedRef imported = binding::checked(PyImport_Import(g_async_names.asyncio));
    PyObject* expected = nullptr;
    if (cached.compare_exchange_strong(expected, imported.get(), std::memory_order_acq_rel)) {
        return imported.release();
    }
    return expected;
}

OwnedRef running_loop() {
    OwnedRef get = binding::checked(PyObject_GetAttr(asyncio_module(), g_async_names.get_running_loop));
    return binding::checked(PyObject_CallNoArgs(get.get()));
}

// The loop running on this thread, or None; never raises for want of one.
OwnedRef running_loop_or_none() {
    OwnedRef get = binding::checked(PyObject_GetAttr(asyncio_module(), g_async_names.get_running_loop_or_none));
    return binding::checked(PyObject_CallNoArgs(get.get()));
}

// Also from the deallocator, which may run while an exception propagates:
// that exception is kept aside for the call.
void cancel_timer(OwnedRef& timer) noexcept {
    if (OwnedRef handle = std::move(timer)) {
        PyObject* in_flight = PyErr_GetRaisedException();
        OwnedRef cancelled = OwnedRef::steal(PyObject_CallMethodNoArgs(handle.get(), g_async_names.cancel));
        if (!cancelled) {
            PyErr_WriteUnraisable(handle.get());
        }
        PyErr_SetRaisedException(in_flight);
    }
}

void AwaitState::warn_never_awaited() const noexcept {
    PyObject* in_flight = PyErr_GetRaisedException();
    if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "%s() was never awaited", name()) < 0) {
        PyErr_WriteUnraisable(channel.get());
    }
    PyErr_SetRaisedException(in_flight);
}

void AwaitState::quit() noexcept {
    wait.reset();
    if (waiter) {
        PyObject* in_flight = PyErr_GetRaisedException();
        waiter->let_go();
        PyErr_SetRaisedException(in_flight);
        waiter = CountedRef<LoopWaiter>();
    }
    cancel_timer(timer);
    // What is left may refer back to the coroutine awaiting this object (an
    // item): this object is invisible to the garbage collector, so it lets
    // go now rather than at its deallocation.
    item.reset();
    phase = Phase::Done;
}

Step finish(AwaitState& state, OwnedRef result = OwnedRef()) {
    state.quit();
    return Step{true, std::move(result)};
}

[[noreturn]] void end_with(AwaitState& state, PyError error) {
    state.quit();
    throw std::move(error);
}

[[noreturn]] void end_with(AwaitState& state, PyObject* type, const char* message) {
    end_with(state, PyError::lazy(type, message));
}

// The deadline of a wait with a timeout, fixed at the first attempt; none
// when it cannot be represented.
std::optional<platform::Deadline> deadline_after(std::optional<double> timeout) {
    std::optional<platform::Duration> duration = channel_timeout(timeout);
    if (!duration) {
        return std::nullopt;
    }
    platform::Deadline deadline = platform::Deadline::after(*duration);
    if (deadline.is_never()) {
        return std::nullopt;
    }
    return deadline;
}

// Receiving ---------------------------------------------------------------------

// Without waiting: an item, or the end of a closed and drained channel (no
// send can put anything in once close() has disconnected it for senders).
std::optional<Step> try_receive(AwaitState& state) {
    std::optional<Item> got;
    switch (state.parts.receiver->try_recv(got)) {
        case engine::RecvStatus::Received:
            return finish(state, std::move(*got));
        case engine::RecvStatus::Disconnected:
            // `async for` ends exactly where iterating with `for` would.
            if (state.end == ReceiveEnd::EndIteration) {
                end_with(state, PyError::lazy_without_message(PyExc_StopAsyncIteration));
            }
            end_with(state, channel_error(ChannelError::Closed, kClosedAndEmpty));
        default:
            return std::nullopt;
    }
}

// Sending -----------------------------------------------------------------------

// The first attempt, on the channel's own sender; a clone is made only when
// the item has to wait for room.
std::optional<Step> first_send(AwaitState& state) {
    std::optional<engine::SendStatus> status = state.parts.sender->try_send(state.item);
    if (status == engine::SendStatus::Full) {
        state.sender = state.parts.sender->clone();
        if (!state.sender) {
            status = std::nullopt;  // closed since the attempt
        }
    }
    if (!status || *status == engine::SendStatus::Disconnected) {
        end_with(state, channel_error(ChannelError::Closed, kClosed));
    }
    if (*status == engine::SendStatus::Sent) {
        return finish(state);
    }
    return std::nullopt;
}

// A later attempt, on the awaitable's own sender.
std::optional<Step> try_send(AwaitState& state) {
    switch (state.sender.try_send(state.item)) {
        case engine::SendStatus::Sent:
            return finish(state);
        case engine::SendStatus::Disconnected:
            end_with(state, channel_error(ChannelError::Closed, kClosed));
        default:
            return std::nullopt;
    }
}

// Waiting -----------------------------------------------------------------------

std::optional<Step> attempt(AwaitState& state) {
    return state.kind == AwaitState::Kind::Receive ? try_receive(state) : try_send(state);
}

PyError timed_out(const AwaitState& state) {
    return PyError::lazy(PyExc_TimeoutError, state.kind == AwaitState::Kind::Receive ? kRecvTimedOut : kSendTimedOut);
}

bool expired(const AwaitState& state) {
    return state.deadline && ((state.waiter && state.waiter->timed_out()) || state.deadline->has_passed());
}

// Registers with the channel; false when the operation became ready meanwhile.
bool start_wait(AwaitState& state) {
    if (!state.wait) {
        CountedRef<LoopWakeups> wakeups = LoopWakeups::of(state.loop.get());
        state.waiter = LoopWaiter::create(*wakeups);
        engine::detail::RemoteWaiter* reference = CountedRef<LoopWaiter>::share(state.waiter.get()).release_owned();
        if (state.kind == AwaitState::Kind::Receive) {
            state.wait = std::make_unique<Wait>(*state.parts.receiver, reference);
        } else {
            state.wait = std::make_unique<Wait>(state.sender, reference);
        }
    }
    return state.kind == AwaitState::Kind::Receive ? state.wait->start_receive() : state.wait->start_send(state.item);
}

// The future the task waits on until the next wake; the timeout's timer is
// set with the first one.
Step wait_for_wake(AwaitState& state) {
    OwnedRef future = binding::checked(PyObject_CallMethodNoArgs(state.loop.get(), g_async_names.create_future));
    binding::checked_status(PyObject_SetAttr(future.get(), g_async_names.future_blocking, Py_True));
    if (!state.waiter->await_future(future)) {
        end_with(state, PyExc_RuntimeError, "Event loop is closed");
    }
    if (state.deadline && !state.timer) {
        const std::uint64_t now = platform::monotonic_now_ns();
        const std::uint64_t left = state.deadline->ns() > now ? state.deadline->ns() - now : 0;
        OwnedRef delay = binding::checked(PyFloat_FromDouble(static_cast<double>(left) / 1e9));
        OwnedRef callback = state.waiter->timeout_callback();
        state.timer = binding::checked(
            PyObject_CallMethodObjArgs(state.loop.get(), g_async_names.call_later, delay.get(), callback.get(), nullptr));
    }
    state.phase = AwaitState::Phase::Waiting;
    return Step{false, std::move(future)};
}

// After an attempt found nothing: waits, or tries again when the operation
// became ready while registering.
Step wait_or_retry(AwaitState& state) {
    for (;;) {
        if (expired(state)) {
            end_with(state, timed_out(state));
        }
        if (start_wait(state)) {
            return wait_for_wake(state);
        }
        if (std::optional<Step> step = attempt(state)) {
            return std::move(*step);
        }
    }
}

// Gives the wait up for `reason` (a cancellation, a timeout). A rendezvous
// send whose item a receiver took already completes the await instead.
Step give_up(AwaitState& state, PyError reason) {
    if (state.wait->abandon() == RemoteOutcome::Sent) {
        return finish(state);
    }
    end_with(state, std::move(reason));
}

Step after_wake(AwaitState& state) {
    switch (state.wait->poll()) {
        case RemoteOutcome::Sent:
            return finish(state);
        case RemoteOutcome::Waiting:
            // Woken early (a wake meant for an earlier wait) or by the timer.
            if (state.waiter->timed_out()) {
                return give_up(state, timed_out(state));
            }
            return wait_for_wake(state);
        default:
            if (std::optional<Step> step = attempt(state)) {
                return std::move(*step);
            }
            return wait_or_retry(state);
    }
}

Step first_step(AwaitState& state) {
    if (state.kind == AwaitState::Kind::Receive) {
        state.deadline = deadline_after(state.timeout);
        if (std::optional<Step> step = try_receive(state)) {
            return std::move(*step);
        }
        return wait_or_retry(state);
    }
    // As send() does: a closed channel is reported before a bad timeout.
    if (state.parts.sender->is_closed()) {
        end_with(state, channel_error(ChannelError::Closed, kClosed));
    }
    state.deadline = deadline_after(state.timeout);
    if (std::optional<Step> step = first_send(state)) {
        return std::move(*step);
    }
    return wait_or_retry(state);
}

bool future_done(PyObject* future) {
    OwnedRef done = binding::checked(PyObject_CallMethodNoArgs(future, g_async_names.done));
    return binding::checked_status(PyObject_IsTrue(done.get())) != 0;
}

// While a task waits, only that task steps the awaitable on: inside its
// running loop, after the future it waits on is done (woken, timed out, or
// cancelled). Anyone else (a second await, a hand on another thread) is
// refused, as a coroutine refuses a second await, and changes nothing.
void refuse_other_drivers(AwaitState& state) {
    if (running_loop_or_none().get() != state.loop.get()) {
        raise(PyExc_RuntimeError, kAwaitedAlready);
    }
    if (OwnedRef future = state.waiter->awaited_future(); future && !future_done(future.get())) {
        raise(PyExc_RuntimeError, kAwaitedAlready);
    }
}

// The step of a task sending None; any failure ends the wait.
Step resume(AwaitState& state) {
    if (state.phase == AwaitState::Phase::Waiting) {
        refuse_other_drivers(state);
    }
    try {
        switch (state.phase) {
            case AwaitState::Phase::Fresh:
                return first_step(state);
            case AwaitState::Phase::Waiting:
                state.waiter->forget_future();
                return after_wake(state);
            case AwaitState::Phase::Done:
                break;
        }
    } catch (...) {
        state.quit();
        throw;
    }
    raise(PyExc_RuntimeError, "cannot reuse already awaited channel operation");
}

// The step of a task throwing `error` in (a cancellation, usually).
Step throw_in(AwaitState& state, PyError error) {
    if (state.phase == AwaitState::Phase::Waiting) {
        refuse_other_drivers(state);
        try {
            state.waiter->forget_future();
            return give_up(state, std::move(error));
        } catch (...) {
            state.quit();
            throw;
        }
    }
    end_with(state, std::move(error));
}

// Python-facing -------------------------------------------------------------------

// For the methods: a yielded future, or StopIteration carrying the result.
OwnedRef as_method_result(Step step) {
    if (!step.done) {
        return std::move(step.value);
    }
    throw PyError::from_exception(stop_iteration(std::move(step.value)));
}

PyObject* iternext(PyObject* object) noexcept {
    return binding::at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        Self& self = *Self::from(object);
        binding::ExclusiveBorrowOf<AwaitableClass> borrow(self);
        Step step = resume(self.state);
        if (!step.done) {
            return step.value.release();
        }
        // Ending without an exception is ending with None, and costs no
        // StopIteration made and dropped again.
        if (step.value && step.value.get() != Py_None) {
            raise_stop_iteration(std::move(step.value));
        }
        return nullptr;
    });
}

PySendResult am_send(PyObject* object, PyObject*, PyObject** result) noexcept {
    *result = nullptr;
    return binding::at_boundary<PySendResult>(PYGEN_ERROR, [&]() -> PySendResult {
        Self& self = *Self::from(object);
        binding::ExclusiveBorrowOf<AwaitableClass> borrow(self);
        Step step = resume(self.state);
        *result = step.value ? step.value.release() : Py_NewRef(Py_None);
        return step.done ? PYGEN_RETURN : PYGEN_NEXT;
    });
}

// An await starts here: one more while a task awaits is refused.
binding::ReturnSelf await_self(Self& self) {
    if (self.state.phase == AwaitState::Phase::Waiting) {
        raise(PyExc_RuntimeError, kAwaitedAlready);
    }
    return {};
}

// The name a task's repr shows; it never changes, so it is read without a
// borrow, also while another thread steps the awaitable.
PyObject* qualname(PyObject* object, void*) noexcept {
    return binding::at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        return binding::checked(PyUnicode_FromString(Self::from(object)->state.name())).release();
    });
}

OwnedRef send(Self& self, Object) { return as_method_result(resume(self.state)); }

// throw(exception), or the older throw(type, value, traceback).
OwnedRef exception_from(Object type, std::optional<Object> value, std::optional<Object> traceback) {
    if (traceback && !PyTraceBack_Check(traceback->ptr)) {
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    }
    OwnedRef exception;
    if (PyExceptionInstance_Check(type.ptr)) {
        if (value) {
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        exception = OwnedRef::borrow(type.ptr);
    } else if (PyExceptionClass_Check(type.ptr)) {
        if (value && PyObject_TypeCheck(value->ptr, reinterpret_cast<PyTypeObject*>(type.ptr))) {
            exception = OwnedRef::borrow(value->ptr);
        } else if (!value) {
            exception = binding::checked(PyObject_CallNoArgs(type.ptr));
        } else if (PyTuple_Check(value->ptr)) {
            exception = binding::checked(PyObject_Call(type.ptr, value->ptr, nullptr));
        } else {
            exception = binding::checked(PyObject_CallOneArg(type.ptr, value->ptr));
        }
        if (!PyExceptionInstance_Check(exception.get())) {
            raise(PyExc_TypeError, "calling an exception type should have returned an instance of BaseException");
        }
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type.ptr)->tp_name);
        binding::raise_current();
    }
    if (traceback) {
        binding::checked_status(PyException_SetTraceback(exception.get(), traceback->ptr));
    }
    return exception;
}

OwnedRef throw_method(Self& self, Object type, std::optional<Object> value, std::optional<Object> traceback) {
    OwnedRef exception = exception_from(type, value, traceback);
    return as_method_result(throw_in(self.state, PyError::from_exception(std::move(exception))));
}

// Allowed from anywhere, as closing a coroutine is: a task still awaiting
// is woken and finds the operation over.
void close_method(Self& self) { self.state.quit(); }

using binding::exclusive;
using binding::method;

binding::ClassDefinition AwaitableClass::definition() {
    return {
        .doc = "The awaitable of Channel.arecv(), Channel.asend() and `async for` over a Channel.\n"
               "\n"
               "Awaited, it completes at once, on the loop's thread, when an item or room is there; otherwise the\n"
               "coroutine waits without blocking the loop or holding a thread. A cancelled (or timed-out) receive\n"
               "has taken nothing and a cancelled send has sent nothing, except on a rendezvous channel\n"
               "(capacity=0) when a receiver took the item before the cancellation arrived: the await then\n"
               "completes anyway, reporting the send. While a task awaits it, it is stepped by that task alone.",
        .methods = {
            method<exclusive<&send>, "send", "value", "/">("Resume the operation; the value is ignored."),
            method<exclusive<&throw_method>, "throw", "typ", "val=None", "tb=None", "/">(
                "Abandon the operation and raise the exception, unless a rendezvous hand-over completed it first."),
            method<exclusive<&close_method>, "close", "/">("Abandon the operation."),
        },
        .getset = {
            {"__qualname__", &qualname, nullptr, nullptr, nullptr},
            {"__name__", &qualname, nullptr, nullptr, nullptr},
        },
        .slots = {
            binding::slot(Py_am_await, &binding::unary_entry<&await_self>),
            binding::slot(Py_am_send, &am_send),
            binding::slot(Py_tp_iter, &binding::unary_entry<&await_self>),
            binding::slot(Py_tp_iternext, &iternext),
        },
    };
}

OwnedRef make(AwaitState state) {
    return binding::create_instance<AwaitableClass>(binding::TypeObject<AwaitableClass>::get(), std::move(state));
}

}  // namespace

OwnedRef await_receive(PyObject* channel, ChannelParts parts, std::optional<double> timeout, ReceiveEnd end) {
    OwnedRef loop = running_loop();
    return make(AwaitState(AwaitState::Kind::Receive, end, OwnedRef::borrow(channel), parts, std::move(loop), timeout,
                           Item()));
}

OwnedRef await_send(PyObject* channel, ChannelParts parts, Item item, std::optional<double> timeout) {
    OwnedRef loop = running_loop();
    return make(AwaitState(AwaitState::Kind::Send, ReceiveEnd::Raise, OwnedRef::borrow(channel), parts,
                           std::move(loop), timeout, std::move(item)));
}

void init_channel_async() {
    init_async_names();
    binding::TypeObject<AwaitableClass>::for_registration();
}

}  // namespace torvan::channel
