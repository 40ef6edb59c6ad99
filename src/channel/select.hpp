#pragma once

#include "binding/python.hpp"

namespace torvan::select {

// The definition of the module function `select`.
PyMethodDef* select_function();

}  // namespace torvan::select
