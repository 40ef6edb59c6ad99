// RwLock: owns one reference to a shared lock handle and hands out guards,
// each with a reference of its own (through its thread's lease), so guards
// outlive the RwLock object.

#include "lock/rwlock.hpp"

#include "binding/methods.hpp"
#include "binding/type_object.hpp"
#include "lock/guards.hpp"
#include "core/lock/lock_handle.hpp"

namespace torvan::lock {

namespace {

using binding::FunctionDescription;
using binding::Instance;

struct RwLockState {
    LockRef handle;
};

struct RwLockClass : binding::ClassTraits {
    static constexpr const char* kName = "RwLock";
    using State = RwLockState;
    static binding::ClassDefinition definition();
};
using Self = Instance<RwLockClass>;

RwLockState construct() { return RwLockState{LockRef::make()}; }

binding::OwnedRef read(Self& self) { return make_read_guard(self.state.handle); }

binding::OwnedRef write(Self& self) { return make_write_guard(self.state.handle); }

constexpr FunctionDescription kNew = binding::describe_function<&construct>("RwLock", "__new__");

constexpr const char* kClassDoc =
    "RwLock()\n--\n\n"
    "A native reader-writer lock for free-threaded Python.\n"
    "Allows multiple concurrent readers or a single exclusive writer.\n"
    "Context-manager guards (`with lock.read():` / `with lock.write():`) ensure exception-safe RAII scoping.";

PyMethodDef g_methods[] = {
    binding::noargs_def<&read>(
        "read", "read($self)\n--\n\nPrepare a read lock guard. Acquisition occurs upon entering the context."),
    binding::noargs_def<&write>(
        "write", "write($self)\n--\n\nPrepare a write lock guard. Acquisition occurs upon entering the context."),
    binding::end_of_methods(),
};

binding::ClassDefinition RwLockClass::definition() {
    return {
        .doc = kClassDoc,
        .methods = g_methods,
        .slots = {
            binding::slot(Py_tp_new, &binding::constructor_entry<RwLockClass, &construct, kNew>),
        },
    };
}

}  // namespace

PyTypeObject* rwlock_type() { return binding::TypeObject<RwLockClass>::for_registration(); }

}  // namespace torvan::lock
