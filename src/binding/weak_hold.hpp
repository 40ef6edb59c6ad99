#pragma once
// A reference that does not keep its object alive where the object allows
// weak references, and a strong one where it does not: for native state that
// must not keep Python objects alive out of the garbage collector's sight.

#include "binding/owned_ref.hpp"
#include "binding/py_error.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

inline OwnedRef hold_weakly(PyObject* object) {
    OwnedRef held = OwnedRef::steal(PyWeakref_NewRef(object, nullptr));
    if (!held) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            raise_current();
        }
        PyErr_Clear();  // an object without weak references is held as it is
        held = OwnedRef::borrow(object);
    }
    return held;
}

// The object `held` refers to; null once a weakly held object is gone.
inline OwnedRef referent(const OwnedRef& held) {
    if (!held || !PyWeakref_Check(held.get())) {
        return held.clone();
    }
    PyObject* object = nullptr;
    checked_status(PyWeakref_GetRef(held.get(), &object));
    return OwnedRef::steal(object);
}

}  // namespace torvan::binding
