#pragma once

#include "binding/python.hpp"

namespace torvan::pool {

// The ThreadPool type object, built on first use; also installs the exit hook.
PyTypeObject* thread_pool_type();

}  // namespace torvan::pool
