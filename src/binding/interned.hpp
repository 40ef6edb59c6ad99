#pragma once
// Names the module looks up often, made once at module registration (which
// runs on one thread) and kept for the life of the process.

#include "binding/py_error.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

inline void intern_once(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = checked(PyUnicode_InternFromString(text)).release();
    }
}

}  // namespace torvan::binding
