#pragma once
// Memory orderings chosen by name, per call, for the atomic classes.

#include <atomic>
#include <optional>
#include <string_view>
#include <utility>

namespace torvan::atomic {

enum class Ordering { Relaxed, Release, Acquire, AcqRel, SeqCst };

Ordering parse_ordering_name(std::string_view name);

// Absent or None means sequentially consistent; any other unknown name raises
// ValueError "Unsupported memory ordering: <name>".
inline Ordering parse_ordering(std::optional<std::string_view> name) {
    return name ? parse_ordering_name(*name) : Ordering::SeqCst;
}

// The standard orderings for each kind of operation; an ordering the kind
// cannot take (a release load, an acquire store, ...) is a native failure.
[[noreturn]] void fail_load_order(Ordering ordering);
[[noreturn]] void fail_store_order(Ordering ordering);

inline std::memory_order load_order(Ordering ordering) {
    switch (ordering) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Acquire: return std::memory_order_acquire;
        case Ordering::SeqCst: return std::memory_order_seq_cst;
        default: fail_load_order(ordering);
    }
}
inline std::memory_order store_order(Ordering ordering) {
    switch (ordering) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Release: return std::memory_order_release;
        case Ordering::SeqCst: return std::memory_order_seq_cst;
        default: fail_store_order(ordering);
    }
}
inline std::memory_order read_modify_write_order(Ordering ordering) noexcept {
    switch (ordering) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Release: return std::memory_order_release;
        case Ordering::Acquire: return std::memory_order_acquire;
        case Ordering::AcqRel: return std::memory_order_acq_rel;
        case Ordering::SeqCst: break;
    }
    return std::memory_order_seq_cst;
}

// Success and failure orderings of a compare-and-set.
inline std::pair<std::memory_order, std::memory_order> compare_and_set_orders(Ordering ordering) noexcept {
    switch (ordering) {
        case Ordering::Relaxed: return {std::memory_order_relaxed, std::memory_order_relaxed};
        case Ordering::Release: return {std::memory_order_release, std::memory_order_relaxed};
        case Ordering::Acquire: return {std::memory_order_acquire, std::memory_order_acquire};
        case Ordering::AcqRel: return {std::memory_order_acq_rel, std::memory_order_acquire};
        case Ordering::SeqCst: break;
    }
    return {std::memory_order_seq_cst, std::memory_order_seq_cst};
}

}  // namespace torvan::atomic
