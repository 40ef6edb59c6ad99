#pragma once
// The borrow flag of every module object: shared borrows for methods that rely
// on the native state's own synchronisation, an exclusive borrow for the few
// methods that must run alone. A conflicting borrow fails at once; it is never
// awaited.

#include <atomic>
#include <cstdint>

#include "core/failure.hpp"
#include "binding/py_error.hpp"

namespace torvan::binding {

inline constexpr std::uint64_t kExclusivelyBorrowed = ~std::uint64_t{0};

// What a conflict means: a Python error for the caller, or a native failure
// where the body's own logic guarantees there can be none.
enum class OnConflict { Raise, Fail };

[[noreturn]] inline void borrow_conflict(OnConflict mode, const char* message) {
    if (mode == OnConflict::Fail) {
        fail(message);
    }
    raise(PyExc_RuntimeError, message);
}

class SharedBorrow {
public:
    explicit SharedBorrow(std::atomic<std::uint64_t>& flag, OnConflict mode = OnConflict::Raise) : flag_(flag) {
        // Relaxed: a guess for the CAS. Acquire on success pairs with the
        // release of the exclusive borrow before it; a shared borrow's release
        // decrement pairs with an exclusive borrow's acquire CAS after it.
        std::uint64_t current = flag_.load(std::memory_order_relaxed);
        do {
            if (current == kExclusivelyBorrowed) {
                borrow_conflict(mode, "Already mutably borrowed");
            }
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    ~SharedBorrow() { flag_.fetch_sub(1, std::memory_order_release); }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::atomic<std::uint64_t>& flag_;
};

class ExclusiveBorrow {
public:
    // Acquire CAS and release store: pair with the other borrows' release and
    // acquire, as in SharedBorrow.
    explicit ExclusiveBorrow(std::atomic<std::uint64_t>& flag, OnConflict mode = OnConflict::Raise) : flag_(flag) {
        std::uint64_t expected = 0;
        if (!flag_.compare_exchange_strong(expected, kExclusivelyBorrowed, std::memory_order_acquire,
                                           std::memory_order_relaxed)) {
            borrow_conflict(mode, "Already borrowed");
        }
    }
    ~ExclusiveBorrow() { flag_.store(0, std::memory_order_release); }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::atomic<std::uint64_t>& flag_;
};

// The same borrows of a thread-bound object, which only its owner thread
// may borrow (the owner check comes first): the same conflicts, found with
// plain loads and stores instead of read-modify-write instructions. Relaxed:
// no other thread touches the flag, so there is nothing to pair with.
class OwnerSharedBorrow {
public:
    explicit OwnerSharedBorrow(std::atomic<std::uint64_t>& flag, OnConflict mode = OnConflict::Raise) : flag_(flag) {
        std::uint64_t current = flag_.load(std::memory_order_relaxed);
        if (current == kExclusivelyBorrowed) {
            borrow_conflict(mode, "Already mutably borrowed");
        }
        flag_.store(current + 1, std::memory_order_relaxed);
    }
    ~OwnerSharedBorrow() { flag_.store(flag_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed); }
    OwnerSharedBorrow(const OwnerSharedBorrow&) = delete;
    OwnerSharedBorrow& operator=(const OwnerSharedBorrow&) = delete;

private:
    std::atomic<std::uint64_t>& flag_;
};

class OwnerExclusiveBorrow {
public:
    explicit OwnerExclusiveBorrow(std::atomic<std::uint64_t>& flag, OnConflict mode = OnConflict::Raise)
        : flag_(flag) {
        if (flag_.load(std::memory_order_relaxed) != 0) {
            borrow_conflict(mode, "Already borrowed");
        }
        flag_.store(kExclusivelyBorrowed, std::memory_order_relaxed);
    }
    ~OwnerExclusiveBorrow() { flag_.store(0, std::memory_order_relaxed); }
    OwnerExclusiveBorrow(const OwnerExclusiveBorrow&) = delete;
    OwnerExclusiveBorrow& operator=(const OwnerExclusiveBorrow&) = delete;

private:
    std::atomic<std::uint64_t>& flag_;
};

}  // namespace torvan::binding
