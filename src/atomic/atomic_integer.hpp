#pragma once

#include "binding/python.hpp"

namespace torvan::atomic {

// The AtomicInteger type object, built on first use.
PyTypeObject* atomic_integer_type();

}  // namespace torvan::atomic
