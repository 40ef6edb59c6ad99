#pragma once
// Helpers shared by the native tests: threads joined with a deadline, channels of each flavour, counted items.

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "core/engine/engine.hpp"

namespace engine_test {

#ifdef TORVAN_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Picks the smaller size in sanitizer builds.
constexpr int scaled(int normal, int sanitized) { return kSanitized ? sanitized : normal; }

inline constexpr std::chrono::seconds kJoinTimeout{60};

// A thread that must finish before a deadline; one still running then (on the test's stack) aborts the binary.
class TestThread {
public:
    template <class Body>
    explicit TestThread(Body body) {
        std::promise<void> finished;
        done_ = finished.get_future();
        thread_ = std::thread([body = std::move(body), finished = std::move(finished)]() mutable {
            body();
            finished.set_value();
        });
    }
    TestThread(const TestThread&) = delete;
    TestThread& operator=(const TestThread&) = delete;
    ~TestThread() { join_or_fail(); }

    void join_or_fail(std::chrono::milliseconds timeout = kJoinTimeout) {
        if (!thread_.joinable()) {
            return;
        }
        if (done_.wait_for(timeout) != std::future_status::ready) {
            ADD_FAILURE() << "a test thread did not finish within " << timeout.count() << " ms; aborting";
            std::abort();
        }
        thread_.join();
    }

    std::thread::native_handle_type native_handle() { return thread_.native_handle(); }

private:
    std::thread thread_;
    std::future<void> done_;
};

// Threads started one by one and joined together within one deadline.
class DeadlineThreads {
public:
    template <class Body>
    void spawn(Body body) {
        threads_.push_back(std::make_unique<TestThread>(std::move(body)));
    }
    void join_all(std::chrono::milliseconds timeout = kJoinTimeout) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        for (auto& thread : threads_) {
            thread->join_or_fail(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
        }
        threads_.clear();
    }

private:
    std::vector<std::unique_ptr<TestThread>> threads_;
};

// A channel of each flavour: a negative capacity makes it unbounded.
template <class T>
std::pair<torvan::engine::Sender<T>, torvan::engine::Receiver<T>> make(int capacity) {
    return capacity < 0 ? torvan::engine::unbounded<T>() : torvan::engine::bounded<T>(static_cast<std::size_t>(capacity));
}

// Makes the sleeping paths likely; no outcome depends on it.
inline void let_others_sleep() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

// Waits (polling, with a deadline) until `condition` holds; false on timeout.
template <class Condition>
bool eventually(Condition&& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

extern "C" inline void ignore_signal(int) {}

// SIGUSR1 with a handler that does nothing, without SA_RESTART: a sleeping system call sees EINTR.
inline void install_interrupting_signal() {
    struct sigaction action {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
}

// Live Counted items.
using Tally = std::atomic<long>;

// A move-only item counting engaged instances: every created item must be destroyed exactly once.
class Counted {
public:
    Counted(Tally& tally, int value) noexcept : tally_(&tally), value_(value) { tally_->fetch_add(1); }
    Counted(Counted&& other) noexcept : tally_(std::exchange(other.tally_, nullptr)), value_(other.value_) {}
    Counted& operator=(Counted&& other) noexcept {  // the old item goes with `other`
        std::swap(tally_, other.tally_);
        std::swap(value_, other.value_);
        return *this;
    }
    ~Counted() {
        if (tally_ != nullptr) {
            tally_->fetch_sub(1);
        }
    }

    int value() const noexcept { return value_; }
    bool engaged() const noexcept { return tally_ != nullptr; }

private:
    Tally* tally_;
    int value_;
};

}  // namespace engine_test
