// AtomicBoolean: a lock-free flag shared between threads; load, store, swap
// and compare-and-set, each one atomic instruction with a named ordering.

#include "atomic/atomic_boolean.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/sync/cache_line.hpp"
#include "atomic/ordering.hpp"
#include "binding/methods.hpp"
#include "binding/type_object.hpp"

namespace torvan::atomic {

namespace {

using binding::describe;
using binding::describe_function;
using binding::FunctionDescription;
using binding::Instance;
using Text = std::optional<std::string_view>;

struct AtomicBooleanState {
    sync::IsolatedAtomic<bool, sizeof(PyObject)> flag;
};

struct AtomicBooleanClass : binding::ClassTraits {
    static constexpr const char* kName = "AtomicBoolean";
    using State = AtomicBooleanState;
    static binding::ClassDefinition definition();
};
using Self = Instance<AtomicBooleanClass>;

static_assert(sizeof(PyObject) + offsetof(AtomicBooleanState, flag.value) == 2 * sync::kCacheLine,
              "the flag sits two cache lines in, alone in its line");
static_assert(sizeof(std::atomic<bool>) == 1);

std::atomic<bool>& flag_of(Self& self) noexcept { return self.state.flag.value; }

AtomicBooleanState construct(binding::Defaulted<bool> value) {
    return AtomicBooleanState{sync::IsolatedAtomic<bool, sizeof(PyObject)>(value.value_or(false))};
}

bool get(Self& self, Text ordering) { return flag_of(self).load(load_order(parse_ordering(ordering))); }

void set(Self& self, bool value, Text ordering) {
    flag_of(self).store(value, store_order(parse_ordering(ordering)));
}

bool get_and_set(Self& self, bool new_value, Text ordering) {
    return flag_of(self).exchange(new_value, read_modify_write_order(parse_ordering(ordering)));
}

bool compare_and_set(Self& self, bool expected, bool new_value, Text ordering) {
    auto [success, failure] = compare_and_set_orders(parse_ordering(ordering));
    return flag_of(self).compare_exchange_strong(expected, new_value, success, failure);
}

std::string repr(Self& self) { return flag_of(self).load() ? "AtomicBoolean(True)" : "AtomicBoolean(False)"; }

std::string str(Self& self) { return flag_of(self).load() ? "True" : "False"; }

constexpr const char* kNewParams[] = {"value"};
constexpr const char* kOrderingParams[] = {"ordering"};
constexpr const char* kValueParams[] = {"value", "ordering"};
constexpr const char* kNewValueParams[] = {"new_value", "ordering"};
constexpr const char* kCompareParams[] = {"expected", "new_value", "ordering"};

constexpr FunctionDescription kNew = describe_function<&construct>("AtomicBoolean", "__new__", kNewParams);
constexpr FunctionDescription kGet = describe<&get>("AtomicBoolean", "get", kOrderingParams);
constexpr FunctionDescription kSet = describe<&set>("AtomicBoolean", "set", kValueParams);
constexpr FunctionDescription kGetAndSet = describe<&get_and_set>("AtomicBoolean", "get_and_set", kNewValueParams);
constexpr FunctionDescription kCompareAndSet =
    describe<&compare_and_set>("AtomicBoolean", "compare_and_set", kCompareParams);

constexpr const char* kClassDoc =
    "AtomicBoolean(value=False)\n--\n\n"
    "A thread-safe, lock-free boolean variable using CPU atomic operations.";

PyMethodDef g_methods[] = {
    binding::fastcall_def<&get, kGet>("get",
                                      "get($self, ordering=None)\n--\n\nLoad the current boolean value atomically."),
    binding::fastcall_def<&set, kSet>("set",
                                      "set($self, value, ordering=None)\n--\n\nStore a new boolean value atomically."),
    binding::fastcall_def<&get_and_set, kGetAndSet>(
        "get_and_set",
        "get_and_set($self, new_value, ordering=None)\n--\n\n"
        "Atomically swap the value with a new one and return the OLD value."),
    binding::fastcall_def<&compare_and_set, kCompareAndSet>(
        "compare_and_set",
        "compare_and_set($self, expected, new_value, ordering=None)\n--\n\n"
        "Atomically compare the current value to expected, and if equal, swap with new_value."),
    binding::end_of_methods(),
};

binding::ClassDefinition AtomicBooleanClass::definition() {
    return {
        .doc = kClassDoc,
        .methods = g_methods,
        .slots = {
            binding::slot(Py_tp_new, &binding::constructor_entry<AtomicBooleanClass, &construct, kNew>),
            binding::slot(Py_tp_repr, &binding::unary_entry<&repr>),
            binding::slot(Py_tp_str, &binding::unary_entry<&str>),
        },
    };
}

}  // namespace

PyTypeObject* atomic_boolean_type() { return binding::TypeObject<AtomicBooleanClass>::for_registration(); }

}  // namespace torvan::atomic
