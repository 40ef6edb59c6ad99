#pragma once
// Facts about the machine and the operating system's randomness.

#include <cstddef>
#include <optional>

namespace torvan::platform {

// Number of online logical processors, or nothing when the system cannot tell.
std::optional<unsigned> online_processors() noexcept;

// Number of processors this process may run on (its affinity mask where the
// system has one), or nothing when the system cannot tell.
std::optional<unsigned> available_processors() noexcept;

// Fills the buffer with bytes from the operating system's random source.
// Returns false if the source failed.
bool random_bytes(void* buffer, std::size_t size) noexcept;

}  // namespace torvan::platform
