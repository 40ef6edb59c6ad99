#pragma once
// Monotonic time, durations and deadlines.
//
// Durations are kept as whole seconds plus nanoseconds so that timeouts up to
// just below 2^64 seconds can be represented; a deadline that falls beyond the
// clock's range is simply "no deadline".

#include <cstdint>
#include <optional>

namespace torvan::platform {

// Nanoseconds on the monotonic clock since an arbitrary, fixed origin.
std::uint64_t monotonic_now_ns() noexcept;

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // always < 1'000'000'000

    static constexpr Duration from_nanos(std::uint64_t ns) noexcept {
        return Duration{ns / 1'000'000'000u, static_cast<std::uint32_t>(ns % 1'000'000'000u)};
    }
    static constexpr Duration from_millis(std::uint64_t ms) noexcept {
        return Duration{ms / 1000u, static_cast<std::uint32_t>((ms % 1000u) * 1'000'000u)};
    }
    constexpr bool is_zero() const noexcept { return secs == 0 && nanos == 0; }

    // Converts seconds given as a double, rounding to the nearest nanosecond
    // with ties to even. Returns nothing for negative, NaN, infinite values and
    // for values of 2^64 seconds or more.
    static std::optional<Duration> from_seconds(double seconds) noexcept;
};

// A point on the monotonic clock, or "never" when the wait has no deadline.
class Deadline {
public:
    constexpr Deadline() noexcept = default;  // never
    static constexpr Deadline never() noexcept { return Deadline(); }
    static constexpr Deadline at(std::uint64_t ns) noexcept { return Deadline(ns); }
    // Now plus the duration; "never" when the sum leaves the clock's range.
    static Deadline after(Duration d) noexcept;

    constexpr bool is_never() const noexcept { return never_; }
    constexpr std::uint64_t ns() const noexcept { return ns_; }
    bool has_passed() const noexcept { return !never_ && monotonic_now_ns() >= ns_; }

private:
    constexpr explicit Deadline(std::uint64_t ns) noexcept : ns_(ns), never_(false) {}
    std::uint64_t ns_ = 0;
    bool never_ = true;
};

}  // namespace torvan::platform
