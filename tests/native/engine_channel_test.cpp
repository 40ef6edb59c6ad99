// One channel of each flavour: non-blocking outcomes, order, disconnection,
// item ownership and handle counts; blocking sends and receives woken by
// partners, by disconnection and by deadlines; timer and never-ready
// receivers; and item destructors that call back into the channel that
// destroys them (no engine lock may be held while they run).

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "core/failure.hpp"
#include "core/engine/engine.hpp"
#include "test_support.hpp"

using namespace torvan::engine;
using engine_test::make;
using engine_test::Counted;
using engine_test::Tally;
using engine_test::TestThread;
using torvan::platform::Deadline;
using torvan::platform::Duration;

TEST(EngineChannel, FifoAcrossWrapAroundAndBlocks) {
    // Capacity 3 wraps the ring many times; 100 items span several list blocks.
    for (int capacity : {3, -1}) {
        auto [tx, rx] = make<int>(capacity);
        int next_in = 0;
        int next_out = 0;
        for (int round = 0; round < 40; ++round) {
            for (int k = 0; k < 3; ++k) {
                int v = next_in;
                ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
                ++next_in;
            }
            if (capacity < 0) {
                EXPECT_EQ(rx.len(), 3u * static_cast<std::size_t>(round + 1));
                continue;  // unbounded: keep them all
            }
            EXPECT_EQ(rx.len(), 3u);
            std::optional<int> out;
            for (int k = 0; k < 3; ++k) {
                ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
                EXPECT_EQ(*out, next_out++);
            }
        }
        std::optional<int> out;
        while (rx.try_recv(out) == RecvStatus::Received) {
            EXPECT_EQ(*out, next_out++);
        }
        EXPECT_EQ(next_out, next_in);
        EXPECT_TRUE(rx.is_empty());
        EXPECT_EQ(rx.len(), 0u);
    }
}

TEST(EngineChannel, LastReceiverGoneRefusesSendsEvenWithRoom) {
    for (int capacity : {-1, 0, 5}) {
        auto [tx, rx] = make<int>(capacity);
        Receiver<int> rx2 = rx.clone();
        rx.reset();
        int v = 1;
        if (capacity != 0) {
            EXPECT_EQ(tx.try_send(v), SendStatus::Sent);  // a clone is still there
        }
        rx2.reset();
        v = 42;
        EXPECT_EQ(tx.try_send(v), SendStatus::Disconnected);
        EXPECT_EQ(tx.send(v), SendStatus::Disconnected);
        EXPECT_EQ(tx.send_until(v, torvan::platform::Deadline::never(), true), SendStatus::Disconnected);
        EXPECT_EQ(v, 42);
    }
}

TEST(EngineChannel, LastReceiverGoingDestroysBufferedItemsAtOnce) {
    for (int capacity : {-1, 150}) {
        Tally tally;
        auto [tx, rx] = make<Counted>(capacity);
        for (int i = 0; i < 100; ++i) {  // several blocks of the unbounded flavour
            Counted c(tally, i);
            ASSERT_EQ(tx.try_send(c), SendStatus::Sent);
        }
        std::optional<Counted> out;
        ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
        out.reset();
        EXPECT_EQ(tally.live(), 99);
        rx.reset();
        EXPECT_EQ(tally.live(), 0) << "capacity " << capacity;  // while a sender still exists
        Counted late(tally, 1000);
        EXPECT_EQ(tx.try_send(late), SendStatus::Disconnected);
        EXPECT_TRUE(late.engaged());
    }
}

TEST(EngineChannel, HugeCapacityIsRefusedWithBadAlloc) {
    EXPECT_THROW(bounded<int>(std::numeric_limits<std::size_t>::max()), std::bad_alloc);
    EXPECT_THROW(bounded<int>(std::numeric_limits<std::size_t>::max() / 8), std::bad_alloc);
    if (!engine_test::kSanitized) {
        // Representable, but far more than any machine can reserve.
        EXPECT_THROW(bounded<int>(std::size_t{1} << 55), std::bad_alloc);
    }
}

namespace {

constexpr int kFlavours[] = {-1, 0, 1, 4};

}  // namespace

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
            std::vector<std::unique_ptr<TestThread>> senders;
            for (int i = 0; i < 3; ++i) {
                senders.push_back(std::make_unique<TestThread>([&, s = tx.clone(), i] {
                    Counted item(tally, i);
                    if (s.send(item) == SendStatus::Disconnected && item.engaged() && item.value() == i) {
                        returned_items.fetch_add(1);
                    }
                }));
            }
            engine_test::let_others_sleep();
            rx.reset();
            for (auto& t : senders) {
                t->join_or_fail();
            }
            EXPECT_EQ(returned_items.load(), 3) << "capacity " << capacity;
        }
        EXPECT_EQ(tally.live(), 0);
    }
}

TEST(EngineBlocking, TimedOutRendezvousLeavesNoStaleRegistration) {
    // A receiver that timed out must not be picked by a later sender.
    auto [tx, rx] = bounded<int>(0);
    std::optional<int> out;
    EXPECT_EQ(rx.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::TimedOut);
    int v = 1;
    EXPECT_EQ(tx.try_send(v), SendStatus::Full);
    EXPECT_EQ(tx.send_until(v, Deadline::after(Duration::from_millis(5)), false), SendStatus::TimedOut);
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
}

TEST(EngineTimer, WaitEndsAtTheEarlierOfTheTwoDeadlines) {
    Receiver<Deadline> slow = after(Duration::from_seconds(60).value());
    std::optional<Deadline> out;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.recv_until(out, Deadline::after(Duration::from_millis(20)), false), RecvStatus::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(EngineTimer, OverflowingDurationGivesANeverReadyReceiver) {
    Receiver<Deadline> timer = after(Duration{UINT64_MAX, 999'999'999});
    std::optional<Deadline> out;
    EXPECT_EQ(timer.try_recv(out), RecvStatus::Empty);
    EXPECT_TRUE(timer.is_empty());
    EXPECT_EQ(timer.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::TimedOut);
}

namespace {

// Runs its hook when an engaged instance is destroyed.
class Reentrant {
public:
    explicit Reentrant(std::function<void()> hook) noexcept : hook_(std::move(hook)) {}
    Reentrant(Reentrant&& other) noexcept : hook_(std::exchange(other.hook_, nullptr)) {}
    Reentrant& operator=(Reentrant&& other) noexcept {
        std::function<void()> old = std::exchange(hook_, std::exchange(other.hook_, nullptr));
        if (old) {
            old();
        }
        return *this;
    }
    ~Reentrant() {
        if (hook_) {
            std::exchange(hook_, nullptr)();
        }
    }

private:
    std::function<void()> hook_;
};

// A hook that uses both handles of a channel without blocking.
std::function<void()> poke(const Sender<Reentrant>* tx, const Receiver<Reentrant>* rx, std::atomic<int>& calls) {
    return [tx, rx, &calls] {
        Reentrant nested(nullptr);
        tx->try_send(nested);  // Sent, Full or Disconnected: it must simply return
        std::optional<Reentrant> out;
        if (rx != nullptr) {
            rx->try_recv(out);
        }
        calls.fetch_add(1);
    };
}

}  // namespace

TEST(EngineCallback, DestructorsRunOutsideLocksOnAbandonedClaims) {
    for (int capacity : {-1, 0, 2}) {
        auto [tx, rx] = capacity < 0 ? unbounded<Reentrant>() : bounded<Reentrant>(static_cast<std::size_t>(capacity));
        std::atomic<int> calls{0};
        engine_test::TestThread sender([&, &tx = tx, &rx = rx] {
            Reentrant item(poke(&tx, &rx, calls));
            tx.send_until(item, Deadline::after(Duration::from_seconds(30).value()), false);
        });
        // The selected receive takes the item; dropping the operation destroys it.
        EXPECT_THROW(
            {
                Select sel;
                sel.add_recv(rx);
                SelectedOperation op = sel.select();
            },
            torvan::NativeFailure);
        sender.join_or_fail();
        EXPECT_EQ(calls.load(), 1) << "capacity " << capacity;
    }
}

TEST(EngineCallback, DiscardedItemsMaySendIntoTheirDisconnectedChannel) {
    auto [tx, rx] = unbounded<Reentrant>();
    std::atomic<int> calls{0};
    for (int i = 0; i < 40; ++i) {
        Reentrant item(poke(&tx, nullptr, calls));
        ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
    }
    rx.reset();  // destroys the 40 items here; each tries to send again
    EXPECT_EQ(calls.load(), 40);
}
