#include "core/platform/wake_fd.hpp"

#include <cerrno>
#include <cstdint>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "core/platform/features.hpp"
#include "core/platform/thread.hpp"

#if defined(TORVAN_WAKE_EVENTFD)
#include <sys/eventfd.h>
#endif

namespace torvan::platform {

#if defined(TORVAN_WAKE_EVENTFD)

std::optional<WakeFd> WakeFd::create(std::string& error) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        error = describe_os_error(errno);
        return std::nullopt;
    }
    return WakeFd(fd, fd);
}

void WakeFd::signal() const noexcept {
    const std::uint64_t one = 1;
    // Only a counter about to overflow refuses (EAGAIN), and it is readable then.
    while (write(write_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void WakeFd::drain() const noexcept {
    std::uint64_t count = 0;
    while (read(read_fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

#else

std::optional<WakeFd> WakeFd::create(std::string& error) {
    int fds[2];
    if (pipe(fds) < 0) {
        error = describe_os_error(errno);
        return std::nullopt;
    }
    WakeFd made(fds[0], fds[1]);
    for (int fd : fds) {
        if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0 || fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
            error = describe_os_error(errno);
            return std::nullopt;
        }
    }
    return made;
}

void WakeFd::signal() const noexcept {
    const char byte = 1;
    // A full pipe refuses (EAGAIN), and it is readable then.
    while (write(write_fd_, &byte, 1) < 0 && errno == EINTR) {
    }
}

void WakeFd::drain() const noexcept {
    char buffer[256];
    for (;;) {
        const ssize_t got = read(read_fd_, buffer, sizeof buffer);
        if (got == static_cast<ssize_t>(sizeof buffer) || (got < 0 && errno == EINTR)) {
            continue;
        }
        return;
    }
}

#endif

WakeFd::WakeFd(WakeFd&& other) noexcept
    : read_fd_(std::exchange(other.read_fd_, -1)), write_fd_(std::exchange(other.write_fd_, -1)) {}

WakeFd::~WakeFd() {
    if (write_fd_ >= 0 && write_fd_ != read_fd_) {
        close(write_fd_);
    }
    if (read_fd_ >= 0) {
        close(read_fd_);
    }
}

}  // namespace torvan::platform
