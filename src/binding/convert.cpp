#include "binding/convert.hpp"

#include <algorithm>
#include <cstring>

namespace torvan::binding {

namespace {

std::string type_qualname(PyObject* object) {
    OwnedRef name = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!name) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();
        return "<failed to extract type name>";
    }
    return std::string(text, static_cast<std::size_t>(size));
}

// numpy's boolean scalars (numpy.bool_, numpy.bool) count as booleans.
bool is_numpy_bool_type(PyTypeObject* type) {
    OwnedRef name = OwnedRef::steal(PyType_GetName(type));
    if (!name) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_EqualToUTF8(name.get(), "bool_") && !PyUnicode_EqualToUTF8(name.get(), "bool")) {
        return false;
    }
    PyObject* module = nullptr;
    if (PyObject_GetOptionalAttrString(reinterpret_cast<PyObject*>(type), "__module__", &module) < 0) {
        PyErr_Clear();
        return false;
    }
    OwnedRef owned_module = OwnedRef::steal(module);
    return owned_module && PyUnicode_Check(module) && PyUnicode_EqualToUTF8(module, "numpy");
}

}  // namespace

void raise_cast_error(PyObject* object, const char* expected) {
    if (object == Py_None) {
        raise(PyExc_TypeError, std::string("'None' is not an instance of '") + expected + "'");
    }
    raise(PyExc_TypeError, "'" + type_qualname(object) + "' object is not an instance of '" + expected + "'");
}

static_assert(sizeof(long) == sizeof(std::int64_t), "the integer conversion relies on a 64-bit C long");

std::int64_t extract_int64(PyObject* object) {
    long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) {
        raise_current();
    }
    return value;
}

std::uint64_t extract_uint64(PyObject* object) {
    if (PyLong_Check(object)) {
        unsigned long long value = PyLong_AsUnsignedLongLong(object);
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            raise_current();
        }
        return value;
    }
    OwnedRef index = checked(PyNumber_Index(object));
    unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_current();
    }
    return value;
}

double extract_double(PyObject* object) {
    if (PyFloat_CheckExact(object)) {
        return PyFloat_AS_DOUBLE(object);
    }
    double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) {
        raise_current();
    }
    return value;
}

bool extract_strict_bool(PyObject* object) {
    if (object == Py_True) {
        return true;
    }
    if (object == Py_False) {
        return false;
    }
    PyTypeObject* type = Py_TYPE(object);
    if (!is_numpy_bool_type(type)) {
        raise_cast_error(object, "bool");
    }
    auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
    if (nb_bool == nullptr) {
        PyErr_Clear();
        raise(PyExc_TypeError,
              "object of type '" + type_qualname(object) + "' does not define a '__bool__' conversion");
    }
    int truth = nb_bool(object);
    if (truth < 0) {
        raise_current();
    }
    return truth != 0;
}

std::string_view extract_text(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_cast_error(object, "str");
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) {
        raise_current();
    }
    return std::string_view(text, static_cast<std::size_t>(size));
}

SequenceItems extract_sequence(PyObject* object) {
    if (PyUnicode_Check(object)) {
        raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    }
    if (!PySequence_Check(object)) {
        raise_cast_error(object, "Sequence");
    }
    SequenceItems result;
    // The size is only a hint, and a sequence may claim any size: room is
    // reserved for a bounded number of items, the rest grows as they come.
    constexpr Py_ssize_t kMostReserved = 1024;
    Py_ssize_t size = PyObject_Size(object);
    if (size < 0) {
        PyErr_Clear();
    } else {
        result.items.reserve(static_cast<std::size_t>(std::min(size, kMostReserved)));
    }
    OwnedRef iterator = checked(PyObject_GetIter(object));
    for (;;) {
        PyObject* item = nullptr;
        int status = PyIter_NextItem(iterator.get(), &item);
        if (status < 0) {
            raise_current();
        }
        if (status == 0) {
            break;
        }
        result.items.push_back(OwnedRef::steal(item));
    }
    return result;
}

}  // namespace torvan::binding
