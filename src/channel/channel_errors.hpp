#pragma once
// The errors of a full, empty or closed channel. Each is raised as a class
// the torvan package defines in Python (torvan/_errors.py), derived both
// from the built-in type the error has always had and from the queue
// module's exception of the same meaning, so that `except RuntimeError` and
// `except queue.Empty` both catch an empty channel. The classes are found in
// the package, which is imported before the module is (importing
// torvan._torvan imports torvan first); a module loaded without its package
// raises the built-in types, with the same messages.

#include <cstddef>
#include <string>

#include "binding/py_error.hpp"

namespace torvan::channel {

enum class ChannelError {
    Full,    // RuntimeError and queue.Full
    Empty,   // RuntimeError and queue.Empty
    Closed,  // ValueError and queue.ShutDown
};

binding::PyError channel_error(ChannelError kind, std::string message);
[[noreturn]] void raise_channel_error(ChannelError kind, std::string message);

// select(): the closed error of the operation at `position` in `ops`, which
// the exception carries as its `index`.
[[noreturn]] void raise_closed_at(std::size_t position, const char* message);

}  // namespace torvan::channel
