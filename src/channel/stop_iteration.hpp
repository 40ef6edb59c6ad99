#pragma once
// The StopIteration that ends an await with its result.

#include "binding/owned_ref.hpp"

namespace torvan::channel {

// A new StopIteration carrying `value` (none when null or None).
binding::OwnedRef stop_iteration(binding::OwnedRef value);

// Raises StopIteration carrying `value`, not None, as the current exception,
// for a step that returns null. The caller is attached.
void raise_stop_iteration(binding::OwnedRef value);

}  // namespace torvan::channel
