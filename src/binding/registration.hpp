#pragma once
// Registration on the module: each name is appended to __all__, then set as
// the attribute, so __all__ lists them in registration order.

#include "binding/python.hpp"

namespace torvan::binding {

// A class under its own name.
void add_type(PyObject* module, PyTypeObject* type);

// A module function under its own name; `definition` lives as long as the process.
void add_function(PyObject* module, PyMethodDef* definition);

}  // namespace torvan::binding
