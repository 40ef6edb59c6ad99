#pragma once
// The interpreter's cached small ints, -5 to 256, kept by the module: a
// method whose result is one of them returns it without a call. They are
// immortal, so a new reference to one needs no count.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "binding/python.hpp"

namespace torvan::binding {

namespace detail {
inline constexpr std::int64_t kFirstSmallInt = -5;
inline constexpr std::size_t kSmallIntCount = 262;
// Null where the interpreter's object is not immortal: the call makes it.
extern std::atomic<PyObject*> g_small_ints[kSmallIntCount];
}  // namespace detail

// Fills the table; the module's execution step calls it (attached).
void cache_small_ints() noexcept;

// The int for a signed 64-bit value: a new reference, or null with the
// interpreter's error set.
inline PyObject* int_to_python(std::int64_t value) noexcept {
    std::uint64_t index = static_cast<std::uint64_t>(value) - static_cast<std::uint64_t>(detail::kFirstSmallInt);
    // Laid out as the rarer case: a larger value (a counter's increments) falls
    // through to the call, and the test costs it next to nothing.
    if (index < detail::kSmallIntCount) [[unlikely]] {
        // Relaxed: written by the module's execution step, before any method
        // of the module can be called; a null sends the value to the call.
        if (PyObject* cached = detail::g_small_ints[index].load(std::memory_order_relaxed)) {
            return cached;
        }
    }
    return PyLong_FromLong(value);
}

}  // namespace torvan::binding
