#include "binding/arguments.hpp"

#include <vector>

#include "binding/py_error.hpp"

namespace torvan::binding {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<std::string_view>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                text += " and ";
            } else if (i + 1 == names.size()) {
                text += ", and ";
            } else {
                text += ", ";
            }
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

[[noreturn]] void too_many_positional(const FunctionDescription& function, std::size_t given) {
    std::string message = function.full_name();
    if (function.required == function.positional_count) {
        message += " takes " + std::to_string(function.positional_count) + " positional arguments";
    } else {
        message += " takes from " + std::to_string(function.required) + " to " +
                   std::to_string(function.positional_count) + " positional arguments";
    }
    message += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
    raise(PyExc_TypeError, std::move(message));
}

// Index of the parameter named `key`, or parameter_count when there is none.
std::size_t find_parameter(const FunctionDescription& function, PyObject* key) {
    for (std::size_t i = 0; i < function.parameter_count; ++i) {
        const std::string_view parameter = function.parameters[i];
        if (PyUnicode_EqualToUTF8AndSize(key, parameter.data(), static_cast<Py_ssize_t>(parameter.size()))) {
            return i;
        }
    }
    return function.parameter_count;
}

// The TypeError for a keyword argument `function` does not take.
[[noreturn]] void raise_unexpected_keyword(const FunctionDescription& function, PyObject* key) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) {
        raise_current();
    }
    raise(PyExc_TypeError,
          function.full_name() + " got an unexpected keyword argument '" + std::string(text, size) + "'");
}

void bind_keyword(const FunctionDescription& function, PyObject* key, PyObject* value, PyObject** slots,
                  CollectedArguments* collected) {
    std::size_t index = find_parameter(function, key);
    if (index < function.parameter_count) {
        if (slots[index] != nullptr) {
            raise(PyExc_TypeError, function.full_name() + " got multiple values for argument '" +
                                       std::string(function.parameters[index]) + "'");
        }
        slots[index] = value;
        return;
    }
    if (function.varkw) {
        if (!collected->varkw) {
            collected->varkw = checked(PyDict_New());
        }
        checked_status(PyDict_SetItem(collected->varkw.get(), key, value));
        return;
    }
    raise_unexpected_keyword(function, key);
}

void check_required(const FunctionDescription& function, std::size_t positional, PyObject** slots) {
    if (positional >= function.required) {
        return;
    }
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < function.required; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(function.parameters[i]);
        }
    }
    if (missing.empty()) {
        return;
    }
    raise(PyExc_TypeError, function.full_name() + " missing " + std::to_string(missing.size()) +
                               " required positional " + (missing.size() == 1 ? "argument" : "arguments") + ": " +
                               quoted_list(missing));
}

}  // namespace

std::string FunctionDescription::full_name() const {
    std::string text;
    if (class_name != nullptr) {
        text += class_name;
        text += '.';
    }
    text.append(name);
    text += "()";
    return text;
}

void bind_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots, CollectedArguments* collected) {
    auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    std::size_t copied = positional < function.positional_count ? positional : function.positional_count;
    for (std::size_t i = 0; i < copied; ++i) {
        slots[i] = args[i];
    }
    if (function.varargs) {
        collected->varargs = checked(PyTuple_New(static_cast<Py_ssize_t>(positional - copied)));
        for (std::size_t i = copied; i < positional; ++i) {
            PyTuple_SET_ITEM(collected->varargs.get(), static_cast<Py_ssize_t>(i - copied), Py_NewRef(args[i]));
        }
    } else if (positional > function.positional_count) {
        too_many_positional(function, positional);
    }
    if (kwnames != nullptr) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            bind_keyword(function, PyTuple_GET_ITEM(kwnames, k), args[positional + static_cast<std::size_t>(k)],
                         slots, collected);
        }
    }
    check_required(function, positional, slots);
}

void bind_tuple_dict(const FunctionDescription& function, PyObject* args, PyObject* kwargs, PyObject** slots,
                     CollectedArguments* collected) {
    auto positional = args == nullptr ? 0 : static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    std::size_t copied = positional < function.positional_count ? positional : function.positional_count;
    for (std::size_t i = 0; i < copied; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (function.varargs) {
        collected->varargs =
            checked(PyTuple_GetSlice(args, static_cast<Py_ssize_t>(copied), static_cast<Py_ssize_t>(positional)));
    } else if (positional > function.positional_count) {
        too_many_positional(function, positional);
    }
    if (kwargs != nullptr) {
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        Py_ssize_t position = 0;
        // The keyword dictionary belongs to this call alone, so iterating it is safe.
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            bind_keyword(function, key, value, slots, collected);
        }
    }
    check_required(function, positional, slots);
}

}  // namespace torvan::binding
