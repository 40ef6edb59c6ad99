#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "deadline_threads.hpp"
#include "lock/handle_lease.hpp"
#include "lock/lock_handle.hpp"

using torvan::lock::LeasedRef;
using torvan::lock::LockRef;
using torvan::testing::DeadlineThreads;

// Each test leases on threads of its own, so that caches start empty and the
// threads' ends hand them back.

TEST(HandleLease, OneHandleReferencePerThreadHandedBackWhenTheThreadEnds) {
    LockRef handle = LockRef::make();
    LeasedRef kept;
    DeadlineThreads thread;
    thread.spawn([&] {
        LeasedRef first = LeasedRef::on_this_thread(handle);
        kept = LeasedRef::on_this_thread(handle);
        EXPECT_EQ(&*first, &*handle);
        EXPECT_EQ(handle.use_count(), 2u);  // the lock's own and the thread's lease
        first.reset();
        EXPECT_EQ(handle.use_count(), 2u);  // still cached for the next guard
    });
    thread.join_all(std::chrono::seconds(30));
    EXPECT_EQ(handle.use_count(), 2u);  // the cache let go, the kept reference not
    kept.reset_elsewhere();             // dropped on another thread than its own
    EXPECT_EQ(handle.use_count(), 1u);
}

TEST(HandleLease, EvictedLeasesLiveAsLongAsTheirReferences) {
    LockRef handle = LockRef::make();
    std::vector<LockRef> others;
    for (int i = 0; i < 8; ++i) {
        others.push_back(LockRef::make());
    }
    DeadlineThreads thread;
    thread.spawn([&] {
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
    thread.join_all(std::chrono::seconds(30));
}
