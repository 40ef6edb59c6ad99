// The extension module _torvan: its single entry point, its definition and the
// registration of every class and of `select`, in a fixed order.

#include "atomic/atomic_boolean.hpp"
#include "atomic/atomic_integer.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/type_object.hpp"
#include "channel/channel.hpp"
#include "channel/ops.hpp"
#include "lock/guards.hpp"
#include "lock/rwlock.hpp"
#include "map/concurrent_map.hpp"
#include "pool/thread_pool.hpp"
#include "channel/select.hpp"

namespace torvan {

namespace {

using binding::add_to_module;

void register_class(PyObject* module, const char* name, PyTypeObject* type) {
    add_to_module(module, name, reinterpret_cast<PyObject*>(type));
}

int exec_module(PyObject* module) noexcept {
    return binding::at_boundary<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            binding::raise_cast_error(module, "module");
        }
        register_class(module, "Channel", channel::channel_type());
        register_class(module, "RecvOp", channel::recv_op_type());
        register_class(module, "SendOp", channel::send_op_type());
        register_class(module, "ConcurrentMap", map::concurrent_map_type());
        register_class(module, "ThreadPool", pool::thread_pool_type());
        register_class(module, "AtomicInteger", atomic::atomic_integer_type());
        register_class(module, "AtomicBoolean", atomic::atomic_boolean_type());
        register_class(module, "RwLock", lock::rwlock_type());
        register_class(module, "RwLockReadGuard", lock::read_guard_type());
        register_class(module, "RwLockWriteGuard", lock::write_guard_type());
        select::register_select(module);
        return 0;
    });
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "_torvan",
    "Entry point of the compiled native extension module `_torvan`.\n"
    "Registers all core concurrency primitives so that they are visible from Python.",
    0,
    nullptr,
    g_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace torvan

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__torvan() {
    return PyModuleDef_Init(&torvan::g_definition);
}
