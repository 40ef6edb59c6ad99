#pragma once

#include "binding/python.hpp"

namespace torvan::map {

// The ConcurrentMap type object, built on first use.
PyTypeObject* concurrent_map_type();

}  // namespace torvan::map
