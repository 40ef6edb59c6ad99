#include "binding/type_object.hpp"

#include "core/failure.hpp"

namespace torvan::binding {

namespace detail {

PyTypeObject* build_type(const TypeLayout& layout, const ClassDefinition& definition) {
    std::vector<PyType_Slot> slots = definition.slots;
    const bool constructible = definition.constructor.entry != nullptr;
    // CPython copies the docstring into the type.
    std::string doc = definition.doc != nullptr ? definition.doc : "";
    if (constructible) {
        slots.push_back({Py_tp_new, reinterpret_cast<void*>(definition.constructor.entry)});
        doc = std::string(layout.name) + definition.constructor.signature + "\n--\n\n" + doc;
    }
    if (!doc.empty()) {
        slots.push_back({Py_tp_doc, doc.data()});
    }
    if (!definition.methods.empty()) {
        slots.push_back({Py_tp_methods, definition.methods.data()});
    }
    if (!definition.getset.empty()) {
        slots.push_back({Py_tp_getset, definition.getset.data()});
    }
    // The member table only declares where the weak-reference list lives; CPython
    // reads it while building the type, so a local table is enough.
    PyMemberDef members[] = {
        {"__weaklistoffset__", Py_T_PYSSIZET, layout.weaklist_offset, Py_READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    if (layout.weak_references) {
        slots.push_back({Py_tp_members, members});
    }
    slots.push_back({Py_tp_base, &PyBaseObject_Type});
    slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(layout.dealloc)});
    if (layout.traverse != nullptr) {
        slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(layout.traverse)});
        slots.push_back({Py_tp_clear, reinterpret_cast<void*>(layout.clear)});
    }
    slots.push_back({0, nullptr});

    std::string qualified = std::string("builtins.") + layout.name;
    unsigned int flags = Py_TPFLAGS_DEFAULT | (layout.traverse != nullptr ? Py_TPFLAGS_HAVE_GC : 0u);
    if (definition.subclassable) {
        flags |= Py_TPFLAGS_BASETYPE;
    }
    if (!constructible) {
        flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    }
    PyType_Spec type_spec{qualified.c_str(), layout.basicsize, 0, flags, slots.data()};
    PyObject* type = PyType_FromSpec(&type_spec);
    if (type == nullptr) {
        OwnedRef cause = OwnedRef::steal(PyErr_GetRaisedException());
        OwnedRef error = OwnedRef::steal(PyObject_CallFunction(
            PyExc_RuntimeError, "s", (std::string("An error occurred while initializing class ") + layout.name).c_str()));
        if (!error) {
            raise_current();
        }
        PyException_SetCause(error.get(), cause.release());
        throw PyError::from_exception(std::move(error));
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

void fail_type_creation(PyError error, const char* name) {
    std::move(error).restore();
    PyErr_WriteUnraisable(nullptr);
    fail(std::string("failed to create type object for `") + name + "`");
}

}  // namespace detail

}  // namespace torvan::binding
