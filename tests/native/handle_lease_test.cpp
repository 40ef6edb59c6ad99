#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "lock/handle_lease.hpp"
#include "lock/lock_handle.hpp"

using torvan::lock::LeasedRef;
using torvan::lock::LockRef;

// Each test runs its leases on a thread of its own, so that the caches start
// empty and the thread's end hands them back. std::thread::join is bounded
// here: the bodies never wait for anything.

TEST(HandleLease, GuardsOfOneThreadShareOneHandleReference) {
    LockRef handle = LockRef::make();
    std::thread([&] {
        LeasedRef first = LeasedRef::on_this_thread(handle);
        LeasedRef second = LeasedRef::on_this_thread(handle);
        EXPECT_EQ(&*first, &*handle);
        EXPECT_EQ(&*second, &*handle);
        EXPECT_EQ(handle.use_count(), 2u);  // the lock's own and the thread's lease
        first.reset();
        second.reset();
        EXPECT_EQ(handle.use_count(), 2u);  // the lease stays cached for the next guard
    }).join();
    EXPECT_EQ(handle.use_count(), 1u);  // handed back when the thread ended
}

TEST(HandleLease, LeasesOutliveTheirThreadAndTheirCacheSlot) {
    LockRef handle = LockRef::make();
    LeasedRef kept;
    std::thread([&] { kept = LeasedRef::on_this_thread(handle); }).join();
    EXPECT_EQ(handle.use_count(), 2u);  // held by the lease the guard still holds
    kept.reset();                       // released on another thread
    EXPECT_EQ(handle.use_count(), 1u);

    std::vector<LockRef> others;
    for (int i = 0; i < 8; ++i) {
        others.push_back(LockRef::make());
    }
    std::thread([&] {
        LeasedRef held = LeasedRef::on_this_thread(handle);
        LeasedRef unheld = LeasedRef::on_this_thread(others[0]);
        unheld.reset();
        for (const LockRef& other : others) {  // pushes both out of the cache
            LeasedRef::on_this_thread(other);
        }
        EXPECT_EQ(others[0].use_count(), 1u);  // evicted by later ones
        EXPECT_EQ(others[7].use_count(), 2u);  // the most recent is still cached
        EXPECT_EQ(handle.use_count(), 2u);     // evicted, but the held reference keeps it
        EXPECT_EQ(held->id(), handle->id());
        held.reset();
        EXPECT_EQ(handle.use_count(), 1u);
    }).join();
    for (const LockRef& other : others) {
        EXPECT_EQ(other.use_count(), 1u);
    }
}

TEST(HandleLease, TheHandleLivesUntilItsLastReference) {
    LeasedRef guard_ref;
    LockRef waiting_ref;
    std::thread([&] {
        LockRef handle = LockRef::make();
        guard_ref = LeasedRef::on_this_thread(handle);
        waiting_ref = guard_ref.handle_ref();
    }).join();  // the lock's own reference and the thread's cache are gone
    EXPECT_EQ(waiting_ref.use_count(), 2u);
    EXPECT_TRUE(guard_ref->lock.try_lock_exclusive());
    guard_ref->lock.unlock_exclusive();
    guard_ref.reset();
    EXPECT_EQ(waiting_ref.use_count(), 1u);
    EXPECT_TRUE(waiting_ref->lock.try_lock_shared(false));
    waiting_ref->lock.unlock_shared();
}
