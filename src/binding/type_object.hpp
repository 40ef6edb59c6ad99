#pragma once
// Type objects: built once per process from a class's definition, cached for
// the life of the process and shared by every module object.

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "binding/instance.hpp"
#include "binding/python.hpp"

namespace torvan::binding {

// A protocol slot filled with one of the generated entry points.
template <class Fn>
PyType_Slot slot(int id, Fn* entry) noexcept {
    return {id, reinterpret_cast<void*>(entry)};
}

// What a class contributes to its type object besides its layout.
struct ClassDefinition {
    const char* doc = nullptr;        // internal signature form, or plain text
    PyMethodDef* methods = nullptr;   // static, null-terminated
    PyGetSetDef* getset = nullptr;    // static, null-terminated
    std::vector<PyType_Slot> slots;   // protocol slots: Py_tp_new, Py_tp_repr, ...
    bool subclassable = false;
};

namespace detail {

struct TypeLayout {
    const char* name;
    int basicsize;
    bool weak_references;
    Py_ssize_t weaklist_offset;
    destructor dealloc;
};

// Builds a heap type named "builtins.<name>". Raises RuntimeError "An error
// occurred while initializing class <name>" (caused by the underlying error).
PyTypeObject* build_type(const TypeLayout& layout, const ClassDefinition& definition);

// Reports a build failure outside registration and turns it into a native failure.
[[noreturn]] void fail_type_creation(PyError error, const char* name);

}  // namespace detail

// The cached type object of `Class`. `Class` provides
//   static ClassDefinition definition();
template <class Class>
class TypeObject {
public:
    // During module registration a build failure raises its RuntimeError.
    static PyTypeObject* for_registration() { return get_or_build(); }

    // Anywhere else (native code creating an instance) a build failure is
    // reported as unraisable and becomes a native failure.
    static PyTypeObject* get() {
        PyTypeObject* type = cell_.load(std::memory_order_acquire);
        if (type != nullptr) {
            return type;
        }
        try {
            return get_or_build();
        } catch (PyError& error) {
            detail::fail_type_creation(std::move(error), Class::kName);
        }
    }

private:
    static PyTypeObject* get_or_build() {
        PyTypeObject* type = cell_.load(std::memory_order_acquire);
        if (type != nullptr) {
            return type;
        }
        using Layout = Instance<Class>;
        detail::TypeLayout layout{
            Class::kName,
            static_cast<int>(sizeof(Layout)),
            Class::kWeakReferences,
            weaklist_offset(),
            &dealloc_instance<Class>,
        };
        PyTypeObject* built = detail::build_type(layout, Class::definition());
        PyTypeObject* expected = nullptr;
        if (!cell_.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
            Py_DECREF(built);  // another thread published first; everyone uses its type
            return expected;
        }
        return built;
    }

    static Py_ssize_t weaklist_offset() {
        if constexpr (Class::kWeakReferences) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
            return static_cast<Py_ssize_t>(offsetof(Instance<Class>, weaklist));
#pragma GCC diagnostic pop
        } else {
            return 0;
        }
    }

    static inline std::atomic<PyTypeObject*> cell_{nullptr};
};

// Registration on the module: appends the name to __all__, then sets the attribute.
void add_to_module(PyObject* module, const char* name, PyObject* value);

}  // namespace torvan::binding
