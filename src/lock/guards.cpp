// RwLockReadGuard and RwLockWriteGuard: context managers that acquire their
// lock on __enter__ and release it on __exit__ (or when destroyed while
// entered). They are bound to the thread that made them, because a held read
// counts towards that thread's read depth. A wait for the lock runs signal
// handlers, as every blocking call does: one that raises (Ctrl-C) abandons
// the acquisition with nothing held.

#include "lock/guards.hpp"

#include <cstdint>
#include <optional>

#include "binding/detached_wait.hpp"
#include "binding/methods.hpp"
#include "binding/type_object.hpp"
#include "lock/access.hpp"
#include "core/lock/handle_lease.hpp"
#include "core/lock/thread_reads.hpp"

namespace torvan::lock {

namespace {

using binding::Instance;
using binding::Object;
using binding::OnConflict;
using binding::ReturnSelf;

constexpr const char* kWouldDeadlock = "RwLock would deadlock: this thread already holds it";

template <class Access>
struct GuardState {
    LeasedRef handle;
    Access held;  // declared after the handle, so that it is released first
};

// What both guard classes share; each specialisation adds its names and texts.
template <class Access>
struct GuardTraits : binding::ClassTraits {
    using State = GuardState<Access>;
    static constexpr bool kThreadBound = true;
    static constexpr bool kExclusiveMethods = true;
    static constexpr bool kReusedOnThread = true;  // no allocation per `with lock.read():`
    static void drop_on_foreign_thread(State& state) noexcept {
        state.held.release_elsewhere();
        state.handle.reset_elsewhere();
    }
};

template <class Access>
struct GuardClass;

template <>
struct GuardClass<ReadAccess> : GuardTraits<ReadAccess> {
    static constexpr const char* kName = "RwLockReadGuard";
    static constexpr const char* kTypePath = "_torvan::lock::RwLockReadGuard";
    static constexpr const char* kDoc =
        "A context-manager guard for holding shared read access of an RwLock.\n"
        "Since it keeps references to local FFI contexts, it is marked as `unsendable`.";
    static binding::ClassDefinition definition();
};

template <>
struct GuardClass<WriteAccess> : GuardTraits<WriteAccess> {
    static constexpr const char* kName = "RwLockWriteGuard";
    static constexpr const char* kTypePath = "_torvan::lock::RwLockWriteGuard";
    static constexpr const char* kDoc =
        "A context-manager guard for holding exclusive write access of an RwLock.\n"
        "Since it keeps references to local FFI contexts, it is marked as `unsendable`.";
    static binding::ClassDefinition definition();
};

using ReadGuardClass = GuardClass<ReadAccess>;
using WriteGuardClass = GuardClass<WriteAccess>;
template <class Access>
using Guard = Instance<GuardClass<Access>>;

// Raises unless the guard is free to enter.
template <class Access>
void ensure_not_entered(Guard<Access>& self) {
    binding::SharedBorrowOf<GuardClass<Access>> borrow(self);
    if (self.state.held) {
        binding::raise(PyExc_RuntimeError, "Lock guard already entered");
    }
}

// Stores an acquired access in the guard. Should that fail, the access is
// released on the way out rather than lost.
template <class Access>
void store_held(Guard<Access>& self, Access access) {
    binding::check_owner_thread(self);
    binding::ExclusiveBorrowOf<GuardClass<Access>> borrow(self, OnConflict::Fail);
    self.state.held = std::move(access);  // an access somehow present is released first
}

ReturnSelf enter_read(Guard<ReadAccess>& self) {
    ensure_not_entered(self);
    // A thread already reading some lock may pass a waiting writer.
    bool recursive = thread_reads::depth() > 0;
    std::optional<ReadTicket> acquired;
    {
        binding::check_owner_thread(self);
        binding::SharedBorrowOf<ReadGuardClass> borrow(self, OnConflict::Fail);
        acquired = self.state.handle->lock.try_lock_shared(recursive);
    }
    LockHandle& handle = *self.state.handle;
    if (!acquired) {
        // A reader is refused only by a writer, held or waiting. If the
        // writer is this very thread, waiting would never end.
        if (handle.writer_thread.load(std::memory_order_relaxed) == self.owner_thread) {
            binding::raise(PyExc_RuntimeError, kWouldDeadlock);
        }
        LockRef waiting = self.state.handle.handle_ref();
        acquired = binding::wait_detached([&] { return waiting->lock.lock_shared_interruptibly(recursive); });
    }
    store_held(self, ReadAccess::adopt(handle, self.owner_thread, *acquired));
    return {};
}

// True when the calling thread holds reads of the lock through its guards,
// not counting those that other threads released for it (entered guards
// destroyed there).
bool thread_reads_lock(LockHandle& handle, std::uint64_t thread) {
    if (thread_reads::held_on(handle.id()) == 0) {
        return false;
    }
    thread_reads::forget(handle.id(), handle.take_foreign_releases(thread));
    return thread_reads::held_on(handle.id()) != 0;
}

ReturnSelf enter_write(Guard<WriteAccess>& self) {
    ensure_not_entered(self);
    bool acquired = false;
    {
        binding::check_owner_thread(self);
        binding::SharedBorrowOf<WriteGuardClass> borrow(self, OnConflict::Fail);
        acquired = self.state.handle->lock.try_lock_exclusive();
    }
    LockHandle& handle = *self.state.handle;
    if (!acquired) {
        // Neither this thread's own write nor its own reads will ever leave
        // while it waits.
        bool own_write = handle.writer_thread.load(std::memory_order_relaxed) == self.owner_thread;
        if (own_write || thread_reads_lock(handle, self.owner_thread)) {
            binding::raise(PyExc_RuntimeError, kWouldDeadlock);
        }
        LockRef waiting = self.state.handle.handle_ref();
        binding::wait_detached([&]() -> std::optional<bool> {
            return waiting->lock.lock_exclusive_interruptibly() ? std::optional<bool>(true) : std::nullopt;
        });
    }
    store_held(self, WriteAccess::adopt(handle, self.owner_thread));
    return {};
}

// Never suppresses an exception from the body: returns None.
template <class Access>
void exit_guard(Guard<Access>& self, Object, Object, Object) {
    self.state.held.release();
}

using binding::exclusive;
using binding::manual;
using binding::method;

binding::ClassDefinition ReadGuardClass::definition() {
    return {
        .doc = kDoc,
        .methods = {
            method<manual<&enter_read>, "__enter__">("Enter the read lock context."),
            method<exclusive<&exit_guard<ReadAccess>>, "__exit__", "_exc_type", "_exc_value", "_traceback">(
                "Exit the read lock context, releasing the lock."),
        },
    };
}

binding::ClassDefinition WriteGuardClass::definition() {
    return {
        .doc = kDoc,
        .methods = {
            method<manual<&enter_write>, "__enter__">("Enter the write lock context."),
            method<exclusive<&exit_guard<WriteAccess>>, "__exit__", "_exc_type", "_exc_value", "_traceback">(
                "Exit the write lock context, releasing the lock."),
        },
    };
}

}  // namespace

PyTypeObject* read_guard_type() { return binding::TypeObject<ReadGuardClass>::for_registration(); }
PyTypeObject* write_guard_type() { return binding::TypeObject<WriteGuardClass>::for_registration(); }

binding::OwnedRef make_read_guard(const LockRef& handle) {
    return binding::create_native_instance<ReadGuardClass>(binding::TypeObject<ReadGuardClass>::get(),
                                                    ReadGuardClass::State{LeasedRef::on_this_thread(handle), {}});
}

binding::OwnedRef make_write_guard(const LockRef& handle) {
    return binding::create_native_instance<WriteGuardClass>(binding::TypeObject<WriteGuardClass>::get(),
                                                     WriteGuardClass::State{LeasedRef::on_this_thread(handle), {}});
}

}  // namespace torvan::lock
