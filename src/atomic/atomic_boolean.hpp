#pragma once

#include "binding/python.hpp"

namespace torvan::atomic {

// The AtomicBoolean type object, built on first use.
PyTypeObject* atomic_boolean_type();

}  // namespace torvan::atomic
