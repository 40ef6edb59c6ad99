// The lock's native core in both layouts (word only, with reader slots); per-thread read counts; handle leases.
// Interrupted waits are checked through RwLock, with real signals (test_process.py).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <vector>

#include "core/lock/handle_lease.hpp"
#include "core/lock/lock_handle.hpp"
#include "core/lock/raw_rwlock.hpp"
#include "core/lock/thread_reads.hpp"
#include "core/platform/thread.hpp"
#include "test_support.hpp"

using namespace engine_test;
using namespace torvan::lock;

// Readers counted in the lock word only (the channels' lock), or with reader slots (the RwLock's).
class RawRwLockTest : public ::testing::TestWithParam<bool> {
protected:
    ReaderSlots* slots() { return GetParam() ? &slots_ : nullptr; }
    ReaderSlots slots_;
};

INSTANTIATE_TEST_SUITE_P(Layouts, RawRwLockTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithReaderSlots" : "WordOnly"; });

// From 4 threads and more than there are reader slots: a broken exclusion shows as a violation, a lost wake as a hang.
TEST_P(RawRwLockTest, ManyShortCriticalSectionsExcludeAndAllFinish) {
    for (int threads : {4, int{ReaderSlots::kCount} + 4}) {
        RawRwLock lock(slots());
        std::atomic<int> readers_inside{0}, writers_inside{0}, violations{0};
        long counter = 0;  // guarded by the lock only
        constexpr int kRounds = 4000;
        DeadlineThreads workers;
        for (int t = 0; t < threads; ++t) {
            workers.spawn([&, t] {
                for (int i = 0; i < kRounds; ++i) {
                    if (i % 4 == t % 4) {
                        if (i % 8 != 0 || !lock.try_lock_exclusive()) {
                            lock.lock_exclusive();
                        }
                        violations += writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0;
                        ++counter;
                        writers_inside.fetch_sub(1);
                        lock.unlock_exclusive();
                    } else {
                        ReadTicket ticket = lock.lock_shared(i % 2 == 0 && t % 2 == 0);
                        readers_inside.fetch_add(1);
                        violations += writers_inside.load() != 0;
                        volatile long seen = counter;
                        (void)seen;
                        readers_inside.fetch_sub(1);
                        lock.unlock_shared(ticket);
                    }
                }
            });
        }
        workers.join_all();
        EXPECT_EQ(violations.load(), 0);
        EXPECT_EQ(counter, long{kRounds / 4} * threads);
        EXPECT_EQ(lock.readers(), 0u);
        EXPECT_FALSE(lock.is_locked_exclusive());
        EXPECT_FALSE(lock.has_waiting_writer());
    }
}

TEST_P(RawRwLockTest, RecursiveReadPassesAWaitingWriterAndOnlyThat) {
    RawRwLock lock(slots());
    ASSERT_TRUE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.try_lock_shared(true));  // a held writer refuses even recursive readers
    lock.unlock_exclusive();
    std::optional<ReadTicket> first = lock.try_lock_shared(false);
    ASSERT_TRUE(first);
    EXPECT_FALSE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.is_locked_exclusive());  // a refused try leaves nothing behind
    DeadlineThreads workers;
    std::atomic<bool> writer_in{false}, late_reader_after_writer{false};
    workers.spawn([&] {
        lock.lock_exclusive();
        writer_in = true;
        lock.unlock_exclusive();
    });
    ASSERT_TRUE(eventually([&] { return lock.has_waiting_writer(); }));
    workers.spawn([&] {  // queues (parks) behind the writer; its release wakes it
        ReadTicket ticket = lock.lock_shared(false);
        late_reader_after_writer = writer_in.load();
        lock.unlock_shared(ticket);
    });

    EXPECT_FALSE(lock.try_lock_shared(false));  // new readers queue behind the writer
    std::optional<ReadTicket> second = lock.try_lock_shared(true);
    ASSERT_TRUE(second);
    ReadTicket third = lock.lock_shared(true);  // would never return if it queued behind the writer
    // The queued reader's attempts count in its slot for a moment before it backs off.
    EXPECT_TRUE(eventually([&] { return lock.readers() == 3u; }));
    lock.unlock_shared(third);
    lock.unlock_shared(*second);
    engine_test::let_others_sleep();
    EXPECT_FALSE(writer_in.load());
    lock.unlock_shared(*first);
    workers.join_all();
    EXPECT_TRUE(writer_in.load());
    EXPECT_TRUE(late_reader_after_writer.load());
    EXPECT_EQ(lock.readers(), 0u);
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

// Reads of an entered guard released on another thread are noted for their owner until it collects them; a thread
// that has ended never collects, so nothing is kept for it, however many such threads come and go.
TEST(LockHandle, ReadsReleasedElsewhereAreKeptForLiveOwnersOnly) {
    LockRef handle = LockRef::make();
    std::atomic<std::uint64_t> live{0};
    std::atomic<bool> noted{false};
    DeadlineThreads threads;
    threads.spawn([&] {
        thread_reads::note_acquired(handle->id());
        live = torvan::platform::current_thread_id();
        ASSERT_TRUE(eventually([&] { return noted.load(); }));
        EXPECT_EQ(handle->take_foreign_releases(live), 2u);
        EXPECT_EQ(handle->take_foreign_releases(live), 0u);  // collected once
    });
    ASSERT_TRUE(eventually([&] { return live.load() != 0; }));
    handle->note_foreign_release(live);
    handle->note_foreign_release(live);
    EXPECT_EQ(handle->foreign_release_notes(), 1u);
    noted = true;
    threads.join_all();

    for (int i = 0; i < 3; ++i) {
        std::uint64_t ended = 0;
        threads.spawn([&] {
            thread_reads::note_acquired(handle->id());
            ended = torvan::platform::current_thread_id();
        });
        threads.join_all();
        handle->note_foreign_release(ended);
    }
    handle->note_foreign_release(live);  // ended too: the last note kept for it goes
    EXPECT_EQ(handle->foreign_release_notes(), 0u);
}

// Leases taken on threads of their own: caches start empty, and a thread's end hands its cache back.
TEST(HandleLease, OneReferencePerThreadAndEvictedLeasesLiveAsLongAsTheirReferences) {
    LockRef handle = LockRef::make();
    LeasedRef kept;
    DeadlineThreads threads;
    threads.spawn([&] {
        LeasedRef first = LeasedRef::on_this_thread(handle);
        kept = LeasedRef::on_this_thread(handle);
        EXPECT_EQ(&*first, &*handle);
        EXPECT_EQ(handle.use_count(), 2u);  // the lock's own and the thread's lease
        first.reset();
        EXPECT_EQ(handle.use_count(), 2u);  // still cached for the next guard
    });
    threads.join_all();
    EXPECT_EQ(handle.use_count(), 2u);  // the cache let go, the kept reference not
    kept.reset_elsewhere();             // dropped on another thread than its own
    EXPECT_EQ(handle.use_count(), 1u);

    std::vector<LockRef> others(8);
    std::generate(others.begin(), others.end(), [] { return LockRef::make(); });
    threads.spawn([&] {
        LeasedRef held = LeasedRef::on_this_thread(handle);
        for (const LockRef& other : others) {  // pushes it out of the cache
            LeasedRef::on_this_thread(other);
        }
        EXPECT_EQ(others.front().use_count(), 1u);  // evicted and unused: released
        EXPECT_EQ(others.back().use_count(), 2u);   // the most recent stays cached
        EXPECT_EQ(handle.use_count(), 2u);          // evicted, but still held
        LockRef waiting = held.handle_ref();
        handle = LockRef();  // the lock's own reference goes first
        held.reset();
        EXPECT_EQ(waiting.use_count(), 1u);
        EXPECT_TRUE(waiting->lock.try_lock_exclusive());
        waiting->lock.unlock_exclusive();
    });
    threads.join_all();
}
