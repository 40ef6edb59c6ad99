#pragma once
// Argument conversion (Python object -> native value) and result conversion
// (native value -> Python object), with the module's error conventions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "binding/owned_ref.hpp"
#include "binding/py_error.hpp"
#include "binding/python.hpp"
#include "binding/small_ints.hpp"

namespace torvan::binding {

// Any Python object, borrowed for the duration of the call.
struct Object {
    PyObject* ptr;
};

// A parameter whose default belongs to whoever the body passes it on to:
// empty when absent, while an explicit None is converted like any other value.
template <class T>
struct Defaulted {
    using value_type = T;
    std::optional<T> given;
};

// The elements of a sequence argument (a str is refused).
struct SequenceItems {
    std::vector<OwnedRef> items;
};

// Surplus positional arguments (*args) and keyword arguments (**kwargs).
struct VarArgs {
    OwnedRef tuple;
};
struct VarKwargs {
    OwnedRef dict;  // null when none were given
};

// The cast error: "'<type>' object is not an instance of '<expected>'".
[[noreturn]] void raise_cast_error(PyObject* object, const char* expected);

std::int64_t extract_int64(PyObject* object);
std::uint64_t extract_uint64(PyObject* object);
double extract_double(PyObject* object);
bool extract_strict_bool(PyObject* object);
std::string_view extract_text(PyObject* object);
SequenceItems extract_sequence(PyObject* object);

template <class T>
struct Extract;
template <>
struct Extract<std::int64_t> {
    // An exact int of one digit or none, the common argument, is read in
    // place; anything else goes through PyLong_AsLong with its errors.
    static std::int64_t from(PyObject* o) {
        if (PyLong_CheckExact(o)) [[likely]] {
            auto* number = reinterpret_cast<PyLongObject*>(o);
            if (PyUnstable_Long_IsCompact(number)) [[likely]] {
                return PyUnstable_Long_CompactValue(number);
            }
        }
        return extract_int64(o);
    }
};
template <>
struct Extract<std::uint64_t> {
    static std::uint64_t from(PyObject* o) { return extract_uint64(o); }
};
template <>
struct Extract<double> {
    static double from(PyObject* o) { return extract_double(o); }
};
template <>
struct Extract<bool> {
    static bool from(PyObject* o) {
        if (o == Py_True || o == Py_False) [[likely]] {
            return o == Py_True;
        }
        return extract_strict_bool(o);
    }
};
template <>
struct Extract<std::string_view> {
    static std::string_view from(PyObject* o) { return extract_text(o); }
};
template <>
struct Extract<Object> {
    static Object from(PyObject* o) { return Object{o}; }
};
template <>
struct Extract<SequenceItems> {
    static SequenceItems from(PyObject* o) { return extract_sequence(o); }
};

template <class T>
T extract_noted(PyObject* object, std::string_view parameter) {
    try {
        return Extract<T>::from(object);
    } catch (PyError& error) {
        throw with_argument_note(std::move(error), parameter);
    }
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};
template <class T>
struct IsDefaulted : std::false_type {};
template <class T>
struct IsDefaulted<Defaulted<T>> : std::true_type {};

// Converts one bound slot (null when the argument was not given) to the
// parameter's native type. std::optional<T> parameters treat None as absent.
template <class P>
P convert_parameter(PyObject* slot, std::string_view parameter) {
    if constexpr (IsOptional<P>::value) {
        if (slot == nullptr || slot == Py_None) {
            return std::nullopt;
        }
        return extract_noted<typename P::value_type>(slot, parameter);
    } else if constexpr (IsDefaulted<P>::value) {
        if (slot == nullptr) {
            return P{};
        }
        return P{extract_noted<typename P::value_type>(slot, parameter)};
    } else {
        return extract_noted<P>(slot, parameter);
    }
}

// Result conversion.
// True, False and None are immortal: a new reference to them needs no count.
inline PyObject* to_python(bool value) noexcept { return value ? Py_True : Py_False; }
inline PyObject* none_result() noexcept { return Py_None; }
inline PyObject* to_python(std::int64_t value) { return checked(int_to_python(value)).release(); }
inline PyObject* to_python(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)).release(); }
inline PyObject* to_python(double value) { return checked(PyFloat_FromDouble(value)).release(); }
inline PyObject* to_python(OwnedRef value) noexcept { return value.release(); }
inline PyObject* to_python(const std::string& value) {
    return checked(PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()))).release();
}

}  // namespace torvan::binding
