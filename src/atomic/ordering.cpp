#include "atomic/ordering.hpp"

#include <string>

#include "binding/failure.hpp"
#include "binding/py_error.hpp"

namespace torvan::atomic {

Ordering parse_ordering(std::optional<std::string_view> name) {
    if (!name) {
        return Ordering::SeqCst;
    }
    std::string_view text = *name;
    if (text.size() == 7) {
        if (text == "relaxed" || text == "Relaxed") return Ordering::Relaxed;
        if (text == "release" || text == "Release") return Ordering::Release;
        if (text == "acquire" || text == "Acquire") return Ordering::Acquire;
        if (text == "acq_rel") return Ordering::AcqRel;
        if (text == "seq_cst") return Ordering::SeqCst;
    } else if (text.size() == 6) {
        if (text == "AcqRel") return Ordering::AcqRel;
        if (text == "SeqCst") return Ordering::SeqCst;
    }
    binding::raise(PyExc_ValueError, "Unsupported memory ordering: " + std::string(text));
}

std::memory_order load_order(Ordering ordering) {
    switch (ordering) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Acquire: return std::memory_order_acquire;
        case Ordering::SeqCst: return std::memory_order_seq_cst;
        case Ordering::Release: fail("there is no such thing as a release load");
        case Ordering::AcqRel: fail("there is no such thing as an acquire-release load");
    }
    fail("unknown memory ordering");
}

std::memory_order store_order(Ordering ordering) {
    switch (ordering) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Release: return std::memory_order_release;
        case Ordering::SeqCst: return std::memory_order_seq_cst;
        case Ordering::Acquire: fail("there is no such thing as an acquire store");
        case Ordering::AcqRel: fail("there is no such thing as an acquire-release store");
    }
    fail("unknown memory ordering");
}

std::memory_order read_modify_write_order(Ordering ordering) noexcept {
    switch (ordering) {
        case Ordering::Relaxed: return std::memory_order_relaxed;
        case Ordering::Release: return std::memory_order_release;
        case Ordering::Acquire: return std::memory_order_acquire;
        case Ordering::AcqRel: return std::memory_order_acq_rel;
        case Ordering::SeqCst: break;
    }
    return std::memory_order_seq_cst;
}

std::pair<std::memory_order, std::memory_order> compare_and_set_orders(Ordering ordering) noexcept {
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
