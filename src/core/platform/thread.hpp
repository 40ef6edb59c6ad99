#pragma once
// Operating-system threads with a chosen stack size, and per-thread identifiers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace torvan::platform {

namespace detail {
// The calling thread's number once drawn; 0 before. Initial-exec TLS keeps
// the check that every thread-bound call makes free of calls.
inline thread_local std::uint64_t t_thread_id __attribute__((tls_model("initial-exec"))) = 0;
std::uint64_t draw_thread_id() noexcept;
}  // namespace detail

// A stable, process-unique number for the calling thread (never 0).
inline std::uint64_t current_thread_id() noexcept {
    std::uint64_t id = detail::t_thread_id;
    return id != 0 ? id : detail::draw_thread_id();
}

// An owned, joinable operating-system thread. Threads started here block
// asynchronous signals, so that signals are delivered to interpreter threads.
class NativeThread {
public:
    NativeThread() noexcept = default;
    NativeThread(NativeThread&& other) noexcept;
    NativeThread& operator=(NativeThread&& other) noexcept;
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;
    // An owned thread still running when its handle goes is detached, never joined.
    ~NativeThread();

    // Starts `body` on a new thread with the given stack size. On failure
    // returns nothing and stores a description of the system error in `error`.
    static std::optional<NativeThread> spawn(std::function<void()> body, std::size_t stack_size,
                                             std::string& error);

    bool joinable() const noexcept { return started_; }
    // True when called on the thread this handle refers to.
    bool is_current() const noexcept;
    // Waits for the thread to end. Returns a description of the system error
    // if it cannot be joined (for example when a thread tries to join itself);
    // the handle is released either way.
    std::optional<std::string> join() noexcept;
    // Lets the thread run on without an owner.
    void detach() noexcept;
    // Forgets a thread that no longer exists (in a child process after fork,
    // where only the forking thread lives on) without touching the system.
    void abandon() noexcept { started_ = false; }

private:
    unsigned long handle_ = 0;  // pthread_t
    bool started_ = false;
};

// Description of an errno value, as the system words it.
std::string describe_os_error(int code);

}  // namespace torvan::platform
