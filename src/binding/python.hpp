#pragma once
// The one way this module includes the CPython headers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef Py_GIL_DISABLED
#error "torvan is built only for the free-threaded CPython build (3.14t)"
#endif
