#pragma once
// Memory orderings chosen by name, per call, for the atomic classes.

#include <atomic>
#include <optional>
#include <string_view>
#include <utility>

namespace torvan::atomic {

enum class Ordering { Relaxed, Release, Acquire, AcqRel, SeqCst };

// Absent or None means sequentially consistent; any other unknown name raises
// ValueError "Unsupported memory ordering: <name>".
Ordering parse_ordering(std::optional<std::string_view> name);

// The standard orderings for each kind of operation; an ordering the kind
// cannot take (a release load, an acquire store, ...) is a native failure.
std::memory_order load_order(Ordering ordering);
std::memory_order store_order(Ordering ordering);
std::memory_order read_modify_write_order(Ordering ordering) noexcept;
// Success and failure orderings of a compare-and-set.
std::pair<std::memory_order, std::memory_order> compare_and_set_orders(Ordering ordering) noexcept;

}  // namespace torvan::atomic
