#include "binding/py_error.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace torvan::binding {

namespace {

constexpr const char* kPanicDoc =
    "Raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it\n"
    "usually propagates through the whole stack and ends the interpreter instead of\n"
    "being caught by a broad `except Exception`.";

std::atomic<PyObject*> g_panic_type{nullptr};

[[noreturn]] void abort_at_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

// The PanicException type, created on first use and kept for the process's life.
PyObject* panic_type() noexcept {
    // Acquire: pairs with the acq_rel CAS below that publishes the created type.
    PyObject* type = g_panic_type.load(std::memory_order_acquire);
    if (type != nullptr) {
        return type;
    }
    PyObject* created = PyErr_NewExceptionWithDoc("torvan.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        return nullptr;
    }
    PyObject* expected = nullptr;
    if (!g_panic_type.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
        Py_DECREF(created);  // another thread won the race; use its type
        return expected;
    }
    return created;
}

}  // namespace

PyError PyError::fetch() {
    PyObject* raised = PyErr_GetRaisedException();
    if (raised == nullptr) {
        return PyError::lazy(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
    return PyError(OwnedRef::steal(raised));
}

void PyError::restore() && {
    if (exception_) {
        PyErr_SetRaisedException(exception_.release());
        return;
    }
    PyObject* type = source_ != nullptr ? source_() : type_;
    if (message_) {
        // Sized, not NUL-terminated: a message may quote caller text that
        // contains NUL characters.
        PyObject* text = PyUnicode_FromStringAndSize(message_->data(), static_cast<Py_ssize_t>(message_->size()));
        if (text != nullptr) {
            PyErr_SetObject(type, text);
            Py_DECREF(text);
        }
    } else {
        PyErr_SetNone(type);
    }
}

OwnedRef PyError::into_exception() && {
    if (exception_) {
        return std::move(exception_);
    }
    std::move(*this).restore();
    return OwnedRef::steal(PyErr_GetRaisedException());
}

bool PyError::is_instance_of(PyObject* type) const {
    if (exception_) {
        return PyErr_GivenExceptionMatches(exception_.get(), type) != 0;
    }
    return PyErr_GivenExceptionMatches(type_, type) != 0;
}

void set_panic(const char* message) noexcept {
    PyObject* type = panic_type();
    if (type == nullptr) {
        // Creating the type failed: a failure while converting a failure.
        abort_at_boundary();
    }
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::char_traits<char>::length(message)),
                                          "replace");
    if (text == nullptr) {
        abort_at_boundary();
    }
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

PyError with_argument_note(PyError error, std::string_view parameter) {
    OwnedRef exception = std::move(error).into_exception();
    if (!exception) {
        return PyError::fetch();
    }
    OwnedRef note = checked(
        PyUnicode_FromFormat("while processing '%.*s'", static_cast<int>(parameter.size()), parameter.data()));
    OwnedRef result = OwnedRef::steal(PyObject_CallMethod(exception.get(), "add_note", "O", note.get()));
    if (!result) {
        return PyError::fetch();  // adding the note failed: report that failure instead
    }
    return PyError::from_exception(std::move(exception));
}

}  // namespace torvan::binding
