#include "pool/fork_hook.hpp"

#include "binding/boundary.hpp"
#include "binding/owned_ref.hpp"
#include "binding/py_error.hpp"
#include "pool/worker.hpp"

namespace torvan::pool {

namespace {

bool g_installed = false;  // only touched during module registration

PyObject* after_fork_in_child(PyObject*, PyObject*) noexcept {
    return binding::at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        forget_workers_after_fork();
        return Py_NewRef(Py_None);
    });
}

PyMethodDef g_hook_def = {"_forget_thread_pool_workers", &after_fork_in_child, METH_NOARGS,
                          "Forget the ThreadPool workers a forked child does not have."};

}  // namespace

void install_fork_hook() {
    if (g_installed) {
        return;
    }
    binding::OwnedRef hook = binding::checked(PyCFunction_New(&g_hook_def, nullptr));
    binding::OwnedRef os = binding::checked(PyImport_ImportModule("os"));
    binding::OwnedRef register_at_fork = binding::checked(PyObject_GetAttrString(os.get(), "register_at_fork"));
    binding::OwnedRef no_args = binding::checked(PyTuple_New(0));
    binding::OwnedRef kwargs = binding::checked(Py_BuildValue("{s:O}", "after_in_child", hook.get()));
    binding::checked(PyObject_Call(register_at_fork.get(), no_args.get(), kwargs.get()));
    g_installed = true;
}

}  // namespace torvan::pool
