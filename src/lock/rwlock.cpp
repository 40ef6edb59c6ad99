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
    };
}

}  // namespace

PyTypeObject* rwlock_type() { return binding::TypeObject<RwLockClass>::for_registration(); }

}  // namespace torvan::lock
