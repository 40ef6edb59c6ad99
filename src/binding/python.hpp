#pragma once
// The one way this module includes the CPython headers.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#ifndef Py_GIL_DISABLED
#error "torvan is built only for the free-threaded CPython build (3.14t)"
#endif

// The interpreter's C functions raise no C++ exception, but the compiler must
// assume that any unannotated function may. Said here of the conversions that
// end a method call, it lets the call be the method's last jump instead of a
// call the caller must guard (a noexcept entry point would otherwise keep a
// frame around it, to end the process should it throw). Clang refuses to add
// the attribute to a function declared already, so only GCC is told.
#if defined(__GNUC__) && !defined(__clang__)
extern "C" {
PyAPI_FUNC(PyObject*) PyLong_FromLong(long) __attribute__((nothrow));
PyAPI_FUNC(PyObject*) PyLong_FromUnsignedLongLong(unsigned long long) __attribute__((nothrow));
PyAPI_FUNC(PyObject*) PyFloat_FromDouble(double) __attribute__((nothrow));
PyAPI_FUNC(PyThreadState*) PyThreadState_GetUnchecked(void) __attribute__((nothrow));
}
#endif
