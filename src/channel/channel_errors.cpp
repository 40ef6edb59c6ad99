#include "channel/channel_errors.hpp"

#include <atomic>
#include <utility>

#include "binding/owned_ref.hpp"

namespace torvan::channel {

namespace {

using binding::OwnedRef;

constexpr const char* kErrorsModule = "torvan._errors";

struct PackageClass {
    const char* name;
    PyObject* fallback;  // the built-in type; the package's class derives from it
    std::atomic<PyObject*> found{nullptr};
};

// Looks in sys.modules only: nothing is imported and no package code runs
// here, whatever thread raises. A lookup that fails leaves any error it met
// unseen and tries again next time.
PyObject* look_up(PackageClass& entry) noexcept {
    if (PyObject* type = entry.found.load(std::memory_order_acquire)) {
        return type;
    }
    PyObject* in_flight = PyErr_GetRaisedException();
    PyObject* type = nullptr;
    OwnedRef name = OwnedRef::steal(PyUnicode_FromString(kErrorsModule));
    if (OwnedRef module = OwnedRef::steal(name ? PyImport_GetModule(name.get()) : nullptr)) {
        type = PyObject_GetAttrString(module.get(), entry.name);
    }
    if (type != nullptr && !(PyType_Check(type) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                                       reinterpret_cast<PyTypeObject*>(entry.fallback)))) {
        Py_CLEAR(type);  // not what the package is known to define: raise the built-in type
    }
    PyErr_Clear();
    PyErr_SetRaisedException(in_flight);
    if (type == nullptr) {
        return entry.fallback;
    }
    PyObject* expected = nullptr;
    if (!entry.found.compare_exchange_strong(expected, type, std::memory_order_acq_rel)) {
        Py_DECREF(type);  // another thread published first
        return expected;
    }
    return type;  // kept for the life of the process
}

PackageClass& entry_for(ChannelError kind) noexcept {
    static PackageClass full{"ChannelFull", PyExc_RuntimeError};
    static PackageClass empty{"ChannelEmpty", PyExc_RuntimeError};
    static PackageClass closed{"ChannelClosed", PyExc_ValueError};
    switch (kind) {
        case ChannelError::Full:
            return full;
        case ChannelError::Empty:
            return empty;
        case ChannelError::Closed:
            break;
    }
    return closed;
}

template <ChannelError Kind>
PyObject* class_of() noexcept {
    return look_up(entry_for(Kind));
}

binding::ClassSource source_for(ChannelError kind) noexcept {
    switch (kind) {
        case ChannelError::Full:
            return &class_of<ChannelError::Full>;
        case ChannelError::Empty:
            return &class_of<ChannelError::Empty>;
        case ChannelError::Closed:
            break;
    }
    return &class_of<ChannelError::Closed>;
}

}  // namespace

binding::PyError channel_error(ChannelError kind, std::string message) {
    return binding::PyError::lazy(source_for(kind), entry_for(kind).fallback, std::move(message));
}

void raise_channel_error(ChannelError kind, std::string message) { throw channel_error(kind, std::move(message)); }

void raise_closed_at(std::size_t position, const char* message) {
    OwnedRef exception = std::move(channel_error(ChannelError::Closed, message)).into_exception();
    OwnedRef index = binding::checked(PyLong_FromSize_t(position));
    binding::checked_status(PyObject_SetAttrString(exception.get(), "index", index.get()));
    throw binding::PyError::from_exception(std::move(exception));
}

}  // namespace torvan::channel
