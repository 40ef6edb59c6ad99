#include "binding/registration.hpp"

#include "binding/convert.hpp"
#include "binding/owned_ref.hpp"
#include "binding/py_error.hpp"
#include "core/failure.hpp"

namespace torvan::binding {

namespace {

void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    if (!PyUnicode_Check(name)) {
        raise_cast_error(name, "str");
    }
    PyObject* all = nullptr;
    checked_status(PyObject_GetOptionalAttrString(module, "__all__", &all));
    OwnedRef owned_all = OwnedRef::steal(all);
    if (!owned_all) {
        owned_all = checked(PyList_New(0));
        checked_status(PyObject_SetAttrString(module, "__all__", owned_all.get()));
    }
    if (!PyList_Check(owned_all.get()) || PyList_Append(owned_all.get(), name) < 0) {
        PyErr_Clear();
        fail("could not append __name__ to __all__");
    }
    checked_status(PyObject_SetAttr(module, name, value));
}

}  // namespace

void add_type(PyObject* module, PyTypeObject* type) {
    OwnedRef name = checked(PyType_GetName(type));
    add_to_module(module, name.get(), reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* definition) {
    OwnedRef module_name = checked(PyModule_GetNameObject(module));
    OwnedRef function = checked(PyCMethod_New(definition, module, module_name.get(), nullptr));
    OwnedRef name = checked(PyObject_GetAttrString(function.get(), "__name__"));
    add_to_module(module, name.get(), function.get());
}

}  // namespace torvan::binding
