#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>

#include "deadline_threads.hpp"
#include "map/shard_mutex.hpp"

using torvan::map::ShardMutex;
using torvan::testing::DeadlineThreads;

TEST(ShardMutex, TryLockFailsWhileHeld) {
    ShardMutex mutex;
    ASSERT_TRUE(mutex.try_lock());
    EXPECT_FALSE(mutex.try_lock());
    mutex.unlock();
    EXPECT_TRUE(mutex.try_lock());
    mutex.unlock();
}

// Unsynchronised read-modify-write inside the lock: any overlap of two
// holders loses increments (and ThreadSanitizer reports the race).
TEST(ShardMutex, MutualExclusionUnderContention) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    ShardMutex mutex;
    std::uint64_t counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    DeadlineThreads threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.spawn([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<ShardMutex> guard(mutex);
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) {
                    overlap = true;
                }
                std::uint64_t seen = counter;
                counter = seen + 1;
                inside.fetch_sub(1, std::memory_order_relaxed);
            }
        });
    }
    threads.join_all();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
}

// Holders that keep the lock long enough for waiters to exhaust their spin
// and park: every parked waiter must be woken by some unlock, or the test
// hangs and the deadline fails it.
TEST(ShardMutex, ParkedWaitersAreWoken) {
    constexpr int kThreads = 6;
    constexpr int kRounds = 300;
    ShardMutex mutex;
    int acquisitions = 0;
    DeadlineThreads threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.spawn([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<ShardMutex> guard(mutex);
                ++acquisitions;
                std::this_thread::yield();  // let the others run out of spins
            }
        });
    }
    threads.join_all();
    EXPECT_EQ(acquisitions, kThreads * kRounds);
    EXPECT_TRUE(mutex.try_lock()) << "left locked";
    mutex.unlock();
}

// A hand-over chain: each thread waits, parked, for a lock the previous
// holder releases exactly once. A lost wake-up leaves the chain stuck.
TEST(ShardMutex, NoLostWakeUpOnHandOver) {
    constexpr int kRounds = 2000;
    for (int round = 0; round < kRounds; ++round) {
        ShardMutex mutex;
        mutex.lock();
        std::atomic<bool> acquired{false};
        DeadlineThreads threads;
        threads.spawn([&] {
            mutex.lock();
            acquired = true;
            mutex.unlock();
        });
        if (round % 2 == 0) {
            std::this_thread::yield();  // sometimes let the waiter reach its park first
        }
        mutex.unlock();
        threads.join_all(std::chrono::seconds(30));
        ASSERT_TRUE(acquired.load());
    }
}
