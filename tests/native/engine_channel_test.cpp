// One channel of each flavour: order, disconnection, item ownership, timers, item destructors that call back into
// their channel (no engine lock may be held then), a select that would pair with itself. (Selected operations are
// always completed by the module: their abandonment is no user's path.)

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "core/engine/block_cache.hpp"
#include "core/engine/engine.hpp"
#include "test_support.hpp"

using namespace torvan::engine;
using namespace engine_test;
using namespace torvan::platform;

TEST(EngineChannel, FifoAcrossWrapAroundAndBlocks) {
    // Capacity 3 wraps the ring many times; 120 items span several list blocks.
    for (int capacity : {3, -1}) {
        auto [tx, rx] = make<int>(capacity);
        int next_in = 0, next_out = 0;
        std::optional<int> out;
        for (int round = 0; round < 40; ++round) {
            for (int k = 0; k < 3; ++k) {
                int v = next_in++;
                ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
            }
            EXPECT_EQ(rx.len(), capacity < 0 ? 3u * static_cast<std::size_t>(round + 1) : 3u);
            for (int k = 0; capacity > 0 && k < 3; ++k) {
                ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
                EXPECT_EQ(*out, next_out++);
            }
        }
        while (rx.try_recv(out) == RecvStatus::Received) {
            EXPECT_EQ(*out, next_out++);
        }
        EXPECT_EQ(next_out, next_in);
        EXPECT_TRUE(rx.is_empty());
        EXPECT_EQ(rx.len(), 0u);
    }
}

// A thread's own sends tell its receives how far the tail got, on that channel only (also one in a freed one's
// memory): trusted wrongly, a receive waits forever.
TEST(EngineChannel, OwnSendsVouchOnlyForTheirChannel) {
    TestThread([] {
        std::optional<int> out;
        for (int round = 0; round < 8; ++round) {
            auto [tx, rx] = make<int>(-1);
            auto [other_tx, other_rx] = make<int>(-1);
            for (int i = 0; i < 40; ++i) {  // past a block's end
                int v = i;
                ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
                EXPECT_EQ(other_rx.try_recv(out), RecvStatus::Empty);
                ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
                EXPECT_EQ(*out, i);
                EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
            }
        }
    }).join_or_fail();
}

// Blocks freed on one thread reach another whole: the chains a thread passes on while freeing, and those it holds
// when it ends. None is handed out twice.
TEST(EngineChannel, FreedBlocksReachOtherThreadsOnceEach) {
    using Cache = torvan::engine::detail::BlockCache<200>;  // a size no channel uses
    constexpr std::size_t kBlocks = Cache::kChainLength * 4;
    std::vector<void*> made;
    for (std::size_t i = 0; i < kBlocks; ++i) {
        made.push_back(Cache::allocate());
    }
    TestThread([&made] {
        for (void* block : made) {
            Cache::release(block);
        }
    }).join_or_fail();
    const std::set<void*> freed(made.begin(), made.end());
    std::set<void*> again;
    for (std::size_t i = 0; i < kBlocks; ++i) {
        void* block = Cache::allocate();
        EXPECT_TRUE(freed.count(block)) << "block " << i << " did not come from the other thread";
        EXPECT_TRUE(again.insert(block).second) << "block " << i << " handed out twice";
    }
    for (void* block : again) {
        Cache::release(block);
    }
}

namespace kept_test {
// An item whose receive may leave a copy in the slot, as an item type may.
struct Kept {
    std::shared_ptr<int> ref;
    bool keep = true;
};
Kept take_from_slot(Kept& item) noexcept { return item.keep ? Kept(item) : Kept(std::move(item)); }
bool left_in_slot(const Kept& item) noexcept { return item.ref != nullptr; }
}  // namespace kept_test

// What receives leave in an unbounded channel's slots goes when senders reuse the blocks, and all of it with the
// channel, whichever handle goes last.
TEST(EngineChannel, WhatReceivesLeaveIsReleasedOnceAndNeverPilesUp) {
    using kept_test::Kept;
    auto token = std::make_shared<int>(0);
    constexpr long kMostKept = 1 + (1 + 4) * 32;  // the block in use and four spares
    for (bool receivers_go_first : {true, false}) {
        for (int buffered : {0, 40}) {
            auto [tx, rx] = make<Kept>(-1);
            std::optional<Kept> out;
            for (int i = 0; i < 1000; ++i) {
                Kept item{token, i % 3 != 0};  // slots that keep and slots that don't, side by side
                ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
                ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
                EXPECT_EQ(out->ref, token);
                out.reset();
                ASSERT_LE(token.use_count(), kMostKept) << "item " << i;
            }
            for (int i = 0; i < 100; ++i) {  // blocks go faster than senders take them
                Kept item{token, i % 2 == 0};
                ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
            }
            while (rx.try_recv(out) == RecvStatus::Received) {
                out.reset();
            }
            EXPECT_LE(token.use_count(), kMostKept);
            for (int i = 0; i < buffered; ++i) {
                Kept item{token};
                ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
            }
            if (receivers_go_first) {
                rx.reset();  // the buffered items go now, the rest with the channel
                EXPECT_LE(token.use_count(), kMostKept);
                tx.reset();
            } else {
                tx.reset();
                rx.reset();
            }
            EXPECT_EQ(token.use_count(), 1) << receivers_go_first << " " << buffered;
        }
    }
}

TEST(EngineBlocking, LastReceiverGoneWakesBlockedSendersWithTheirItems) {
    for (int capacity : {0, 1}) {
        Tally tally;
        {
            auto [tx, rx] = make<Counted>(capacity);
            if (capacity == 1) {
                Counted filler(tally, -1);
                ASSERT_EQ(tx.try_send(filler), SendStatus::Sent);
            }
            std::atomic<int> returned_items{0};
            engine_test::DeadlineThreads senders;
            for (int i = 0; i < 3; ++i) {
                senders.spawn([&, s = tx.clone(), i] {
                    Counted item(tally, i);
                    if (s.send(item) == SendStatus::Disconnected && item.engaged() && item.value() == i) {
                        returned_items.fetch_add(1);
                    }
                });
            }
            engine_test::let_others_sleep();
            rx.reset();
            senders.join_all();
            EXPECT_EQ(returned_items.load(), 3) << "capacity " << capacity;
        }
        EXPECT_EQ(tally.load(), 0);
    }
}

TEST(EngineTimer, WaitEndsAtTheEarlierDeadlineAndAnOverflowNeverFires) {
    Receiver<Deadline> slow = after(Duration::from_seconds(60).value());
    std::optional<Deadline> out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.recv_until(out, Deadline::after(Duration::from_millis(20)), false), RecvStatus::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));

    Receiver<Deadline> never = after(Duration{UINT64_MAX, 999'999'999});
    EXPECT_EQ(never.try_recv(out), RecvStatus::Empty);
    EXPECT_TRUE(never.is_empty());
    EXPECT_EQ(never.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::TimedOut);
}

namespace {

// An item whose destruction runs a hook (a moved-from item runs none).
using Reentrant = std::unique_ptr<int, std::function<void(int*)>>;

// One that sends on its channel, without blocking, when destroyed.
Reentrant poking(const Sender<Reentrant>* tx, std::atomic<int>& calls) {
    return Reentrant(new int(0), [tx, &calls](int* p) {
        delete p;
        Reentrant nested;
        tx->try_send(nested);  // Sent, Full or Disconnected: it must simply return
        calls.fetch_add(1);
    });
}

}  // namespace

// Items discarded as the last receiver goes (several blocks, or a full buffer) may send on their channel.
TEST(EngineCallback, DestructorsOfDiscardedItemsMayUseTheirChannel) {
    for (int capacity : {-1, 2}) {
        auto [tx, rx] = make<Reentrant>(capacity);
        std::atomic<int> calls{0};
        const int buffered = capacity < 0 ? 40 : capacity;
        for (int i = 0; i < buffered; ++i) {
            Reentrant item = poking(&tx, calls);
            ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
        }
        rx.reset();  // destroys them here; each tries to send again
        EXPECT_EQ(calls.load(), buffered) << "capacity " << capacity;
    }
}

// A select may not pair a rendezvous channel's send with its own receive.
TEST(EngineSelect, NothingPairsWithItself) {
    auto [tx, rx] = bounded<int>(0);
    Select both;
    both.add_send(tx);
    both.add_recv(rx);
    EXPECT_EQ(both.select_until(Deadline::after(Duration::from_millis(20)), false).status, SelectStatus::TimedOut);
}
