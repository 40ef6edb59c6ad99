#pragma once
// Threads for tests that must fail, not hang, when the code under test
// deadlocks: join_all() waits for every thread until a deadline, and a thread
// still running then fails the test and ends the process (its stack may
// still be used by the hung thread, so returning would be unsafe).

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace torvan::testing {

class DeadlineThreads {
public:
    DeadlineThreads() = default;
    DeadlineThreads(const DeadlineThreads&) = delete;
    DeadlineThreads& operator=(const DeadlineThreads&) = delete;
    ~DeadlineThreads() {
        if (!threads_.empty()) {
            join_all();
        }
    }

    void spawn(std::function<void()> body) {
        threads_.emplace_back([this, body = std::move(body)] {
            body();
            std::lock_guard<std::mutex> lock(mutex_);
            ++finished_;
            done_.notify_all();
        });
    }

    void join_all(std::chrono::seconds timeout = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(mutex_);
        bool all = done_.wait_for(lock, timeout, [&] { return finished_ == threads_.size(); });
        lock.unlock();
        if (!all) {
            ADD_FAILURE() << "threads still running after " << timeout.count() << "s: probable deadlock";
            std::fflush(stdout);
            std::fflush(stderr);
            std::_Exit(1);
        }
        for (auto& thread : threads_) {
            thread.join();  // finished: returns at once
        }
        threads_.clear();
        finished_ = 0;
    }

private:
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable done_;
    std::size_t finished_ = 0;
};

}  // namespace torvan::testing
