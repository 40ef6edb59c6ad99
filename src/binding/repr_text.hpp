#pragma once
// Pieces of the reprs that show an object's state, "<Channel ... at 0x...>".

#include <cstdio>
#include <string>

#include "binding/py_error.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

// The object's address, as object.__repr__ writes it.
inline std::string address_of(PyObject* object) {
    char text[2 * sizeof(void*) + 3];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(object));
    return text;
}

// The name of the object's class (a Python subclass's own name included).
inline std::string class_name_of(PyObject* object) {
    OwnedRef name = checked(PyType_GetQualName(Py_TYPE(object)));
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        raise_current();
    }
    return std::string(text, static_cast<std::size_t>(size));
}

inline const char* python_bool(bool value) noexcept { return value ? "True" : "False"; }

}  // namespace torvan::binding
