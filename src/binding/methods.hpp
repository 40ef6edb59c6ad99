#pragma once
// Methods, constructors and module functions declared once. A class writes
// each method as a plain C++ body,
//
//   std::int64_t fetch_add(Instance<AtomicIntegerClass>& self, std::int64_t delta, Text ordering);
//
// and lists it in its method table with its name, its parameters in Python's
// notation and its docstring:
//
//   binding::method<&fetch_add, "fetch_add", "delta", "ordering=None">("Atomically add ..."),
//
// From that one line come the binding (the calling convention follows from
// the parameters), the parameter table with the class's name for the error
// messages, and the text signature "fetch_add($self, delta, ordering=None)",
// checked at compile time against the body's parameter types. The generated
// entry point binds the arguments, checks the owner thread, takes the borrow,
// converts the arguments in parameter order (adding the "while processing"
// note to a failure), runs the body and converts its result, all inside the
// boundary wrapper.
//
// Parameter types: std::int64_t, std::uint64_t, double, bool, std::string_view,
// Object, SequenceItems; std::optional<T> for "name=None"; a plain bool or
// integer with its default ("wait=True", "value=0"); Defaulted<T> for a
// default the body leaves to whoever it passes the argument on to; VarArgs
// for "*name" (named parameters after it are keyword-only) and VarKwargs for
// "**name", last. A "/" appears in the text signature only: binding still
// matches the parameters before it by keyword.
// Result types: void (None), bool, integers, double, std::string, OwnedRef,
// ReturnSelf (the object itself).

#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "binding/arguments.hpp"
#include "binding/boundary.hpp"
#include "binding/convert.hpp"
#include "binding/instance.hpp"
#include "binding/parameter_list.hpp"
#include "binding/small_ints.hpp"
#include "binding/type_object.hpp"

namespace torvan::binding {

struct ReturnSelf {};

enum class Borrow {
    Shared,     // the default: the body relies on the state's own synchronisation
    Exclusive,  // the body must run alone on the object
    Draining,   // the same, waiting for the shared borrows in progress (DrainingBorrow)
    Manual,     // the body takes (and drops) borrows itself
};

// A body declared with a borrow other than the shared one:
// method<exclusive<&shutdown>, "shutdown", ...>.
template <auto Body, Borrow Mode>
struct Borrowing {
    static constexpr auto body = Body;
    static constexpr Borrow mode = Mode;
};
template <auto Body>
inline constexpr Borrowing<Body, Borrow::Exclusive> exclusive{};
template <auto Body>
inline constexpr Borrowing<Body, Borrow::Draining> draining{};
template <auto Body>
inline constexpr Borrowing<Body, Borrow::Manual> manual{};

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

// The body and borrow of a declared method: &body, or exclusive<&body> and the like.
template <auto Declared>
struct DeclaredBody {
    static constexpr auto body = Declared;
    static constexpr Borrow mode = Borrow::Shared;
};
template <auto Declared>
    requires requires { decltype(Declared)::mode; }
struct DeclaredBody<Declared> : std::remove_cv_t<decltype(Declared)> {};

// Whether the C++ type of a parameter fits what its entry says.
template <class P>
constexpr bool fits(const ParameterText& text) {
    using Kind = ParameterText::Kind;
    if constexpr (std::is_same_v<P, VarArgs>) {
        return text.kind == Kind::VarArgs;
    } else if constexpr (std::is_same_v<P, VarKwargs>) {
        return text.kind == Kind::VarKwargs;
    } else if constexpr (IsOptional<P>::value) {
        return text.kind == Kind::Named && text.default_text == "None";
    } else if constexpr (IsDefaulted<P>::value) {
        return text.kind == Kind::Named && text.has_default();
    } else {
        return text.kind == Kind::Named && (!text.has_default() || is_default_of<P>(text.default_text));
    }
}

// How a function's parameters are bound: its description for binding and its
// text signature. `Owner` is the class (void for a module function); a method
// shows `$self` in its signature.
template <class Owner, class Params, bool Method, Literal Name, Literal... Pieces>
struct Declaration {
    using List = ParameterList<Pieces...>;
    static_assert(std::tuple_size_v<Params> == List::parameter_count, "one entry per parameter");
    static_assert([]<std::size_t... I>(std::index_sequence<I...>) {
        return (true && ... && fits<std::tuple_element_t<I, Params>>(List::parameters[I]));
    }(std::make_index_sequence<List::parameter_count>{}), "the parameter list matches the parameter types");

    static constexpr const char* class_name() {
        if constexpr (std::is_void_v<Owner>) {
            return nullptr;
        } else {
            return Owner::kName;
        }
    }

    static constexpr FunctionDescription description{
        class_name(),   Name.view(),   List::names.data(), List::named_count, List::positional_count,
        List::required, List::varargs, List::varkw,
    };
    static constexpr auto signature = List::template signature<Method>();

    // Where the argument for body parameter `index` is bound: the named
    // parameters take the slots in order.
    static constexpr std::size_t slot_of(std::size_t index) {
        std::size_t slot = 0;
        for (std::size_t i = 0; i < index; ++i) {
            slot += List::parameters[i].kind == ParameterText::Kind::Named ? 1 : 0;
        }
        return slot;
    }
};

template <class Decl, std::size_t I, class P>
P convert_one(PyObject** slots, CollectedArguments& collected) {
    if constexpr (std::is_same_v<P, VarArgs>) {
        return VarArgs{std::move(collected.varargs)};
    } else if constexpr (std::is_same_v<P, VarKwargs>) {
        return VarKwargs{std::move(collected.varkw)};
    } else {
        constexpr ParameterText text = Decl::List::parameters[I];
        constexpr std::size_t index = Decl::slot_of(I);
        PyObject* slot = slots[index];
        if constexpr (!IsOptional<P>::value && !IsDefaulted<P>::value && text.has_default()) {
            if (slot == nullptr) {
                constexpr P fallback = parse_default<P>(text.default_text);
                return fallback;
            }
        }
        return convert_parameter<P>(slot, text.name);
    }
}

// Braced initialisation converts strictly left to right, in parameter order.
// (A function without parameters leaves the arguments unused.)
template <class Decl, class Params, std::size_t... I>
Params convert_all([[maybe_unused]] PyObject** slots, [[maybe_unused]] CollectedArguments& collected,
                   std::index_sequence<I...>) {
    return Params{convert_one<Decl, I, std::tuple_element_t<I, Params>>(slots, collected)...};
}
template <class Decl, class Params>
Params convert_all(PyObject** slots, CollectedArguments& collected) {
    return convert_all<Decl, Params>(slots, collected, std::make_index_sequence<std::tuple_size_v<Params>>{});
}

template <class R, class Call>
PyObject* finish(PyObject* self, Call&& call) {
    if constexpr (std::is_void_v<R>) {
        call();
        return none_result();
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
using BorrowGuard = std::conditional_t<
    Mode == Borrow::Shared, SharedBorrowOf<Class>,
    std::conditional_t<Mode == Borrow::Exclusive, ExclusiveBorrowOf<Class>,
                       std::conditional_t<Mode == Borrow::Draining, DrainingBorrowOf<Class>, NoBorrow>>>;

// Runs a method body on `self` under its borrow and returns its native
// result; `arguments` converts the arguments once the borrow is held and
// returns them as a tuple.
template <auto Body, Borrow Mode, class Arguments>
auto run_method(PyObject* self, Arguments&& arguments) -> typename BodyTraits<decltype(Body)>::Result {
    using Class = typename BodyTraits<decltype(Body)>::Owner;
    auto& instance = *Instance<Class>::from(self);
    check_owner_thread(instance);
    BorrowGuard<Mode, Class> borrow(instance);
    auto converted = arguments();
    return std::apply([&](auto&&... args) { return Body(instance, std::forward<decltype(args)>(args)...); },
                      std::move(converted));
}

// A native result whose conversion cannot raise a C++ exception (a failed
// one returns null with the interpreter's error set) is converted after the
// boundary: the conversion is then the entry's last call, made as a jump.
template <class R>
struct ResultAfter {
    static constexpr bool kApplies = false;
};
template <>
struct ResultAfter<void> {
    static constexpr bool kApplies = true;
    template <class Run>
    void run(Run& body) { body(); }
    PyObject* to_python(PyObject*) noexcept { return none_result(); }
};
template <>
struct ResultAfter<ReturnSelf> {
    static constexpr bool kApplies = true;
    template <class Run>
    void run(Run& body) { body(); }
    PyObject* to_python(PyObject* self) noexcept { return Py_NewRef(self); }
};
template <class Native, PyObject* (*Convert)(Native) noexcept>
struct ResultValue {
    static constexpr bool kApplies = true;
    Native value{};
    template <class Run>
    void run(Run& body) { value = body(); }
    PyObject* to_python(PyObject*) noexcept { return Convert(std::move(value)); }
};
inline PyObject* int64_to_python(std::int64_t value) noexcept { return int_to_python(value); }
inline PyObject* uint64_to_python(std::uint64_t value) noexcept { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* double_to_python(double value) noexcept { return PyFloat_FromDouble(value); }
inline PyObject* bool_to_python(bool value) noexcept { return to_python(value); }
inline PyObject* owned_to_python(OwnedRef value) noexcept { return value.release(); }
template <>
struct ResultAfter<std::int64_t> : ResultValue<std::int64_t, &int64_to_python> {};
template <>
struct ResultAfter<std::uint64_t> : ResultValue<std::uint64_t, &uint64_to_python> {};
template <>
struct ResultAfter<double> : ResultValue<double, &double_to_python> {};
template <>
struct ResultAfter<bool> : ResultValue<bool, &bool_to_python> {};
template <>
struct ResultAfter<OwnedRef> : ResultValue<OwnedRef, &owned_to_python> {};

// The boundary, or with kDrained the boundary of an entry that has checked
// that no deferred release is pending.
template <bool kDrained, class R, class Body>
R boundary(R error_value, Body&& body) noexcept {
    if constexpr (kDrained) {
        return at_boundary_drained<R>(error_value, body);
    } else {
        return at_boundary<R>(error_value, body);
    }
}

// Runs `body` (which returns the native result R) inside the boundary and
// returns the converted result, or null with the error set.
template <class R, bool kDrained = false, class Body>
PyObject* complete_at_boundary(PyObject* self, Body&& body) noexcept {
    if constexpr (ResultAfter<R>::kApplies) {
        ResultAfter<R> result;
        if (!boundary<kDrained, bool>(false, [&] {
                result.run(body);
                return true;
            })) {
            return nullptr;
        }
        return result.to_python(self);
    } else {
        return boundary<kDrained, PyObject*>(nullptr, [&]() -> PyObject* { return finish<R>(self, body); });
    }
}

// A method body called on `self` with the arguments `arguments` converts.
template <auto Body, Borrow Mode, bool kDrained = false, class Arguments>
PyObject* call_method(PyObject* self, Arguments&& arguments) noexcept {
    return complete_at_boundary<typename BodyTraits<decltype(Body)>::Result, kDrained>(
        self, [&] { return run_method<Body, Mode>(self, arguments); });
}

// One argument of a vectorcall. The interpreter has just stored the
// arguments one by one; left to itself, the compiler reads two neighbours
// with one wide load, which those narrower stores cannot serve, so the load
// waits until they reach the cache (half the time of a map's set went there).
inline PyObject* argument_at(PyObject* const* args, std::size_t index) noexcept {
    PyObject* argument = args[index];
    asm("" : "+r"(argument));  // a value of its own: no load is merged with it
    return argument;
}

// A call with `Given` positional arguments and no keywords, for a function
// without *args or **kwargs: each parameter is the argument in its place or,
// past the given ones, its default, all settled at compile time.
template <class Decl, std::size_t I, std::size_t Given, class P>
P convert_given(PyObject* const* args) {
    constexpr ParameterText text = Decl::List::parameters[I];
    if constexpr (I < Given) {
        return convert_parameter<P>(argument_at(args, I), text.name);
    } else if constexpr (IsOptional<P>::value || IsDefaulted<P>::value) {
        return P{};
    } else {
        static_assert(text.has_default(), "a missing argument has a default");
        constexpr P fallback = parse_default<P>(text.default_text);
        return fallback;
    }
}
template <class Decl, class Params, std::size_t Given, std::size_t... I>
Params convert_given_all([[maybe_unused]] PyObject* const* args, std::index_sequence<I...>) {
    return Params{convert_given<Decl, I, Given, std::tuple_element_t<I, Params>>(args)...};
}

// The common call (positional arguments only, within the parameter count)
// binds inline; anything else takes the general path with its messages.
inline void bind_fastcall_inline(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames, PyObject** slots, CollectedArguments* collected) {
    auto positional = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
    if (kwnames == nullptr && !function.varargs && positional >= function.required &&
        positional <= function.positional_count) [[likely]] {
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

// The docstring in CPython's internal form, "<name><signature>\n--\n\n<doc>",
// built once per declaration and kept for the life of the process.
template <class Decl>
const char* docstring(std::string_view name, const char* doc) {
    static const std::string text = std::string(name) + Decl::signature.data() + "\n--\n\n" + doc;
    return text.c_str();
}

}  // namespace detail

namespace detail {

// Inside the boundary: binds the arguments into slots with `bind`, then hands
// `call` the conversion of the bound arguments to the body's parameters.
template <class Decl, class Params, class Bind, class Call>
PyObject* bound_call(Bind&& bind, Call&& call) noexcept {
    return at_boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        PyObject* slots[std::tuple_size_v<Params> + 1] = {};
        CollectedArguments collected;
        bind(slots, &collected);
        return call([&] { return convert_all<Decl, Params>(slots, collected); });
    });
}

// The same for a method body on `self`.
template <auto Body, class Decl, Borrow Mode, class Bind>
PyObject* bound_method_call(PyObject* self, Bind&& bind) noexcept {
    using Traits = BodyTraits<decltype(Body)>;
    return complete_at_boundary<typename Traits::Result>(self, [&] {
        PyObject* slots[std::tuple_size_v<typename Traits::Params> + 1] = {};
        CollectedArguments collected;
        bind(slots, &collected);
        return run_method<Body, Mode>(self, [&] { return convert_all<Decl, typename Traits::Params>(slots, collected); });
    });
}

}  // namespace detail

// Entry points ---------------------------------------------------------------

namespace detail {

// Any call of a fast method: binding with every rule and message.
template <auto Body, class Decl, Borrow Mode>
[[gnu::noinline]] PyObject* fastcall_general(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) noexcept {
    return bound_method_call<Body, Decl, Mode>(self, [&](PyObject** slots, CollectedArguments* collected) {
        bind_fastcall(Decl::description, args, nargs, kwnames, slots, collected);
    });
}

// A call of a fast method with `Given` positional arguments, no keywords.
template <auto Body, class Decl, Borrow Mode, std::size_t Given, bool kDrained>
PyObject* fastcall_given(PyObject* self, PyObject* const* args) noexcept {
    using Params = typename BodyTraits<decltype(Body)>::Params;
    return call_method<Body, Mode, kDrained>(self, [&] {
        return convert_given_all<Decl, Params, Given>(args, std::make_index_sequence<std::tuple_size_v<Params>>{});
    });
}

// Whether a fast method can take the path above: no *args, no **kwargs.
template <class Decl>
inline constexpr bool kBindsByPlace = !Decl::List::varargs && !Decl::List::varkw;

// Every call but the one with exactly the required arguments while no
// deferred release is pending: out of line, so that the entry keeps the frame
// (often none) of that most common call.
template <auto Body, class Decl, Borrow Mode, std::size_t... Extra>
[[gnu::noinline]] PyObject* fastcall_other(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames, std::index_sequence<Extra...>) noexcept {
    constexpr std::size_t kRequired = Decl::List::required;
    if (kwnames == nullptr) {
        auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
        PyObject* result = nullptr;
        if (((given == kRequired + Extra &&
              (result = fastcall_given<Body, Decl, Mode, kRequired + Extra, false>(self, args), true)) ||
             ...)) {
            return result;
        }
    }
    return fastcall_general<Body, Decl, Mode>(self, args, nargs, kwnames);
}

template <auto Body, Borrow Mode>
[[gnu::noinline]] PyObject* noargs_draining(PyObject* self) noexcept {
    return call_method<Body, Mode>(self, [] { return std::tuple<>{}; });
}

}  // namespace detail

// A fast method. The calls that name no keyword and give a count of
// positional arguments the method takes (nearly all calls) are bound by
// place, each count by code of its own; any other goes through the general
// binding, out of line.
template <auto Body, class Decl, Borrow Mode>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if constexpr (detail::kBindsByPlace<Decl>) {
        using List = typename Decl::List;
        if (kwnames == nullptr && static_cast<std::size_t>(PyVectorcall_NARGS(nargs)) == List::required &&
            !deferred_releases_pending()) [[likely]] {
            return detail::fastcall_given<Body, Decl, Mode, List::required, true>(self, args);
        }
        return detail::fastcall_other<Body, Decl, Mode>(
            self, args, nargs, kwnames, std::make_index_sequence<List::positional_count - List::required + 1>{});
    } else {
        return detail::fastcall_general<Body, Decl, Mode>(self, args, nargs, kwnames);
    }
}

template <auto Body, class Decl, Borrow Mode>
PyObject* tuple_dict_entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    return detail::bound_method_call<Body, Decl, Mode>(self, [&](PyObject** slots, CollectedArguments* collected) {
        bind_tuple_dict(Decl::description, args, kwargs, slots, collected);
    });
}

template <auto Body, Borrow Mode = Borrow::Shared>
PyObject* noargs_entry(PyObject* self, PyObject*) noexcept {
    if (deferred_releases_pending()) [[unlikely]] {
        return detail::noargs_draining<Body, Mode>(self);
    }
    return detail::call_method<Body, Mode, true>(self, [] { return std::tuple<>{}; });
}

// A module function with the fast calling convention (no self).
template <auto Body, class Decl>
PyObject* function_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using Traits = detail::FunctionTraits<decltype(Body)>;
    return detail::bound_call<Decl, typename Traits::Params>(
        [&](PyObject** slots, CollectedArguments* collected) {
            detail::bind_fastcall_inline(Decl::description, args, nargs, kwnames, slots, collected);
        },
        [&](auto convert) {
            return detail::finish<typename Traits::Result>(nullptr, [&] { return std::apply(Body, convert()); });
        });
}

// __new__: converts every argument before anything is allocated, lets the body
// build the native state, then allocates the instance of the requested type.
// A class that must know its new instances defines
//   static void created(PyObject* object);
template <class Class, auto Body, class Decl>
PyObject* constructor_entry(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return detail::bound_call<Decl, typename detail::FunctionTraits<decltype(Body)>::Params>(
        [&](PyObject** slots, CollectedArguments* collected) {
            bind_tuple_dict(Decl::description, args, kwargs, slots, collected);
        },
        [&](auto convert) {
            typename Class::State state = std::apply(Body, convert());
            OwnedRef object = create_instance<Class>(type, std::move(state));
            if constexpr (requires(PyObject* created) { Class::created(created); }) {
                Class::created(object.get());  // on failure the object is released, and destroyed like any other
            }
            return object.release();
        });
}

// Slots taking only self: tp_repr, tp_str, tp_iter, nb_int, nb_index, and getters.
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

// nb_bool.
template <auto Body>
int truth_entry(PyObject* self) noexcept {
    return at_boundary<int>(-1, [&]() -> int {
        using Class = typename detail::BodyTraits<decltype(Body)>::Owner;
        auto& instance = *Instance<Class>::from(self);
        check_owner_thread(instance);
        SharedBorrowOf<Class> borrow(instance);
        return Body(instance) ? 1 : 0;
    });
}

// Declarations ---------------------------------------------------------------

// A method: its body (or exclusive<&body>, manual<&body>), name and parameters.
// A body without parameters takes no arguments, one with "*name" an argument
// tuple, any other the fast calling convention.
template <auto Body, Literal Name, Literal... Pieces>
PyMethodDef method(const char* doc) {
    constexpr auto body = detail::DeclaredBody<Body>::body;
    constexpr Borrow mode = detail::DeclaredBody<Body>::mode;
    using Traits = detail::BodyTraits<std::remove_const_t<decltype(body)>>;
    using Decl = detail::Declaration<typename Traits::Owner, typename Traits::Params, true, Name, Pieces...>;
    const char* text = detail::docstring<Decl>(Name.view(), doc);
    if constexpr (Decl::List::parameter_count == 0) {
        return {Name.text, detail::as_cfunction(&noargs_entry<body, mode>), METH_NOARGS, text};
    } else if constexpr (Decl::List::varargs) {
        return {Name.text, detail::as_cfunction(&tuple_dict_entry<body, Decl, mode>), METH_VARARGS | METH_KEYWORDS,
                text};
    } else {
        return {Name.text, detail::as_cfunction(&fastcall_entry<body, Decl, mode>), METH_FASTCALL | METH_KEYWORDS,
                text};
    }
}

// A module function.
template <auto Body, Literal Name, Literal... Pieces>
PyMethodDef function(const char* doc) {
    using Decl =
        detail::Declaration<void, typename detail::FunctionTraits<decltype(Body)>::Params, false, Name, Pieces...>;
    return {Name.text, detail::as_cfunction(&function_entry<Body, Decl>), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
            detail::docstring<Decl>(Name.view(), doc)};
}

// A class's constructor: its body builds the native state from the arguments.
template <class Class, auto Body, Literal... Pieces>
ConstructorDefinition constructor() {
    using Decl =
        detail::Declaration<Class, typename detail::FunctionTraits<decltype(Body)>::Params, false, "__new__",
                            Pieces...>;
    return {&constructor_entry<Class, Body, Decl>, Decl::signature.data()};
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

}  // namespace torvan::binding
