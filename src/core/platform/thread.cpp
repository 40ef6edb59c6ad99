#include "core/platform/thread.hpp"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <pthread.h>
#include <unistd.h>

namespace torvan::platform {

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t must fit the handle field");

namespace {

std::atomic<std::uint64_t> g_next_thread_id{1};

void* thread_entry(void* raw) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
    (*body)();
    return nullptr;
}

pthread_t to_pthread(unsigned long handle) noexcept {
    pthread_t t{};
    std::memcpy(&t, &handle, sizeof(t));
    return t;
}

}  // namespace

std::uint64_t detail::draw_thread_id() noexcept {
    detail::t_thread_id = g_next_thread_id.fetch_add(1, std::memory_order_relaxed);  // a unique number only
    return detail::t_thread_id;
}

namespace {

// strerror_r comes in two forms: GNU's returns the text (which may be a
// static string, the buffer left alone), XSI's (macOS, and glibc without
// _GNU_SOURCE) fills the buffer and returns 0.
[[maybe_unused]] const char* strerror_text(const char* gnu_result, const char*) noexcept { return gnu_result; }
[[maybe_unused]] const char* strerror_text(int xsi_result, const char* buffer) noexcept {
    return xsi_result == 0 ? buffer : "unknown error";
}

// The stack size the system accepts for a request: whole pages, and no
// less than its minimum (macOS refuses anything else; 16 KiB pages there).
std::size_t usable_stack_size(std::size_t requested) noexcept {
    const long page = sysconf(_SC_PAGESIZE);
    std::size_t size = std::max<std::size_t>(requested, PTHREAD_STACK_MIN);
    if (page > 0) {
        const auto p = static_cast<std::size_t>(page);
        if (size % p != 0 && size <= SIZE_MAX - p) {
            size += p - size % p;
        }
    }
    return size;
}

}  // namespace

std::string describe_os_error(int code) {
    char buffer[256] = {};
    const char* text = strerror_text(strerror_r(code, buffer, sizeof buffer), buffer);
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

NativeThread::NativeThread(NativeThread&& other) noexcept : handle_(other.handle_), started_(other.started_) {
    other.started_ = false;
}

NativeThread& NativeThread::operator=(NativeThread&& other) noexcept {
    if (this != &other) {
        detach();
        handle_ = other.handle_;
        started_ = other.started_;
        other.started_ = false;
    }
    return *this;
}

NativeThread::~NativeThread() { detach(); }

std::optional<NativeThread> NativeThread::spawn(std::function<void()> body, std::size_t stack_size,
                                                std::string& error) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        error = describe_os_error(rc);
        return std::nullopt;
    }
    rc = pthread_attr_setstacksize(&attr, usable_stack_size(stack_size));
    if (rc != 0) {
        pthread_attr_destroy(&attr);
        error = describe_os_error(rc);
        return std::nullopt;
    }
    // The new thread inherits the signal mask in force here: block everything
    // while creating it, then restore this thread's own mask.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    pthread_t thread{};
    rc = pthread_create(&thread, &attr, thread_entry, owned.get());
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        error = describe_os_error(rc);
        return std::nullopt;
    }
    owned.release();  // the thread owns its body now
    NativeThread result;
    std::memcpy(&result.handle_, &thread, sizeof(thread));
    result.started_ = true;
    return result;
}

bool NativeThread::is_current() const noexcept {
    return started_ && pthread_equal(to_pthread(handle_), pthread_self()) != 0;
}

std::optional<std::string> NativeThread::join() noexcept {
    if (!started_) {
        return std::nullopt;
    }
    started_ = false;
    pthread_t thread = to_pthread(handle_);
    if (pthread_equal(thread, pthread_self()) != 0) {
        // Joining oneself would deadlock; report it as the system does.
        pthread_detach(thread);
        return describe_os_error(EDEADLK);
    }
    int rc = pthread_join(thread, nullptr);
    if (rc != 0) {
        pthread_detach(thread);
        return describe_os_error(rc);
    }
    return std::nullopt;
}

void NativeThread::detach() noexcept {
    if (started_) {
        started_ = false;
        pthread_detach(to_pthread(handle_));
    }
}

}  // namespace torvan::platform
