#pragma once
// The borrow flag of every module object: shared borrows for methods that rely
// on the native state's own synchronisation, an exclusive borrow for the few
// methods that must run alone. A conflicting borrow fails at once; it is never
// awaited, with one exception: a draining borrow (DrainingBorrow) turns new
// shared borrows away and waits for those in progress, which are short.
//
// The flag:
//
//   0                  free
//   n                  n shared borrows in progress
//   kDraining | n      a draining borrow waits for the n shared ones to end;
//                      new shared borrows fail
//   all ones           an exclusive borrow in progress

#include <atomic>
#include <cstdint>

#include "core/failure.hpp"
#include "binding/py_error.hpp"

namespace torvan::binding {

inline constexpr std::uint64_t kExclusivelyBorrowed = ~std::uint64_t{0};
inline constexpr std::uint64_t kDraining = std::uint64_t{1} << 63;

namespace detail {
// Bumped, and its sleepers woken, when the last shared borrow leaves an
// object whose draining borrow waits.
inline std::atomic<std::uint32_t> g_borrows_drained{0};
void announce_borrows_drained() noexcept;
}  // namespace detail

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
            if (current >= kDraining) {
                borrow_conflict(mode, "Already mutably borrowed");
            }
        } while (!flag_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
    }
    // Sequentially consistent, as the draining borrow's reads of the flag and
    // of the drained sequence are: either it sees this release, or the bump
    // of the sequence that follows it wakes it.
    ~SharedBorrow() {
        if (flag_.fetch_sub(1, std::memory_order_seq_cst) == kDraining + 1) [[unlikely]] {
            detail::announce_borrows_drained();
        }
    }
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

// A shared borrow that its own thread can be found holding, for the classes
// with a draining borrow: a thread must not wait for itself.
class TrackedSharedBorrow {
public:
    explicit TrackedSharedBorrow(std::atomic<std::uint64_t>& flag, OnConflict mode = OnConflict::Raise)
        : borrow_(flag, mode), flag_(&flag), outer_(t_innermost) {
        t_innermost = this;
    }
    ~TrackedSharedBorrow() { t_innermost = outer_; }
    TrackedSharedBorrow(const TrackedSharedBorrow&) = delete;
    TrackedSharedBorrow& operator=(const TrackedSharedBorrow&) = delete;

    static bool held_by_this_thread(const std::atomic<std::uint64_t>& flag) noexcept {
        for (const TrackedSharedBorrow* borrow = t_innermost; borrow != nullptr; borrow = borrow->outer_) {
            if (borrow->flag_ == &flag) {
                return true;
            }
        }
        return false;
    }

private:
    SharedBorrow borrow_;
    const std::atomic<std::uint64_t>* flag_;
    TrackedSharedBorrow* outer_;
    static inline thread_local TrackedSharedBorrow* t_innermost = nullptr;
};

// An exclusive borrow for a method that must not fail merely because short
// shared calls keep coming (ThreadPool.shutdown against a stream of
// submits): it refuses new shared borrows at once ("Already mutably
// borrowed" for them) and waits, detached, for those in progress. It still
// fails at once with "Already borrowed" when another exclusive or draining
// borrow is held, or when the calling thread holds a shared borrow of the
// object itself. The wait runs signal handlers; one that raises gives the
// borrow up and the exception propagates.
class DrainingBorrow {
public:
    explicit DrainingBorrow(std::atomic<std::uint64_t>& flag);
    ~DrainingBorrow() { flag_.store(0, std::memory_order_release); }
    DrainingBorrow(const DrainingBorrow&) = delete;
    DrainingBorrow& operator=(const DrainingBorrow&) = delete;

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
