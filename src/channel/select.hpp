#pragma once

#include "binding/python.hpp"

namespace torvan::select {

// Creates the module function `select` and registers it on `module`.
void register_select(PyObject* module);

}  // namespace torvan::select
