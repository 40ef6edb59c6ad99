#pragma once

#include "binding/python.hpp"

namespace torvan::lock {

// The RwLock type object, built on first use.
PyTypeObject* rwlock_type();

}  // namespace torvan::lock
