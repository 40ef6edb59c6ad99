#pragma once
// Entry points generated from plain C++ bodies. A class writes each method as
//
//   std::int64_t fetch_add(AtomicIntegerObject& self, std::int64_t delta, std::optional<std::string_view> ordering);
//
// declares its parameter names once,
//
//   constexpr const char* kFetchAddParams[] = {"delta", "ordering"};
//   constexpr FunctionDescription kFetchAdd = describe<&fetch_add>("AtomicInteger", "fetch_add", kFetchAddParams);
//
// and lists it in its method table with fastcall_def<&fetch_add, kFetchAdd>(name, doc). The generated
// entry point binds the arguments, checks the owner thread, takes the borrow,
// converts the arguments in parameter order (adding the "while processing"
// note to a failure), runs the body and converts its result, all inside the
// boundary wrapper.
//
// Parameter types: std::int64_t, std::uint64_t, double, bool, std::string_view,
// Object, SequenceItems; std::optional<T> for a parameter that defaults to None;
// Defaulted<T> for one with another default; VarArgs and VarKwargs last.
// Result types: void (None), bool, integers, double, std::string, OwnedRef,
// ReturnSelf (the object itself).

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/instance.hpp"

namespace torvan::binding {

struct ReturnSelf {};

enum class Borrow {
    Shared,     // the default: the body relies on the state's own synchronisation
    Exclusive,  // the body must run alone on the object
    Manual,     // the body takes (and drops) borrows itself
};

namespace detail {

template <class F>
struct BodyTraits;
template <class R, class Class, class... P>
struct BodyTraits<R (*)(Instance<Class>&, P...)> {
    using Result = R;
    using Owner = Class;
    using Params = std::tuple<P...>;
};
template <class F>
struct FunctionTraits;
template <class R, class... P>
struct FunctionTraits<R (*)(P...)> {
    using Result = R;
    using Params = std::tuple<P...>;
};

template <class P>
inline constexpr bool is_collector = std::is_same_v<P, VarArgs> || std::is_same_v<P, VarKwargs>;

template <class Tuple>
struct ParamInfo;
template <class... P>
struct ParamInfo<std::tuple<P...>> {
    static constexpr std::size_t all = sizeof...(P);
    static constexpr std::size_t named = (std::size_t{0} + ... + (is_collector<P> ? 0 : 1));
    static constexpr bool varargs = (false || ... || std::is_same_v<P, VarArgs>);
    static constexpr bool varkw = (false || ... || std::is_same_v<P, VarKwargs>);
    static constexpr std::size_t required() {
        constexpr bool optional[] = {false, (is_optional_parameter<P> || is_collector<P>)...};
        std::size_t count = 0;
        while (count < sizeof...(P) && !optional[count + 1]) {
            ++count;
        }
        return count;
    }
};

template <class P>
P convert_one(const FunctionDescription& function, PyObject** slots, CollectedArguments& collected,
              std::size_t index) {
    if constexpr (std::is_same_v<P, VarArgs>) {
        return VarArgs{std::move(collected.varargs)};
    } else if constexpr (std::is_same_v<P, VarKwargs>) {
        return VarKwargs{std::move(collected.varkw)};
    } else {
        return convert_parameter<P>(slots[index], function.parameters[index]);
    }
}

// Braced initialisation converts strictly left to right, in parameter order.
// (A function without parameters leaves the arguments unused.)
template <class Params, std::size_t... I>
Params convert_all([[maybe_unused]] const FunctionDescription& function, [[maybe_unused]] PyObject** slots,
                   [[maybe_unused]] CollectedArguments& collected, std::index_sequence<I...>) {
    return Params{convert_one<std::tuple_element_t<I, Params>>(function, slots, collected, I)...};
}

template <class R, class Call>
PyObject* finish(PyObject* self, Call&& call) {
    if constexpr (std::is_void_v<R>) {
        call();
        return Py_NewRef(Py_None);
    } else if constexpr (std::is_same_v<R, ReturnSelf>) {
        call();
        return Py_NewRef(self);
    } else {
        return to_python(call());
    }
}

struct NoBorrow {
    template <class Class>
    explicit NoBorrow(Instance<Class>&) noexcept {}
};
template <Borrow Mode, class Class>
using BorrowGuard = std::conditional_t<Mode == Borrow::Shared, SharedBorrowOf<Class>,
                                       std::conditional_t<Mode == Borrow::Exclusive, ExclusiveBorrowOf<Class>, NoBorrow>>;

template <auto Body, Borrow Mode, class Params>
PyObject* bind_and_call(PyObject* self, const FunctionDescription& function, PyObject** slots,
                        CollectedArguments& collected) {
    using Traits = BodyTraits<decltype(Body)>;
    using Class = typename Traits::Owner;
    auto& instance = *Instance<Class>::from(self);
    check_owner_thread(instance);
    BorrowGuard<Mode, Class> borrow(instance);
    auto converted = convert_all<Params>(function, slots, collected,
                                         std::make_index_sequence<std::tuple_size_v<Params>>{});
    return finish<typename Traits::Result>(self, [&] {
        return std::apply([&](auto&&... args) { return Body(instance, std::forward<decltype(args)>(args)...); },
                          std::move(converted));
    });
}

// The common call (positional arguments only, within the parameter count)
// binds inline; anything else takes the general path with its messages.
inline void bind_fastcall_inline(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, PyObject** slots, CollectedArguments* collected) {
    auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    if (kwnames == nullptr && !function.varargs && positional >= function.required &&
        positional <= function.parameter_count) [[likely]] {
        for (std::size_t i = 0; i < positional; ++i) {
            slots[i] = args[i];
        }
        return;
    }
    bind_fastcall(function, args, nargs, kwnames, slots, collected);
}

template <class Fn>
PyCFunction as_cfunction(Fn function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace detail

namespace detail {
template <class Params, std::size_t N>
constexpr FunctionDescription describe_params(const char* class_name, const char* name, const char* const* parameters) {
    using Info = ParamInfo<Params>;
    static_assert(Info::named == N, "one name per parameter");
    return FunctionDescription{class_name, name, parameters, N, Info::required(), Info::varargs, Info::varkw};
}
}  // namespace detail

// The binding description of a method, its parameter names given once; how
// many are required follows from the body's parameter types.
template <auto Body, std::size_t N>
constexpr FunctionDescription describe(const char* class_name, const char* name, const char* const (&parameters)[N]) {
    return detail::describe_params<typename detail::BodyTraits<decltype(Body)>::Params, N>(class_name, name,
                                                                                          parameters);
}
template <auto Body>
constexpr FunctionDescription describe(const char* class_name, const char* name) {
    return detail::describe_params<typename detail::BodyTraits<decltype(Body)>::Params, 0>(class_name, name, nullptr);
}

// The same for a constructor (class_name set, name "__new__") or a module
// function (class_name null): bodies without self.
template <auto Body, std::size_t N>
constexpr FunctionDescription describe_function(const char* class_name, const char* name,
                                                const char* const (&parameters)[N]) {
    return detail::describe_params<typename detail::FunctionTraits<decltype(Body)>::Params, N>(class_name, name,
                                                                                              parameters);
}
template <auto Body>
constexpr FunctionDescription describe_function(const char* class_name, const char* name) {
    return detail::describe_params<typename detail::FunctionTraits<decltype(Body)>::Params, 0>(class_name, name,
                                                                                              nullptr);
}

// Entry points ---------------------------------------------------------------

template <auto Body, const FunctionDescription& Function, Borrow Mode = Borrow::Shared>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        using Params = typename detail::BodyTraits<decltype(Body)>::Params;
        PyObject* slots[std::tuple_size_v<Params> + 1] = {};
        CollectedArguments collected;
        detail::bind_fastcall_inline(Function, args, nargs, kwnames, slots, &collected);
        return detail::bind_and_call<Body, Mode, Params>(self, Function, slots, collected);
    });
}

template <auto Body, const FunctionDescription& Function, Borrow Mode = Borrow::Shared>
PyObject* tuple_dict_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        using Params = typename detail::BodyTraits<decltype(Body)>::Params;
        PyObject* slots[std::tuple_size_v<Params> + 1] = {};
        CollectedArguments collected;
        bind_tuple_dict(Function, args, kwargs, slots, &collected);
        return detail::bind_and_call<Body, Mode, Params>(self, Function, slots, collected);
    });
}

template <auto Body, Borrow Mode = Borrow::Shared>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        using Traits = detail::BodyTraits<decltype(Body)>;
        using Class = typename Traits::Owner;
        auto& instance = *Instance<Class>::from(self);
        check_owner_thread(instance);
        detail::BorrowGuard<Mode, Class> borrow(instance);
        return detail::finish<typename Traits::Result>(self, [&] { return Body(instance); });
    });
}

// A module function with the fast calling convention (no self).
template <auto Body, const FunctionDescription& Function>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        using Traits = detail::FunctionTraits<decltype(Body)>;
        using Params = typename Traits::Params;
        PyObject* slots[std::tuple_size_v<Params> + 1] = {};
        CollectedArguments collected;
        detail::bind_fastcall_inline(Function, args, nargs, kwnames, slots, &collected);
        auto converted = detail::convert_all<Params>(Function, slots, collected,
                                                     std::make_index_sequence<std::tuple_size_v<Params>>{});
        return detail::finish<typename Traits::Result>(nullptr, [&] { return std::apply(Body, std::move(converted)); });
    });
}

// __new__: converts every argument before anything is allocated, lets the body
// build the native state, then allocates the instance of the requested type.
template <class Class, auto Body, const FunctionDescription& Function>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        using Params = typename detail::FunctionTraits<decltype(Body)>::Params;
        PyObject* slots[std::tuple_size_v<Params> + 1] = {};
        CollectedArguments collected;
        bind_tuple_dict(Function, args, kwargs, slots, &collected);
        auto converted = detail::convert_all<Params>(Function, slots, collected,
                                                     std::make_index_sequence<std::tuple_size_v<Params>>{});
        typename Class::State state = std::apply(Body, std::move(converted));
        return create_instance<Class>(type, std::move(state)).release();
    });
}

// Slots taking only self: tp_repr, tp_str, tp_iter, and getters.
template <auto Body>
PyObject* unary_entry(PyObject* self) noexcept {
    return noargs_entry<Body>(self, nullptr);
}
template <auto Body>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return noargs_entry<Body>(self, nullptr);
}

// tp_iternext: the body returns a null OwnedRef, without an error, at the end.
template <auto Body>
PyObject* iternext_entry(PyObject* self) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        using Class = typename detail::BodyTraits<decltype(Body)>::Owner;
        auto& instance = *Instance<Class>::from(self);
        check_owner_thread(instance);
        SharedBorrowOf<Class> borrow(instance);
        return Body(instance).release();
    });
}

// mp_length.
template <auto Body>
Py_ssize_t length_entry(PyObject* self) noexcept {
    return at_boundary<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
        using Class = typename detail::BodyTraits<decltype(Body)>::Owner;
        auto& instance = *Instance<Class>::from(self);
        check_owner_thread(instance);
        SharedBorrowOf<Class> borrow(instance);
        return Body(instance);
    });
}

// Method table entries -------------------------------------------------------

template <auto Body, const FunctionDescription& Function, Borrow Mode = Borrow::Shared>
PyMethodDef fastcall_def(const char* name, const char* doc) {
    return {name, detail::as_cfunction(&fastcall_entry<Body, Function, Mode>), METH_FASTCALL | METH_KEYWORDS, doc};
}
template <auto Body, const FunctionDescription& Function, Borrow Mode = Borrow::Shared>
PyMethodDef tuple_dict_def(const char* name, const char* doc) {
    return {name, detail::as_cfunction(&tuple_dict_entry<Body, Function, Mode>), METH_VARARGS | METH_KEYWORDS, doc};
}
template <auto Body, Borrow Mode = Borrow::Shared>
PyMethodDef noargs_def(const char* name, const char* doc) {
    return {name, detail::as_cfunction(&noargs_entry<Body, Mode>), METH_NOARGS, doc};
}
template <auto Body, const FunctionDescription& Function>
PyMethodDef function_def(const char* name, const char* doc) {
    return {name, detail::as_cfunction(&function_entry<Body, Function>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
            doc};
}
template <auto Body>
PyGetSetDef getter_def(const char* name, const char* doc = nullptr) {
    return {name, &getter_entry<Body>, nullptr, doc, nullptr};
}
// Class[T] gives a types.GenericAlias, as for the standard containers, so
// annotations can name the item types.
inline PyObject* class_getitem_entry(PyObject* cls, PyObject* item) noexcept {
    return at_boundary<PyObject*>(nullptr, [&] { return checked(Py_GenericAlias(cls, item)).release(); });
}
inline PyMethodDef class_getitem_def() {
    return {"__class_getitem__", &class_getitem_entry, METH_O | METH_CLASS,
            "__class_getitem__($cls, item, /)\n--\n\nSee PEP 585"};
}
inline PyMethodDef end_of_methods() { return {nullptr, nullptr, 0, nullptr}; }
inline PyGetSetDef end_of_getset() { return {nullptr, nullptr, nullptr, nullptr, nullptr}; }

}  // namespace torvan::binding
