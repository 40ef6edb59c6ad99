#include "core/platform/system.hpp"

#include <cerrno>
#include <unistd.h>

#if defined(__linux__)
#include <sched.h>
#include <sys/random.h>
#elif defined(__APPLE__)
#include <CommonCrypto/CommonRandom.h>
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
#if defined(__linux__)
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
#if defined(__linux__)
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        ssize_t got = getrandom(out, size, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        out += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
#elif defined(__APPLE__)
    return CCRandomGenerateBytes(buffer, size) == kCCSuccess;
#else
    arc4random_buf(buffer, size);
    return true;
#endif
}

}  // namespace torvan::platform
