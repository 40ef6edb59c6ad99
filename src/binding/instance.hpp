#pragma once
// The layout shared by every module object, and object creation and
// destruction.
//
// A module class is described by a traits struct that starts from the
// defaults of ClassTraits and overrides what differs:
//
//   struct AtomicIntegerClass : binding::ClassTraits {
//       static constexpr const char* kName = "AtomicInteger";
//       using State = AtomicIntegerState;  // the native state
//       static binding::ClassDefinition definition();
//   };
//
// A thread-bound class may also define
//   static void drop_on_foreign_thread(State&) noexcept;
// to say what becomes of its state when it is destroyed on another thread
// (by default the state is left alone).

#include <atomic>
#include <memory>
#include <cstdint>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "binding/borrow.hpp"
#include "binding/boundary.hpp"
#include "binding/dealloc_trampoline.hpp"
#include "core/failure.hpp"
#include "binding/owned_ref.hpp"
#include "binding/py_error.hpp"
#include "binding/thread_end.hpp"
#include "core/platform/thread.hpp"

namespace torvan::binding {

struct ClassTraits {
    static constexpr bool kThreadBound = false;         // records and checks its owner thread
    static constexpr const char* kTypePath = nullptr;   // the class's name in thread-bound messages
    static constexpr bool kWeakReferences = false;      // instances can be weakly referenced
    static constexpr bool kExclusiveMethods = false;    // some method takes an exclusive borrow
    static constexpr bool kDrainingMethods = false;     // some method takes a draining borrow (implies the above)
    static constexpr bool kReusedOnThread = false;      // a thread makes its next instance from its last dead one
    // Seen by the cyclic garbage collector: the class then defines
    //   static int traverse(State&, visitproc, void*);
    //   static void clear(State&);
    static constexpr bool kTracked = false;
};

struct NoField {};

template <class Class>
struct Instance {
    PyObject ob_base;
    typename Class::State state;
    std::atomic<std::uint64_t> borrow_flag;
    [[no_unique_address]] std::conditional_t<Class::kThreadBound, std::uint64_t, NoField> owner_thread;
    [[no_unique_address]] std::conditional_t<Class::kWeakReferences, PyObject*, NoField> weaklist;

    static Instance* from(PyObject* object) noexcept { return reinterpret_cast<Instance*>(object); }
    PyObject* object() noexcept { return &ob_base; }
};

// Borrows of an object. A class without exclusive-borrow methods can never see
// a conflict, so its shared borrow is skipped rather than paid on every call;
// a thread-bound object is borrowed only by its owner thread.
template <class Class>
class SharedBorrowOf {
public:
    explicit SharedBorrowOf(Instance<Class>& instance, OnConflict mode = OnConflict::Raise) : borrow_(instance, mode) {}

private:
    struct Real {
        Real(Instance<Class>& instance, OnConflict mode) : borrow(instance.borrow_flag, mode) {}
        std::conditional_t<Class::kThreadBound, OwnerSharedBorrow,
                           std::conditional_t<Class::kDrainingMethods, TrackedSharedBorrow, SharedBorrow>>
            borrow;
    };
    struct Skipped {
        Skipped(Instance<Class>&, OnConflict) noexcept {}
    };
    std::conditional_t<Class::kExclusiveMethods, Real, Skipped> borrow_;
};

template <class Class>
class ExclusiveBorrowOf {
public:
    explicit ExclusiveBorrowOf(Instance<Class>& instance, OnConflict mode = OnConflict::Raise)
        : borrow_(instance.borrow_flag, mode) {
        static_assert(Class::kExclusiveMethods, "declare kExclusiveMethods for classes with exclusive borrows");
    }

private:
    std::conditional_t<Class::kThreadBound, OwnerExclusiveBorrow, ExclusiveBorrow> borrow_;
};

template <class Class>
class DrainingBorrowOf {
public:
    explicit DrainingBorrowOf(Instance<Class>& instance) : borrow_(instance.borrow_flag) {
        static_assert(Class::kDrainingMethods && Class::kExclusiveMethods && !Class::kThreadBound,
                      "declare kDrainingMethods (and kExclusiveMethods) for classes with draining borrows");
    }

private:
    DrainingBorrow borrow_;
};

[[noreturn, gnu::cold]] inline void fail_sent_to_another_thread(const char* type_path, std::uint64_t current,
                                                                std::uint64_t owner) {
    fail(std::string("assertion `left == right` failed: ") + type_path +
         " is unsendable, but sent to another thread\n  left: " + std::to_string(current) +
         "\n right: " + std::to_string(owner));
}

// The thread-bound check: a native failure when called off the owner thread.
template <class Class>
void check_owner_thread(const Instance<Class>& instance) {
    if constexpr (Class::kThreadBound) {
        std::uint64_t current = platform::current_thread_id();
        if (current != instance.owner_thread) [[unlikely]] {
            fail_sent_to_another_thread(Class::kTypePath, current, instance.owner_thread);
        }
    }
}

namespace detail {

// Instances of a thread-bound class that its threads make and drop at a high
// rate (a guard per `with lock.read():`) are reused: an instance that dies on
// its owner thread is made alive again at once (a new reference, as a new
// object gets) with no native state, and kept by the thread, which makes its
// next instance of the class from it instead of allocating. Nobody else can
// reach it: it was dead, it has no weak references and the collector does not
// track it. Owner thread 0 marks it as kept; the thread lets go of it when
// it ends (later, on a thread that attaches, since the ending thread no
// longer is), and that release frees it like any dead instance.
inline constexpr std::uint64_t kKeptForReuse = 0;

template <class Class>
struct KeptInstance {
    static inline constinit thread_local PyObject* object __attribute__((tls_model("initial-exec"))) = nullptr;
    static inline constinit thread_local bool released_at_end __attribute__((tls_model("initial-exec"))) = false;
};

template <class Class>
OwnedRef adopt_state(OwnedRef object, typename Class::State&& state) noexcept {
    auto* instance = Instance<Class>::from(object.get());
    new (&instance->state) typename Class::State(std::move(state));
    new (&instance->borrow_flag) std::atomic<std::uint64_t>(0);
    if constexpr (Class::kThreadBound) {
        instance->owner_thread = platform::current_thread_id();
    }
    return object;
}
}  // namespace detail

// Allocates an instance of `type` (the class itself or a Python subclass of
// it) through object's tp_new and moves the native state in. If allocation
// fails the state is destroyed by the caller's scope and the error raised.
template <class Class>
OwnedRef create_instance(PyTypeObject* type, typename Class::State&& state) {
    static_assert(std::is_nothrow_move_constructible_v<typename Class::State>,
                  "native state must move without throwing");
    OwnedRef empty = checked(PyTuple_New(0));
    OwnedRef object = checked(PyBaseObject_Type.tp_new(type, empty.get(), nullptr));
    return detail::adopt_state<Class>(std::move(object), std::move(state));
}

// The same for an instance native code makes of the class's own type (a
// guard per `with lock.read():`): object's tp_new would only check an empty
// argument tuple before this very allocation, which a class reused on its
// threads makes only when the thread keeps no instance.
template <class Class>
OwnedRef create_native_instance(PyTypeObject* type, typename Class::State&& state) {
    static_assert(std::is_nothrow_move_constructible_v<typename Class::State>,
                  "native state must move without throwing");
    if constexpr (Class::kReusedOnThread) {
        if (PyObject* kept = std::exchange(detail::KeptInstance<Class>::object, nullptr)) {
            return detail::adopt_state<Class>(OwnedRef::steal(kept), std::move(state));
        }
    }
    OwnedRef object = checked(type->tp_alloc(type, 0));
    return detail::adopt_state<Class>(std::move(object), std::move(state));
}

namespace detail {
template <class Class, class = void>
struct HasForeignDrop : std::false_type {};
template <class Class>
struct HasForeignDrop<Class, std::void_t<decltype(Class::drop_on_foreign_thread(
                                 std::declval<typename Class::State&>()))>> : std::true_type {};
}  // namespace detail

// Every instance holds a reference to its heap type. The interpreter counts
// the reference an allocation takes on a per-thread counter, but giving it
// back (Py_DECREF) writes the type's shared count, a line every thread
// creating objects of the class would write in turn: a guard per
// `with lock.read():` spent half its time there with two threads. The
// module's own types are never released, so their instances keep their type
// reference: the count only grows, and the type already lives as long as the
// process. A Python subclass (whose deallocator is not ours) may be
// released, and gets its reference back.
inline void release_type_reference(PyTypeObject* type, destructor own_dealloc) noexcept {
    if (type->tp_dealloc != own_dealloc) {
        Py_DECREF(type);
    }
}

template <class Class>
void dealloc_instance(PyObject* self) noexcept;

namespace detail {

// Keeps a dead instance of a class reused on its threads, its native state
// destroyed, when the thread keeps none yet: true when kept.
template <class Class>
bool keep_for_reuse(PyObject* self) noexcept {
    if constexpr (Class::kReusedOnThread) {
        static_assert(Class::kThreadBound && !Class::kWeakReferences && !Class::kTracked,
                      "only a thread's own instances are reused");
        PyTypeObject* type = Py_TYPE(self);
        if (KeptInstance<Class>::object != nullptr || type->tp_dealloc != &dealloc_instance<Class>) {
            return false;
        }
        // Alive again with one reference, the thread's. Not PyObject_Init: that
        // would take another reference to the type, which the instance holds
        // already from its allocation and gives back only when it is freed.
        _Py_NewReference(self);
        Instance<Class>::from(self)->owner_thread = kKeptForReuse;
        KeptInstance<Class>::object = self;
        if (!KeptInstance<Class>::released_at_end) {
            KeptInstance<Class>::released_at_end = true;
            release_at_thread_end(&KeptInstance<Class>::object);
        }
        return true;
    } else {
        (void)self;
        return false;
    }
}

template <class Class>
void finish_dealloc(PyObject* self) noexcept {
    auto* instance = Instance<Class>::from(self);
    bool kept = false;
    at_dealloc_boundary([&] {
        if constexpr (Class::kReusedOnThread) {
            if (instance->owner_thread == kKeptForReuse) {
                return;  // a kept instance let go of: no state left, nothing to report
            }
        }
        if constexpr (Class::kThreadBound) {
            if (instance->owner_thread != platform::current_thread_id()) {
                report_unraisable([] {
                    PyErr_Format(PyExc_RuntimeError, "%s is unsendable, but is being dropped on another thread",
                                 Class::kTypePath);
                });
                if constexpr (detail::HasForeignDrop<Class>::value) {
                    Class::drop_on_foreign_thread(instance->state);
                }
                return;
            }
        }
        std::destroy_at(&instance->state);
        kept = keep_for_reuse<Class>(self);
    });
    if (kept) {
        return;
    }
    if constexpr (Class::kWeakReferences) {
        if (instance->weaklist != nullptr) {
            PyObject_ClearWeakRefs(self);
        }
    }
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    release_type_reference(type, &dealloc_instance<Class>);
}
}  // namespace detail

// tp_dealloc of every module class. A Python subclass may be tracked by the
// garbage collector though the class is not; its own deallocator untracks
// the instance first.
template <class Class>
void dealloc_instance(PyObject* self) noexcept {
    if constexpr (Class::kTracked) {
        PyObject_GC_UnTrack(self);
    }
    deallocate_bounded(self, &detail::finish_dealloc<Class>);
}

// tp_traverse and tp_clear of a tracked class. An instance is tracked from
// its allocation, before its state is moved in: the state is zeroed then,
// and traverse() finds null references only.
template <class Class>
int traverse_instance(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return Class::traverse(Instance<Class>::from(self)->state, visit, arg);
}
template <class Class>
int clear_instance(PyObject* self) noexcept {
    Class::clear(Instance<Class>::from(self)->state);
    return 0;
}

}  // namespace torvan::binding
