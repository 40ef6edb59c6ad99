#include "binding/small_ints.hpp"

namespace torvan::binding {

std::atomic<PyObject*> detail::g_small_ints[detail::kSmallIntCount] = {};

void cache_small_ints() noexcept {
    for (std::size_t i = 0; i < detail::kSmallIntCount; ++i) {
        PyObject* number = PyLong_FromLong(static_cast<long>(detail::kFirstSmallInt + static_cast<std::int64_t>(i)));
        if (number != nullptr && !_Py_IsImmortal(number)) {
            Py_DECREF(number);
            number = nullptr;
        }
        if (number == nullptr) {
            PyErr_Clear();
        }
        // Relaxed: see int_to_python.
        detail::g_small_ints[i].store(number, std::memory_order_relaxed);
    }
}

}  // namespace torvan::binding
