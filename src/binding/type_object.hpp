#pragma once
// Type objects: built once per process from a class's definition, cached for
// the life of the process and shared by every module object.

#include <atomic>
#include <cstddef>
#include <initializer_list>
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

// A class's __new__ and the signature its docstring shows, "(value=0)".
struct ConstructorDefinition {
    newfunc entry = nullptr;
    const char* signature = nullptr;
};

// The methods or attributes of a class, with the empty entry that ends the
// table for CPython.
template <class Entry>
class EntryTable {
public:
    EntryTable() = default;
    EntryTable(std::initializer_list<Entry> entries) : entries_(entries) { entries_.push_back(Entry{}); }

    bool empty() const noexcept { return entries_.empty(); }
    // CPython reads the entries and never writes them.
    void* data() const noexcept { return const_cast<Entry*>(entries_.data()); }

private:
    std::vector<Entry> entries_;
};

// What a class contributes to its type object besides its layout. It is made
// once per process and kept, since the type refers to its tables.
struct ClassDefinition {
    const char* doc = nullptr;          // the text; a constructible class's starts with its signature
    ConstructorDefinition constructor;  // none: the class cannot be instantiated from Python
    EntryTable<PyMethodDef> methods;
    EntryTable<PyGetSetDef> getset;
    std::vector<PyType_Slot> slots;     // protocol slots: Py_tp_repr, Py_tp_iter, ...
    bool subclassable = false;
};

namespace detail {

struct TypeLayout {
    const char* name;
    int basicsize;
    bool weak_references;
    Py_ssize_t weaklist_offset;
    destructor dealloc;
    traverseproc traverse;  // with clear, for a class the collector tracks; else null
    inquiry clear;
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
    // Acquire loads pair with the acq_rel CAS that publishes the built type
    // (in get_or_build), so its contents come with the pointer.
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
    // Acquire, and acq_rel on publishing: pair with the publishing thread's
    // CAS, so the type is seen fully built.
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
            traverse_of(),
            clear_of(),
        };
        static const ClassDefinition definition = Class::definition();
        PyTypeObject* built = detail::build_type(layout, definition);
        PyTypeObject* expected = nullptr;
        if (!cell_.compare_exchange_strong(expected, built, std::memory_order_acq_rel)) {
            Py_DECREF(built);  // another thread published first; everyone uses its type
            return expected;
        }
        return built;
    }

    static traverseproc traverse_of() {
        if constexpr (Class::kTracked) {
            return &traverse_instance<Class>;
        } else {
            return nullptr;
        }
    }
    static inquiry clear_of() {
        if constexpr (Class::kTracked) {
            return &clear_instance<Class>;
        } else {
            return nullptr;
        }
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

}  // namespace torvan::binding
