#pragma once

#include "binding/python.hpp"

namespace torvan::channel {

// The Channel type object, built on first use.
PyTypeObject* channel_type();

}  // namespace torvan::channel
