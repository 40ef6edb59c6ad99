#include "core/platform/clock.hpp"

#include <cmath>
#include <ctime>
#include <limits>

namespace torvan::platform {

std::uint64_t monotonic_now_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

std::optional<Duration> Duration::from_seconds(double seconds) noexcept {
    if (!(seconds >= 0.0) || std::isinf(seconds)) {
        return std::nullopt;  // negative, NaN or infinite
    }
    if (seconds == 0.0) {
        return Duration{};
    }
    // seconds == mantissa * 2^exponent exactly, with a 53-bit integer mantissa;
    // the nanoseconds are then computed in exact integer arithmetic so that the
    // rounding to the nearest nanosecond (ties to even) happens exactly once.
    int exp2 = 0;
    double fraction = std::frexp(seconds, &exp2);
    auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    int exponent = exp2 - 53;
    if (exponent >= 0) {
        if (exponent >= 64 || mantissa > (std::numeric_limits<std::uint64_t>::max() >> exponent)) {
            return std::nullopt;  // 2^64 seconds or more
        }
        return Duration{mantissa << exponent, 0};
    }
    __extension__ typedef unsigned __int128 u128;
    const int shift = -exponent;
    const std::uint64_t whole = shift >= 64 ? 0 : mantissa >> shift;
    const std::uint64_t frac = shift >= 64 ? mantissa : mantissa & ((std::uint64_t{1} << shift) - 1);
    const u128 scaled = static_cast<u128>(frac) * 1'000'000'000u;  // < 2^83
    std::uint64_t nanos = 0;
    if (shift < 128) {
        const u128 quotient = scaled >> shift;
        const u128 remainder = scaled - (quotient << shift);
        const u128 half = static_cast<u128>(1) << (shift - 1);
        nanos = static_cast<std::uint64_t>(quotient);
        if (remainder > half || (remainder == half && (nanos & 1u) != 0)) {
            ++nanos;
        }
    }
    std::uint64_t secs = whole;
    if (nanos >= 1'000'000'000u) {
        if (secs == std::numeric_limits<std::uint64_t>::max()) {
            return std::nullopt;
        }
        ++secs;
        nanos -= 1'000'000'000u;
    }
    return Duration{secs, static_cast<std::uint32_t>(nanos)};
}

Deadline Deadline::after(Duration d) noexcept {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t now = monotonic_now_ns();
    if (d.secs > (kMax - d.nanos) / 1'000'000'000u) {
        return never();
    }
    std::uint64_t span = d.secs * 1'000'000'000u + d.nanos;
    if (span > kMax - now) {
        return never();
    }
    return at(now + span);
}

}  // namespace torvan::platform
