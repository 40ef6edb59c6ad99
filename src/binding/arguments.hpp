#pragma once
// Argument binding: matching positional and keyword arguments to a function's
// parameters, with the module's fixed error messages.

#include <cstddef>
#include <string>
#include <string_view>

#include "binding/owned_ref.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

// What binding needs to know about a function: its names and parameters.
// The first `positional_count` parameters take positional arguments (the first
// `required` of them must be given), the rest only keywords.
struct FunctionDescription {
    const char* class_name;  // nullptr for module functions
    std::string_view name;
    const std::string_view* parameters;
    std::size_t parameter_count;
    std::size_t positional_count;
    std::size_t required;
    bool varargs;  // collects surplus positional arguments
    bool varkw;    // collects surplus keyword arguments

    // "<Class>.<name>()" for methods, "<name>()" for module functions.
    std::string full_name() const;
};

// Surplus arguments collected for *args and **kwargs. Released inline: for a
// method without them that is two tests for null, and left to itself the
// compiler calls out for it in some methods and not in others.
struct CollectedArguments {
    CollectedArguments() noexcept = default;
    CollectedArguments(const CollectedArguments&) = delete;
    CollectedArguments& operator=(const CollectedArguments&) = delete;
    [[gnu::always_inline]] ~CollectedArguments() {}

    OwnedRef varargs;  // a tuple when the function has *args
    OwnedRef varkw;    // a dict, or null when no surplus keyword was given
};

// Fill `slots` (one borrowed pointer per parameter, null when not given) from a
// vectorcall argument array.
void bind_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** slots, CollectedArguments* collected);

// The same from an argument tuple and keyword dictionary (either may be null).
void bind_tuple_dict(const FunctionDescription& function, PyObject* args, PyObject* kwargs, PyObject** slots,
                     CollectedArguments* collected);

}  // namespace torvan::binding
