// The extension module _torvan: its single entry point, its definition and the
// registration of every class and of `select`, in a fixed order.

#include "atomic/atomic_boolean.hpp"
#include "atomic/atomic_integer.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/registration.hpp"
#include "binding/small_ints.hpp"
#include "channel/channel.hpp"
#include "channel/ops.hpp"
#include "channel/select.hpp"
#include "lock/guards.hpp"
#include "lock/rwlock.hpp"
#include "map/concurrent_map.hpp"
#include "pool/thread_pool.hpp"

namespace torvan {

namespace {

// The classes, in the order __all__ lists them, each type built on first use.
constexpr PyTypeObject* (*kClasses[])() = {
    channel::channel_type,
    channel::recv_op_type,
    channel::send_op_type,
    map::concurrent_map_type,
    pool::thread_pool_type,
    atomic::atomic_integer_type,
    atomic::atomic_boolean_type,
    lock::rwlock_type,
    lock::read_guard_type,
    lock::write_guard_type,
};

// The module functions, after the classes.
constexpr PyMethodDef* (*kFunctions[])() = {
    select::select_function,
};

int exec_module(PyObject* module) noexcept {
    return binding::at_boundary<int>(-1, [&] {
        if (!PyModule_Check(module)) {
            binding::raise_cast_error(module, "module");
        }
        binding::cache_small_ints();
        for (auto type_of : kClasses) {
            binding::add_type(module, type_of());
        }
        for (auto function_of : kFunctions) {
            binding::add_function(module, function_of());
        }
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
