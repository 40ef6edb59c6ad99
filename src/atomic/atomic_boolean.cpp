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

AtomicBooleanState construct(bool value) {
    return AtomicBooleanState{sync::IsolatedAtomic<bool, sizeof(PyObject)>(value)};
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

// `if flag:` reads the flag (sequentially consistent), as bool(flag.get()) would.
bool truth(Self& self) { return flag_of(self).load(); }

using binding::method;

binding::ClassDefinition AtomicBooleanClass::definition() {
    return {
        .doc = "A thread-safe, lock-free boolean variable using CPU atomic operations.",
        .constructor = binding::constructor<AtomicBooleanClass, &construct, "value=False">(),
        .methods = {
            method<&get, "get", "ordering=None">("Load the current boolean value atomically."),
            method<&set, "set", "value", "ordering=None">("Store a new boolean value atomically."),
            method<&get_and_set, "get_and_set", "new_value", "ordering=None">(
                "Atomically swap the value with a new one and return the OLD value."),
            method<&compare_and_set, "compare_and_set", "expected", "new_value", "ordering=None">(
                "Atomically compare the current value to expected, and if equal, swap with new_value."),
        },
        .slots = {
            binding::slot(Py_tp_repr, &binding::unary_entry<&repr>),
            binding::slot(Py_tp_str, &binding::unary_entry<&str>),
            binding::slot(Py_nb_bool, &binding::truth_entry<&truth>),
        },
    };
}

}  // namespace

PyTypeObject* atomic_boolean_type() { return binding::TypeObject<AtomicBooleanClass>::for_registration(); }

}  // namespace torvan::atomic
