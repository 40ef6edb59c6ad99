#pragma once
// Timeouts in seconds, as Channel and select take them, converted to
// durations of whole nanoseconds (nearest, ties to even). Values that no
// duration can hold (infinite, NaN, 2^64 seconds or more) are a native
// failure with the message every caller shares.

#include <optional>

#include "core/failure.hpp"
#include "binding/py_error.hpp"
#include "core/platform/clock.hpp"

namespace torvan::channel {

inline platform::Duration to_duration(double seconds) {
    std::optional<platform::Duration> duration = platform::Duration::from_seconds(seconds);
    if (!duration) {
        fail("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    return *duration;
}

// Channel waits: a negative timeout is refused (NaN is not negative, and
// fails the conversion instead).
inline std::optional<platform::Duration> channel_timeout(std::optional<double> seconds) {
    if (!seconds) {
        return std::nullopt;
    }
    if (*seconds < 0.0) {
        binding::raise(PyExc_ValueError, "Timeout must be non-negative");
    }
    return to_duration(*seconds);
}

// Whether a send or receive with this timeout may first try the operation
// once, attached, before it waits. A timeout of a millisecond or more cannot
// run out before the wait's first look, a fraction of a microsecond after
// it starts, so that look would find the operation ready and the timer not:
// the attempt ends as the wait would, without leaving the interpreter, and
// a call that finds its item or its room at once costs what it costs
// without a timeout. Shorter timeouts (zero above all) race the operation
// against the timer, as the wait does; so do the ones whose conversion
// could fail, which must raise.
inline bool may_try_before_waiting(double seconds) noexcept { return seconds >= 1e-3 && seconds <= 1e9; }

// select: a negative timeout or a NaN counts as zero.
inline std::optional<platform::Duration> select_timeout(std::optional<double> seconds) {
    if (!seconds) {
        return std::nullopt;
    }
    return to_duration(*seconds > 0.0 ? *seconds : 0.0);
}

}  // namespace torvan::channel
