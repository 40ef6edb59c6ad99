#pragma once
// Python exceptions as C++ values. A method body throws PyError for a Python
// exception and NativeFailure for an internal failure; the boundary wrapper
// hands the first to the interpreter and turns the second into PanicException.
//
// Errors the module raises itself are described lazily (a type and a message)
// and become exception objects only when handed to the interpreter.

#include <optional>
#include <string>
#include <string_view>

#include "binding/owned_ref.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

// Finds the class to raise when a lazily described error is materialised
// (a class the package defines in Python, say); never null.
using ClassSource = PyObject* (*)() noexcept;

class PyError {
public:
    // `type` is one of the interpreter's static exception types (immortal).
    static PyError lazy(PyObject* type, std::string message) { return PyError(type, std::move(message)); }
    // Raised as the class `source` gives, a subclass of `type`; `type`
    // answers is_instance_of without looking the class up.
    static PyError lazy(ClassSource source, PyObject* type, std::string message) {
        PyError error(type, std::move(message));
        error.source_ = source;
        return error;
    }
    static PyError lazy_without_message(PyObject* type) { return PyError(type, std::nullopt); }
    // Takes the interpreter's current exception; a SystemError when none is set.
    static PyError fetch();
    static PyError from_exception(OwnedRef exception) { return PyError(std::move(exception)); }

    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    // Sets this error as the interpreter's current exception.
    void restore() &&;
    // The exception object, created now if the error was described lazily.
    OwnedRef into_exception() &&;
    // True when the error is an instance of `type` (a subclass included).
    bool is_instance_of(PyObject* type) const;

private:
    PyError(PyObject* type, std::optional<std::string> message) : type_(type), message_(std::move(message)) {}
    explicit PyError(OwnedRef exception) : exception_(std::move(exception)) {}

    OwnedRef exception_;                  // set for a raised exception
    PyObject* type_ = nullptr;            // set for a lazily described one
    ClassSource source_ = nullptr;        // the class it is raised as, when not type_ itself
    std::optional<std::string> message_;  // its message, if any
};

[[noreturn]] inline void raise(PyObject* type, std::string message) { throw PyError::lazy(type, std::move(message)); }
[[noreturn]] inline void raise_current() { throw PyError::fetch(); }

// Checks the result of a C API call that returns a new reference or NULL.
inline OwnedRef checked(PyObject* result) {
    if (result == nullptr) {
        raise_current();
    }
    return OwnedRef::steal(result);
}
// Checks the result of a C API call that returns -1 on error.
inline int checked_status(int status) {
    if (status < 0) {
        raise_current();
    }
    return status;
}

// Sets PanicException with the message as the current exception. If that
// itself fails, the process aborts: there is no safe way to report it.
void set_panic(const char* message) noexcept;

// Adds the note "while processing '<name>'" to an argument conversion error.
PyError with_argument_note(PyError error, std::string_view parameter);

}  // namespace torvan::binding
