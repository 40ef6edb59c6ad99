// RwLock: owns one reference to a shared lock handle and hands out guards,
// each with a reference of its own (through its thread's lease), so guards
// outlive the RwLock object.

#include "lock/rwlock.hpp"

#include <string>

#include "binding/methods.hpp"
#include "binding/repr_text.hpp"
#include "binding/type_object.hpp"
#include "lock/guards.hpp"
#include "core/lock/lock_handle.hpp"

namespace torvan::lock {

namespace {

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

// A snapshot of who holds the lock, stale as soon as it is made: for
// debugging, not for deciding anything.
std::string repr(Self& self) {
    const RawRwLock& lock = self.state.handle->lock;
    std::string text = "<RwLock readers=" + std::to_string(lock.readers());
    text += std::string(" writer=") +
            (lock.is_locked_exclusive() ? "held" : lock.has_waiting_writer() ? "waiting" : "none");
    text += " at " + binding::address_of(self.object()) + ">";
    return text;
}

using binding::method;

binding::ClassDefinition RwLockClass::definition() {
    return {
        .doc = "A native reader-writer lock for free-threaded Python.\n"
               "Allows multiple concurrent readers or a single exclusive writer.\n"
               "Context-manager guards (`with lock.read():` / `with lock.write():`) ensure exception-safe RAII "
               "scoping.",
        .constructor = binding::constructor<RwLockClass, &construct>(),
        .methods = {
            method<&read, "read">("Prepare a read lock guard. Acquisition occurs upon entering the context."),
            method<&write, "write">("Prepare a write lock guard. Acquisition occurs upon entering the context."),
        },
        .slots = {
            binding::slot(Py_tp_repr, &binding::unary_entry<&repr>),
        },
    };
}

}  // namespace

PyTypeObject* rwlock_type() { return binding::TypeObject<RwLockClass>::for_registration(); }

}  // namespace torvan::lock
