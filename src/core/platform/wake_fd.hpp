#pragma once
// A file descriptor that an event loop watches for reading and that any
// thread can make readable without blocking: an eventfd on Linux, the read
// end of a pipe elsewhere. Signals coalesce: however many arrive before a
// drain, the loop sees one readable event.

#include <optional>
#include <string>

namespace torvan::platform {

class WakeFd {
public:
    // A new descriptor (non-blocking, closed on exec), or nothing with a
    // description of the system error in `error`.
    static std::optional<WakeFd> create(std::string& error);

    WakeFd(WakeFd&& other) noexcept;
    WakeFd& operator=(WakeFd&&) = delete;
    WakeFd(const WakeFd&) = delete;
    WakeFd& operator=(const WakeFd&) = delete;
    ~WakeFd();

    // The descriptor to watch for reading.
    int fd() const noexcept { return read_fd_; }

    // Makes the descriptor readable. Never blocks, takes no lock.
    void signal() const noexcept;

    // Consumes every signal so far: the descriptor is no longer readable.
    void drain() const noexcept;

private:
    WakeFd(int read_fd, int write_fd) noexcept : read_fd_(read_fd), write_fd_(write_fd) {}

    int read_fd_ = -1;
    int write_fd_ = -1;  // the same descriptor as read_fd_ for an eventfd
};

}  // namespace torvan::platform
