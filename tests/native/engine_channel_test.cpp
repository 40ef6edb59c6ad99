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

TEST(EngineChannel, BoundedOneFillsAndEmpties) {
    auto [tx, rx] = bounded<int>(1);
    int a = 1;
    int b = 2;
    EXPECT_EQ(tx.try_send(a), SendStatus::Sent);
    EXPECT_EQ(tx.try_send(b), SendStatus::Full);
    EXPECT_EQ(b, 2);
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
    EXPECT_FALSE(out.has_value());
    EXPECT_EQ(tx.try_send(b), SendStatus::Sent);
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 2);
}

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

TEST(EngineChannel, LenCapacityAndEmptiness) {
    auto [btx, brx] = bounded<int>(4);
    EXPECT_EQ(brx.capacity(), 4u);
    EXPECT_TRUE(brx.is_empty());
    int v = 7;
    btx.try_send(v);
    EXPECT_FALSE(brx.is_empty());
    EXPECT_EQ(brx.len(), 1u);

    auto [utx, urx] = unbounded<int>();
    EXPECT_EQ(urx.capacity(), std::nullopt);
    for (int i = 0; i < 70; ++i) {
        int x = i;
        utx.try_send(x);
    }
    EXPECT_EQ(urx.len(), 70u);

    auto [ztx, zrx] = bounded<int>(0);
    EXPECT_EQ(zrx.capacity(), 0u);
    EXPECT_TRUE(zrx.is_empty());
    EXPECT_EQ(zrx.len(), 0u);
}

TEST(EngineChannel, RendezvousWithoutPartnerIsFullOrEmpty) {
    auto [tx, rx] = bounded<int>(0);
    int v = 5;
    EXPECT_EQ(tx.try_send(v), SendStatus::Full);
    EXPECT_EQ(v, 5);
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
    EXPECT_TRUE(rx.is_empty());
}

TEST(EngineChannel, LastSenderGoneDrainsThenDisconnects) {
    for (int capacity : {-1, 5}) {
        auto [tx, rx] = make<int>(capacity);
        Sender<int> tx2 = tx.clone();
        for (int i = 0; i < 3; ++i) {
            int v = i;
            ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
        }
        tx.reset();
        std::optional<int> out;
        // A clone keeps the channel connected.
        EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
        tx2.reset();
        EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
        EXPECT_EQ(out, 1);
        EXPECT_EQ(rx.recv(out), RecvStatus::Received);
        EXPECT_EQ(out, 2);
        EXPECT_EQ(rx.try_recv(out), RecvStatus::Disconnected);
        EXPECT_EQ(rx.recv(out), RecvStatus::Disconnected);
        EXPECT_FALSE(out.has_value());
    }
    auto [ztx, zrx] = bounded<int>(0);
    ztx.reset();
    std::optional<int> out;
    EXPECT_EQ(zrx.try_recv(out), RecvStatus::Disconnected);
    EXPECT_EQ(zrx.recv(out), RecvStatus::Disconnected);
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

TEST(EngineChannel, FailedSendsLeaveTheItemWithTheCaller) {
    Tally tally;
    {
        auto [tx, rx] = bounded<Counted>(1);
        Counted a(tally, 1);
        Counted b(tally, 2);
        ASSERT_EQ(tx.try_send(a), SendStatus::Sent);
        EXPECT_FALSE(a.engaged());
        EXPECT_EQ(tx.try_send(b), SendStatus::Full);
        EXPECT_TRUE(b.engaged());
        EXPECT_EQ(tx.send_until(b, torvan::platform::Deadline::after(torvan::platform::Duration::from_millis(1)), false),
                  SendStatus::TimedOut);
        EXPECT_TRUE(b.engaged());
        auto [ztx, zrx] = bounded<Counted>(0);
        EXPECT_EQ(ztx.try_send(b), SendStatus::Full);
        EXPECT_EQ(ztx.send_until(b, torvan::platform::Deadline::after(torvan::platform::Duration::from_millis(1)), false),
                  SendStatus::TimedOut);
        EXPECT_TRUE(b.engaged());
        zrx.reset();
        EXPECT_EQ(ztx.send(b), SendStatus::Disconnected);
        EXPECT_TRUE(b.engaged());
        EXPECT_EQ(b.value(), 2);
    }
    EXPECT_EQ(tally.live(), 0);
    EXPECT_EQ(tally.created.load(), 2);
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

TEST(EngineChannel, BufferedItemsAreDestroyedWithTheLastHandle) {
    for (int capacity : {-1, 1, 7}) {
        Tally tally;
        {
            auto [tx, rx] = make<Counted>(capacity);
            const int n = capacity < 0 ? 45 : capacity;
            for (int i = 0; i < n; ++i) {
                Counted c(tally, i);
                ASSERT_EQ(tx.try_send(c), SendStatus::Sent);
            }
            std::optional<Counted> out;
            ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
            Counted refill(tally, 100);
            ASSERT_EQ(tx.try_send(refill), SendStatus::Sent);  // wraps the ring
            tx.reset();
            EXPECT_EQ(tally.live(), n + 1);
        }
        EXPECT_EQ(tally.live(), 0) << "capacity " << capacity;
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

TEST(EngineChannel, MovedFromHandlesAreANativeFailure) {
    auto [tx, rx] = bounded<int>(1);
    Sender<int> moved = std::move(tx);
    Receiver<int> moved_rx = std::move(rx);
    int v = 1;
    EXPECT_FALSE(tx);
    EXPECT_TRUE(moved);
    EXPECT_THROW(tx.try_send(v), torvan::NativeFailure);
    EXPECT_THROW(tx.clone(), torvan::NativeFailure);
    std::optional<int> out;
    EXPECT_THROW(rx.try_recv(out), torvan::NativeFailure);
    EXPECT_EQ(moved.try_send(v), SendStatus::Sent);
    EXPECT_EQ(moved_rx.try_recv(out), RecvStatus::Received);
}

TEST(EngineChannel, MoveAssignmentDropsTheOldHandle) {
    auto [tx1, rx1] = bounded<int>(1);
    auto [tx2, rx2] = bounded<int>(1);
    tx1 = std::move(tx2);  // the only sender of channel 1 goes
    std::optional<int> out;
    EXPECT_EQ(rx1.try_recv(out), RecvStatus::Disconnected);
    int v = 3;
    EXPECT_EQ(tx1.try_send(v), SendStatus::Sent);
    EXPECT_EQ(rx2.try_recv(out), RecvStatus::Received);
}

TEST(EngineChannel, SignalChannelOfEmptyValues) {
    auto [tx, rx] = bounded<Empty>(0);
    Receiver<Empty> clone = rx.clone();
    std::optional<Empty> out;
    EXPECT_EQ(clone.try_recv(out), RecvStatus::Empty);
    tx.reset();
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Disconnected);
    EXPECT_EQ(clone.recv(out), RecvStatus::Disconnected);
}

namespace {

constexpr int kFlavours[] = {-1, 0, 1, 4};

}  // namespace

TEST(EngineBlocking, ReceiverWakesForAnItem) {
    for (int capacity : kFlavours) {
        auto [tx, rx] = make<int>(capacity);
        std::optional<int> got;
        RecvStatus status = RecvStatus::Empty;
        TestThread receiver([&, &rx = rx] { status = rx.recv(got); });
        engine_test::let_others_sleep();
        int v = 11;
        EXPECT_EQ(tx.send(v), SendStatus::Sent);
        receiver.join_or_fail();
        EXPECT_EQ(status, RecvStatus::Received) << "capacity " << capacity;
        EXPECT_EQ(got, 11);
    }
}

TEST(EngineBlocking, SenderWaitsForRoomOrPartner) {
    for (int capacity : {0, 1}) {
        auto [tx, rx] = make<int>(capacity);
        std::atomic<int> sent{0};
        TestThread sender([&, &tx = tx] {
            for (int i = 0; i < 3; ++i) {
                int v = i;
                ASSERT_EQ(tx.send(v), SendStatus::Sent);
                sent.fetch_add(1);
            }
        });
        // Rendezvous: nothing completes before a receiver takes it; bounded(1): one fits.
        EXPECT_TRUE(engine_test::eventually([&] { return sent.load() >= capacity; }));
        engine_test::let_others_sleep();
        EXPECT_EQ(sent.load(), capacity) << "capacity " << capacity;
        std::optional<int> out;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(rx.recv(out), RecvStatus::Received);
            EXPECT_EQ(out, i);
        }
        sender.join_or_fail();
        EXPECT_EQ(sent.load(), 3);
    }
}

TEST(EngineBlocking, RendezvousSendReturnsOnlyOnceTaken) {
    auto [tx, rx] = bounded<int>(0);
    std::atomic<bool> returned{false};
    TestThread sender([&, &tx = tx] {
        int v = 5;
        EXPECT_EQ(tx.send(v), SendStatus::Sent);
        returned = true;
    });
    engine_test::let_others_sleep();
    EXPECT_FALSE(returned.load());
    std::optional<int> out;
    EXPECT_EQ(rx.recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 5);
    sender.join_or_fail();
    EXPECT_TRUE(returned.load());
}

TEST(EngineBlocking, LastSenderGoneWakesEveryBlockedReceiver) {
    for (int capacity : kFlavours) {
        auto [tx, rx] = make<int>(capacity);
        std::atomic<int> disconnected{0};
        std::vector<std::unique_ptr<TestThread>> receivers;
        for (int i = 0; i < 3; ++i) {
            receivers.push_back(std::make_unique<TestThread>([&, r = rx.clone()] {
                std::optional<int> out;
                if (r.recv(out) == RecvStatus::Disconnected && !out) {
                    disconnected.fetch_add(1);
                }
            }));
        }
        engine_test::let_others_sleep();
        tx.reset();
        for (auto& t : receivers) {
            t->join_or_fail();
        }
        EXPECT_EQ(disconnected.load(), 3) << "capacity " << capacity;
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

TEST(EngineBlocking, BufferedItemsReachBlockedReceiversBeforeDisconnection) {
    auto [tx, rx] = bounded<int>(8);
    for (int i = 0; i < 5; ++i) {
        int v = i;
        tx.try_send(v);
    }
    tx.reset();
    std::vector<int> got;
    std::optional<int> out;
    while (rx.recv(out) == RecvStatus::Received) {
        got.push_back(*out);
    }
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(EngineBlocking, DeadlinesExpire) {
    for (int capacity : kFlavours) {
        auto [tx, rx] = make<int>(capacity);
        const auto start = std::chrono::steady_clock::now();
        std::optional<int> out;
        EXPECT_EQ(rx.recv_until(out, Deadline::after(Duration::from_millis(30)), false), RecvStatus::TimedOut);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
        EXPECT_FALSE(out.has_value());
        if (capacity >= 0) {
            int v = 1;
            for (int i = 0; i < capacity; ++i) {
                int fill = i;
                ASSERT_EQ(tx.try_send(fill), SendStatus::Sent);
            }
            const auto send_start = std::chrono::steady_clock::now();
            EXPECT_EQ(tx.send_until(v, Deadline::after(Duration::from_millis(30)), true), SendStatus::TimedOut);
            EXPECT_GE(std::chrono::steady_clock::now() - send_start, std::chrono::milliseconds(30));
        }
    }
}

TEST(EngineBlocking, PassedDeadlineStillTriesOnce) {
    auto [tx, rx] = bounded<int>(1);
    const Deadline past = Deadline::at(0);
    int v = 3;
    EXPECT_EQ(tx.send_until(v, past, false), SendStatus::Sent);
    EXPECT_EQ(tx.send_until(v, past, false), SendStatus::TimedOut);
    std::optional<int> out;
    EXPECT_EQ(rx.recv_until(out, past, false), RecvStatus::Received);
    EXPECT_EQ(rx.recv_until(out, past, false), RecvStatus::TimedOut);
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

TEST(EngineTimer, DeliversItsDeadlineOnceAfterItPassed) {
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t before = torvan::platform::monotonic_now_ns();
    Receiver<Deadline> timer = after(Duration::from_millis(30));
    Receiver<Deadline> clone = timer.clone();
    std::optional<Deadline> out;
    EXPECT_EQ(timer.try_recv(out), RecvStatus::Empty);
    EXPECT_TRUE(timer.is_empty());
    EXPECT_EQ(timer.recv(out), RecvStatus::Received);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    ASSERT_TRUE(out);
    EXPECT_GE(out->ns(), before + 30'000'000u);
    // Clones share the single delivery.
    EXPECT_EQ(clone.try_recv(out), RecvStatus::Empty);
    EXPECT_EQ(timer.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::TimedOut);
    EXPECT_TRUE(timer.is_empty());
}

TEST(EngineTimer, ZeroDurationIsReadyAtOnce) {
    Receiver<Deadline> timer = after(Duration{});
    EXPECT_FALSE(timer.is_empty());
    EXPECT_EQ(timer.len(), 1u);
    std::optional<Deadline> out;
    EXPECT_EQ(timer.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(timer.try_recv(out), RecvStatus::Empty);
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

TEST(EngineTimer, NeverIsNeverReadyNorDisconnected) {
    Receiver<int> nothing = never<int>();
    Receiver<int> clone = nothing.clone();
    std::optional<int> out;
    EXPECT_EQ(nothing.try_recv(out), RecvStatus::Empty);
    EXPECT_EQ(clone.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::TimedOut);
    EXPECT_EQ(nothing.capacity(), 0u);
    Select sel;
    sel.add_recv(nothing);
    EXPECT_FALSE(sel.select_timeout(Duration::from_millis(5)));
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

TEST(EngineCallback, ReplacedOutputRunsItsDestructorOutsideLocks) {
    for (int capacity : {-1, 0, 2}) {
        auto [tx, rx] = capacity < 0 ? unbounded<Reentrant>() : bounded<Reentrant>(static_cast<std::size_t>(capacity));
        std::atomic<int> calls{0};
        std::optional<Reentrant> out;
        out.emplace(poke(&tx, &rx, calls));
        // The receive empties `out` first; its destructor uses the channel.
        EXPECT_NE(rx.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::Disconnected);
        EXPECT_EQ(calls.load(), 1);
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

TEST(EngineCallback, DestructorsMayDropTheLastHandles) {
    // Items own the last senders of their channel: dropping the receiver
    // destroys them, which disconnects and finally frees the channel.
    for (int capacity : {-1, 3}) {
        auto [tx, rx] = capacity < 0 ? unbounded<Reentrant>() : bounded<Reentrant>(static_cast<std::size_t>(capacity));
        std::atomic<int> dropped{0};
        for (int i = 0; i < 3; ++i) {
            auto owned = std::make_shared<Sender<Reentrant>>(tx.clone());
            Reentrant item([owned, &dropped]() mutable {
                owned.reset();
                dropped.fetch_add(1);
            });
            ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
        }
        tx.reset();
        rx.reset();
        EXPECT_EQ(dropped.load(), 3) << "capacity " << capacity;
    }
}
