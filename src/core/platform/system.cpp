#include "core/platform/system.hpp"

#include <algorithm>
#include <cerrno>
#include <sys/random.h>
#include <unistd.h>

#include "core/platform/features.hpp"

#if defined(TORVAN_AFFINITY_MASK)
#include <sched.h>
#endif

namespace torvan::platform {

std::optional<unsigned> online_processors() noexcept {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n <= 0) {
        return std::nullopt;
    }
    return static_cast<unsigned>(n);
}

std::optional<unsigned> available_processors() noexcept {
#if defined(TORVAN_AFFINITY_MASK)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) {
            return static_cast<unsigned>(n);
        }
    }
#endif
    return online_processors();
}

bool random_bytes(void* buffer, std::size_t size) noexcept {
    // getentropy serves both Linux and macOS, at most 256 bytes a call.
    constexpr std::size_t kMaxPerCall = 256;
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const std::size_t chunk = std::min(size, kMaxPerCall);
        if (getentropy(out, chunk) != 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out += chunk;
        size -= chunk;
    }
    return true;
}

}  // namespace torvan::platform
