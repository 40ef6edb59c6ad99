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

using binding::describe;
using binding::describe_function;
using binding::FunctionDescription;
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
constexpr std::int64_t wrapping_sub(std::int64_t a, std::int64_t b) noexcept {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

std::atomic<std::int64_t>& value_of(Self& self) noexcept { return self.state.counter.value; }

AtomicIntegerState construct(binding::Defaulted<std::int64_t> value) {
    return AtomicIntegerState{sync::IsolatedAtomic<std::int64_t, sizeof(PyObject)>(value.value_or(0))};
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

std::int64_t fetch_add_relaxed(Self& self, std::int64_t delta) {
    return value_of(self).fetch_add(delta, std::memory_order_relaxed);
}

std::int64_t add_and_get(Self& self, std::int64_t delta, Text ordering) {
    return wrapping_add(fetch_add(self, delta, ordering), delta);
}

std::int64_t add_and_get_relaxed(Self& self, std::int64_t delta) {
    return wrapping_add(fetch_add_relaxed(self, delta), delta);
}

std::int64_t fetch_sub(Self& self, std::int64_t delta, Text ordering) {
    return value_of(self).fetch_sub(delta, read_modify_write_order(parse_ordering(ordering)));
}

std::int64_t fetch_sub_relaxed(Self& self, std::int64_t delta) {
    return value_of(self).fetch_sub(delta, std::memory_order_relaxed);
}

std::int64_t sub_and_get(Self& self, std::int64_t delta, Text ordering) {
    return wrapping_sub(fetch_sub(self, delta, ordering), delta);
}

std::int64_t sub_and_get_relaxed(Self& self, std::int64_t delta) {
    return wrapping_sub(fetch_sub_relaxed(self, delta), delta);
}

std::int64_t increment(Self& self, Text ordering) { return add_and_get(self, 1, ordering); }

std::int64_t increment_relaxed(Self& self) { return wrapping_add(fetch_add_relaxed(self, 1), 1); }

std::int64_t decrement(Self& self, Text ordering) { return sub_and_get(self, 1, ordering); }

std::int64_t decrement_relaxed(Self& self) { return wrapping_sub(fetch_sub_relaxed(self, 1), 1); }

std::int64_t get_and_set(Self& self, std::int64_t new_value, Text ordering) {
    return value_of(self).exchange(new_value, read_modify_write_order(parse_ordering(ordering)));
}

bool compare_and_set(Self& self, std::int64_t expected, std::int64_t new_value, Text ordering) {
    auto [success, failure] = compare_and_set_orders(parse_ordering(ordering));
    return value_of(self).compare_exchange_strong(expected, new_value, success, failure);
}

std::string repr(Self& self) { return "AtomicInteger(" + std::to_string(value_of(self).load()) + ")"; }

std::string str(Self& self) { return std::to_string(value_of(self).load()); }

constexpr const char* kNewParams[] = {"value"};
constexpr const char* kOrderingParams[] = {"ordering"};
constexpr const char* kValueParams[] = {"value", "ordering"};
constexpr const char* kDeltaParams[] = {"delta", "ordering"};
constexpr const char* kDeltaOnlyParams[] = {"delta"};
constexpr const char* kNewValueParams[] = {"new_value", "ordering"};
constexpr const char* kCompareParams[] = {"expected", "new_value", "ordering"};

constexpr FunctionDescription kNew = describe_function<&construct>("AtomicInteger", "__new__", kNewParams);
constexpr FunctionDescription kGet = describe<&get>("AtomicInteger", "get", kOrderingParams);
constexpr FunctionDescription kSet = describe<&set>("AtomicInteger", "set", kValueParams);
constexpr FunctionDescription kFetchAdd = describe<&fetch_add>("AtomicInteger", "fetch_add", kDeltaParams);
constexpr FunctionDescription kFetchAddRelaxed =
    describe<&fetch_add_relaxed>("AtomicInteger", "fetch_add_relaxed", kDeltaOnlyParams);
constexpr FunctionDescription kAddAndGet = describe<&add_and_get>("AtomicInteger", "add_and_get", kDeltaParams);
constexpr FunctionDescription kAddAndGetRelaxed =
    describe<&add_and_get_relaxed>("AtomicInteger", "add_and_get_relaxed", kDeltaOnlyParams);
constexpr FunctionDescription kFetchSub = describe<&fetch_sub>("AtomicInteger", "fetch_sub", kDeltaParams);
constexpr FunctionDescription kFetchSubRelaxed =
    describe<&fetch_sub_relaxed>("AtomicInteger", "fetch_sub_relaxed", kDeltaOnlyParams);
constexpr FunctionDescription kSubAndGet = describe<&sub_and_get>("AtomicInteger", "sub_and_get", kDeltaParams);
constexpr FunctionDescription kSubAndGetRelaxed =
    describe<&sub_and_get_relaxed>("AtomicInteger", "sub_and_get_relaxed", kDeltaOnlyParams);
constexpr FunctionDescription kIncrement = describe<&increment>("AtomicInteger", "increment", kOrderingParams);
constexpr FunctionDescription kDecrement = describe<&decrement>("AtomicInteger", "decrement", kOrderingParams);
constexpr FunctionDescription kGetAndSet = describe<&get_and_set>("AtomicInteger", "get_and_set", kNewValueParams);
constexpr FunctionDescription kCompareAndSet =
    describe<&compare_and_set>("AtomicInteger", "compare_and_set", kCompareParams);

constexpr const char* kClassDoc =
    "AtomicInteger(value=0)\n--\n\n"
    "A thread-safe, lock-free 64-bit signed integer using CPU atomic operations.\n"
    "All methods use sequentially consistent ordering (SeqCst) by default, guaranteeing sequential consistency "
    "across all threads.\n"
    "Pass an optional `ordering=\"relaxed\"` argument, or use the shortcut methods such as `increment_relaxed()`, "
    "for maximum performance on ARM64.";

PyMethodDef g_methods[] = {
    binding::fastcall_def<&get, kGet>("get", "get($self, ordering=None)\n--\n\nLoad the current value atomically."),
    binding::fastcall_def<&set, kSet>("set", "set($self, value, ordering=None)\n--\n\nStore a new value atomically."),
    binding::fastcall_def<&fetch_add, kFetchAdd>(
        "fetch_add",
        "fetch_add($self, delta, ordering=None)\n--\n\nAtomically add delta to the value and return the OLD value."),
    binding::fastcall_def<&fetch_add_relaxed, kFetchAddRelaxed>(
        "fetch_add_relaxed", "fetch_add_relaxed($self, delta)\n--\n\nFast-path relaxed fetch_add."),
    binding::fastcall_def<&add_and_get, kAddAndGet>(
        "add_and_get",
        "add_and_get($self, delta, ordering=None)\n--\n\nAtomically add delta to the value and return the NEW value."),
    binding::fastcall_def<&add_and_get_relaxed, kAddAndGetRelaxed>(
        "add_and_get_relaxed", "add_and_get_relaxed($self, delta)\n--\n\nFast-path relaxed add_and_get."),
    binding::fastcall_def<&fetch_sub, kFetchSub>(
        "fetch_sub",
        "fetch_sub($self, delta, ordering=None)\n--\n\n"
        "Atomically subtract delta from the value and return the OLD value."),
    binding::fastcall_def<&fetch_sub_relaxed, kFetchSubRelaxed>(
        "fetch_sub_relaxed", "fetch_sub_relaxed($self, delta)\n--\n\nFast-path relaxed fetch_sub."),
    binding::fastcall_def<&sub_and_get, kSubAndGet>(
        "sub_and_get",
        "sub_and_get($self, delta, ordering=None)\n--\n\n"
        "Atomically subtract delta from the value and return the NEW value."),
    binding::fastcall_def<&sub_and_get_relaxed, kSubAndGetRelaxed>(
        "sub_and_get_relaxed", "sub_and_get_relaxed($self, delta)\n--\n\nFast-path relaxed sub_and_get."),
    binding::fastcall_def<&increment, kIncrement>(
        "increment",
        "increment($self, ordering=None)\n--\n\nAtomically increment the value by 1 and return the NEW value."),
    binding::noargs_def<&increment_relaxed>("increment_relaxed",
                                            "increment_relaxed($self)\n--\n\nFast-path relaxed increment."),
    binding::fastcall_def<&decrement, kDecrement>(
        "decrement",
        "decrement($self, ordering=None)\n--\n\nAtomically decrement the value by 1 and return the NEW value."),
    binding::noargs_def<&decrement_relaxed>("decrement_relaxed",
                                            "decrement_relaxed($self)\n--\n\nFast-path relaxed decrement."),
    binding::fastcall_def<&get_and_set, kGetAndSet>(
        "get_and_set",
        "get_and_set($self, new_value, ordering=None)\n--\n\n"
        "Atomically swap the value with a new one and return the OLD value."),
    binding::fastcall_def<&compare_and_set, kCompareAndSet>(
        "compare_and_set",
        "compare_and_set($self, expected, new_value, ordering=None)\n--\n\n"
        "Atomically compare the current value to expected, and if equal, swap with new_value.\n"
        "Returns True if the swap succeeded, otherwise False."),
    binding::end_of_methods(),
};

binding::ClassDefinition AtomicIntegerClass::definition() {
    return {
        .doc = kClassDoc,
        .methods = g_methods,
        .slots = {
            binding::slot(Py_tp_new, &binding::constructor_entry<AtomicIntegerClass, &construct, kNew>),
            binding::slot(Py_tp_repr, &binding::unary_entry<&repr>),
            binding::slot(Py_tp_str, &binding::unary_entry<&str>),
        },
    };
}

}  // namespace

PyTypeObject* atomic_integer_type() { return binding::TypeObject<AtomicIntegerClass>::for_registration(); }

}  // namespace torvan::atomic
