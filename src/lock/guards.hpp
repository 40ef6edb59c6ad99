#pragma once

#include "binding/owned_ref.hpp"
#include "binding/python.hpp"
#include "core/lock/lock_handle.hpp"

namespace torvan::lock {

// The guard type objects, built on first use.
PyTypeObject* read_guard_type();
PyTypeObject* write_guard_type();

// A new guard on the lock, owned by the calling thread and not entered.
binding::OwnedRef make_read_guard(const LockRef& handle);
binding::OwnedRef make_write_guard(const LockRef& handle);

}  // namespace torvan::lock
