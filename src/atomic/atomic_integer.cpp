// AtomicInteger: a lock-free 64-bit signed counter; every operation is one
// atomic instruction on a value that has a cache line to itself. Arithmetic
// wraps in two's complement.

#include "atomic/atomic_integer.hpp"

#include <cstddef>
#include <cstdint>
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

struct AtomicIntegerState {
    sync::IsolatedAtomic<std::int64_t, sizeof(PyObject)> counter;
};

struct AtomicIntegerClass : binding::ClassTraits {
    static constexpr const char* kName = "AtomicInteger";
    using State = AtomicIntegerState;
    static binding::ClassDefinition definition();
};
using Self = Instance<AtomicIntegerClass>;

static_assert(offsetof(Self, state) == sizeof(PyObject));
static_assert(sizeof(PyObject) + offsetof(AtomicIntegerState, counter.value) == 2 * sync::kCacheLine,
              "the counter sits at two cache lines in, alone in its line");

// Two's-complement wrapping arithmetic, without signed overflow.
constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
constexpr std::int64_t wrapping_negate(std::int64_t a) noexcept {
    return static_cast<std::int64_t>(std::uint64_t{0} - static_cast<std::uint64_t>(a));
}

std::atomic<std::int64_t>& value_of(Self& self) noexcept { return self.state.counter.value; }

AtomicIntegerState construct(std::int64_t value) {
    return AtomicIntegerState{sync::IsolatedAtomic<std::int64_t, sizeof(PyObject)>(value)};
}

std::int64_t get(Self& self, Text ordering) {
    return value_of(self).load(load_order(parse_ordering(ordering)));
}

void set(Self& self, std::int64_t value, Text ordering) {
    value_of(self).store(value, store_order(parse_ordering(ordering)));
}

std::int64_t fetch_add(Self& self, std::int64_t delta, Text ordering) {
    return value_of(self).fetch_add(delta, read_modify_write_order(parse_ordering(ordering)));
}

// The relaxed order the caller asked for: the count alone, nothing published.
std::int64_t fetch_add_relaxed(Self& self, std::int64_t delta) {
    return value_of(self).fetch_add(delta, std::memory_order_relaxed);
}

std::int64_t add_and_get(Self& self, std::int64_t delta, Text ordering) {
    return wrapping_add(fetch_add(self, delta, ordering), delta);
}

std::int64_t add_and_get_relaxed(Self& self, std::int64_t delta) {
    return wrapping_add(fetch_add_relaxed(self, delta), delta);
}

// Subtraction is addition of the negated delta.
std::int64_t fetch_sub(Self& self, std::int64_t delta, Text ordering) {
    return fetch_add(self, wrapping_negate(delta), ordering);
}
std::int64_t fetch_sub_relaxed(Self& self, std::int64_t delta) {
    return fetch_add_relaxed(self, wrapping_negate(delta));
}
std::int64_t sub_and_get(Self& self, std::int64_t delta, Text ordering) {
    return add_and_get(self, wrapping_negate(delta), ordering);
}
std::int64_t sub_and_get_relaxed(Self& self, std::int64_t delta) {
    return add_and_get_relaxed(self, wrapping_negate(delta));
}

std::int64_t increment(Self& self, Text ordering) { return add_and_get(self, 1, ordering); }

std::int64_t increment_relaxed(Self& self) { return add_and_get_relaxed(self, 1); }

std::int64_t decrement(Self& self, Text ordering) { return add_and_get(self, -1, ordering); }

std::int64_t decrement_relaxed(Self& self) { return add_and_get_relaxed(self, -1); }

std::int64_t get_and_set(Self& self, std::int64_t new_value, Text ordering) {
    return value_of(self).exchange(new_value, read_modify_write_order(parse_ordering(ordering)));
}

bool compare_and_set(Self& self, std::int64_t expected, std::int64_t new_value, Text ordering) {
    auto [success, failure] = compare_and_set_orders(parse_ordering(ordering));
    return value_of(self).compare_exchange_strong(expected, new_value, success, failure);
}

std::string repr(Self& self) { return "AtomicInteger(" + std::to_string(value_of(self).load()) + ")"; }

std::string str(Self& self) { return std::to_string(value_of(self).load()); }

// int(), operator.index() (so range(), slicing and %d take the counter) and
// truth, each one sequentially consistent load, as get() with no ordering.
std::int64_t load(Self& self) { return value_of(self).load(); }
bool nonzero(Self& self) { return value_of(self).load() != 0; }

constexpr const char* kClassDoc =
    "A thread-safe, lock-free 64-bit signed integer using CPU atomic operations.\n"
    "All methods use sequentially consistent ordering (SeqCst) by default, guaranteeing sequential consistency "
    "across all threads.\n"
    "Pass an optional `ordering=\"relaxed\"` argument, or use the shortcut methods such as `increment_relaxed()`, "
    "for maximum performance on ARM64.";

using binding::method;

binding::ClassDefinition AtomicIntegerClass::definition() {
    return {
        .doc = kClassDoc,
        .constructor = binding::constructor<AtomicIntegerClass, &construct, "value=0">(),
        .methods = {
            method<&get, "get", "ordering=None">("Load the current value atomically."),
            method<&set, "set", "value", "ordering=None">("Store a new value atomically."),
            method<&fetch_add, "fetch_add", "delta", "ordering=None">(
                "Atomically add delta to the value and return the OLD value."),
            method<&fetch_add_relaxed, "fetch_add_relaxed", "delta">("Fast-path relaxed fetch_add."),
            method<&add_and_get, "add_and_get", "delta", "ordering=None">(
                "Atomically add delta to the value and return the NEW value."),
            method<&add_and_get_relaxed, "add_and_get_relaxed", "delta">("Fast-path relaxed add_and_get."),
            method<&fetch_sub, "fetch_sub", "delta", "ordering=None">(
                "Atomically subtract delta from the value and return the OLD value."),
            method<&fetch_sub_relaxed, "fetch_sub_relaxed", "delta">("Fast-path relaxed fetch_sub."),
            method<&sub_and_get, "sub_and_get", "delta", "ordering=None">(
                "Atomically subtract delta from the value and return the NEW value."),
            method<&sub_and_get_relaxed, "sub_and_get_relaxed", "delta">("Fast-path relaxed sub_and_get."),
            method<&increment, "increment", "ordering=None">(
                "Atomically increment the value by 1 and return the NEW value."),
            method<&increment_relaxed, "increment_relaxed">("Fast-path relaxed increment."),
            method<&decrement, "decrement", "ordering=None">(
                "Atomically decrement the value by 1 and return the NEW value."),
            method<&decrement_relaxed, "decrement_relaxed">("Fast-path relaxed decrement."),
            method<&get_and_set, "get_and_set", "new_value", "ordering=None">(
                "Atomically swap the value with a new one and return the OLD value."),
            method<&compare_and_set, "compare_and_set", "expected", "new_value", "ordering=None">(
                "Atomically compare the current value to expected, and if equal, swap with new_value.\n"
                "Returns True if the swap succeeded, otherwise False."),
        },
        .slots = {
            binding::slot(Py_tp_repr, &binding::unary_entry<&repr>),
            binding::slot(Py_tp_str, &binding::unary_entry<&str>),
            binding::slot(Py_nb_int, &binding::unary_entry<&load>),
            binding::slot(Py_nb_index, &binding::unary_entry<&load>),
            binding::slot(Py_nb_bool, &binding::truth_entry<&nonzero>),
        },
    };
}

}  // namespace

PyTypeObject* atomic_integer_type() { return binding::TypeObject<AtomicIntegerClass>::for_registration(); }

}  // namespace torvan::atomic
