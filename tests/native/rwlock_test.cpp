#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "binding/failure.hpp"
#include "deadline_threads.hpp"
#include "lock/raw_rwlock.hpp"
#include "lock/thread_reads.hpp"
#include "platform/park.hpp"

using torvan::NativeFailure;
using torvan::lock::RawRwLock;
using torvan::testing::DeadlineThreads;
namespace thread_reads = torvan::lock::thread_reads;

namespace {

constexpr auto kDeadline = std::chrono::seconds(30);

// Waits (yielding) until the condition holds; false after the deadline.
template <class Condition>
bool eventually(Condition condition) {
    auto until = std::chrono::steady_clock::now() + kDeadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        torvan::platform::yield_now();
    }
    return true;
}

}  // namespace

// Thousands of short critical sections from 4 threads: a broken exclusion
// shows as a violation (or a ThreadSanitizer report on the plain counter), a
// lost wake-up as a thread still asleep at the deadline.
TEST(RawRwLock, ManyShortCriticalSectionsExcludeAndAllFinish) {
    RawRwLock lock;
    std::atomic<int> readers_inside{0};
    std::atomic<int> writers_inside{0};
    std::atomic<int> violations{0};
    long counter = 0;  // guarded by the lock only
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    DeadlineThreads workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.spawn([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if (i % 4 == t) {
                    lock.lock_exclusive();
                    violations += writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0;
                    ++counter;
                    writers_inside.fetch_sub(1);
                    lock.unlock_exclusive();
                } else {
                    lock.lock_shared(i % 2 == 0 && t % 2 == 0);
                    readers_inside.fetch_add(1);
                    violations += writers_inside.load() != 0;
                    volatile long seen = counter;
                    (void)seen;
                    readers_inside.fetch_sub(1);
                    lock.unlock_shared();
                }
            }
        });
    }
    workers.join_all(kDeadline);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(counter, long{kRounds});
    EXPECT_EQ(lock.readers(), 0u);
    EXPECT_FALSE(lock.is_locked_exclusive());
    EXPECT_FALSE(lock.has_waiting_writer());
}

TEST(RawRwLock, ReadersHoldTheLockTogether) {
    RawRwLock lock;
    std::atomic<int> inside{0};
    std::atomic<bool> both_seen[2] = {false, false};
    DeadlineThreads workers;
    for (int t = 0; t < 2; ++t) {
        workers.spawn([&, t] {
            lock.lock_shared(false);
            inside.fetch_add(1);
            // Neither leaves before the other has entered.
            both_seen[t] = eventually([&] { return inside.load() == 2; });
            lock.unlock_shared();
        });
    }
    workers.join_all(kDeadline);
    EXPECT_TRUE(both_seen[0].load());
    EXPECT_TRUE(both_seen[1].load());
}

TEST(RawRwLock, WriterIsNotStarvedByAStreamOfReaders) {
    RawRwLock lock;
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    DeadlineThreads readers;
    // Two readers whose holds overlap, so that without writer preference the
    // lock would almost never be free.
    for (int t = 0; t < 2; ++t) {
        readers.spawn([&] {
            while (!stop.load()) {
                lock.lock_shared(false);
                reads.fetch_add(1);
                torvan::platform::yield_now();
                lock.unlock_shared();
            }
        });
    }
    ASSERT_TRUE(eventually([&] { return reads.load() > 100; }));
    DeadlineThreads writer;
    std::atomic<int> writes{0};
    writer.spawn([&] {
        for (int i = 0; i < 200; ++i) {
            lock.lock_exclusive();
            writes.fetch_add(1);
            lock.unlock_exclusive();
        }
    });
    writer.join_all(kDeadline);  // fails on the deadline if the writer starves
    stop = true;
    readers.join_all(kDeadline);
    EXPECT_EQ(writes.load(), 200);
}

TEST(RawRwLock, RecursiveReadPassesAWaitingWriterAndOnlyThat) {
    RawRwLock lock;
    ASSERT_TRUE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.try_lock_shared(true));  // a held writer refuses even recursive readers
    lock.unlock_exclusive();
    ASSERT_TRUE(lock.try_lock_shared(false));
    EXPECT_FALSE(lock.try_lock_exclusive());
    DeadlineThreads workers;
    std::atomic<bool> writer_in{false};
    workers.spawn([&] {
        lock.lock_exclusive();
        writer_in = true;
        lock.unlock_exclusive();
    });
    ASSERT_TRUE(eventually([&] { return lock.has_waiting_writer(); }));

    EXPECT_FALSE(lock.try_lock_shared(false));  // new readers queue behind the writer
    EXPECT_TRUE(lock.try_lock_shared(true));
    lock.lock_shared(true);  // would never return if it queued behind the writer
    EXPECT_EQ(lock.readers(), 3u);
    EXPECT_FALSE(writer_in.load());

    lock.unlock_shared();
    lock.unlock_shared();
    lock.unlock_shared();
    workers.join_all(kDeadline);
    EXPECT_TRUE(writer_in.load());
}

TEST(RawRwLock, ReaderCountOverflowIsANativeFailure) {
    RawRwLock almost_full(RawRwLock::PresetReaders{RawRwLock::kMaxReaders - 1});
    ASSERT_TRUE(almost_full.try_lock_shared(false));
    EXPECT_EQ(almost_full.readers(), RawRwLock::kMaxReaders);
    EXPECT_FALSE(almost_full.is_locked_exclusive());
    EXPECT_FALSE(almost_full.has_waiting_writer());

    for (bool recursive : {false, true}) {
        try {
            almost_full.try_lock_shared(recursive);
            ADD_FAILURE() << "no failure at the reader limit";
        } catch (const NativeFailure& failure) {
            EXPECT_STREQ(failure.what(), "RwLock reader count overflow");
        }
        EXPECT_THROW(almost_full.lock_shared(recursive), NativeFailure);
    }
    // Refused attempts leave the lock as it was.
    EXPECT_EQ(almost_full.readers(), RawRwLock::kMaxReaders);
    almost_full.unlock_shared();
    EXPECT_EQ(almost_full.readers(), RawRwLock::kMaxReaders - 1);
    EXPECT_FALSE(almost_full.is_locked_exclusive());
}

TEST(ThreadReads, CountsPerLockAndInTotalBeyondTheInlineEntries) {
    constexpr std::uint64_t kLocks = 9;  // more than fit inline
    for (std::uint64_t id = 1; id <= kLocks; ++id) {
        thread_reads::note_acquired(id);
        thread_reads::note_acquired(id);
    }
    for (std::uint64_t id = 1; id <= 3; ++id) {  // freeing inline entries must keep spilled ones findable
        thread_reads::note_released(id);
        thread_reads::note_released(id);
    }
    EXPECT_EQ(thread_reads::depth(), 2 * (kLocks - 3));
    EXPECT_EQ(thread_reads::held_on(2), 0u);
    EXPECT_EQ(thread_reads::held_on(kLocks), 2u);
    thread_reads::forget(kLocks, 5);  // no more than recorded
    EXPECT_EQ(thread_reads::held_on(kLocks), 0u);
    EXPECT_EQ(thread_reads::depth(), 2 * (kLocks - 4));
    for (std::uint64_t id = 4; id < kLocks; ++id) {
        thread_reads::note_released(id);
        thread_reads::note_released(id);
    }
    thread_reads::note_released(1);  // never below zero
    EXPECT_EQ(thread_reads::depth(), 0u);
}
