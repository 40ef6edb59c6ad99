// Blocking sends and receives: wake-ups by partners, by disconnection, and
// deadlines.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <vector>

#include "engine/engine.hpp"
#include "engine_test_support.hpp"

using namespace torvan::engine;
using engine_test::Counted;
using engine_test::Tally;
using engine_test::TestThread;
using torvan::platform::Deadline;
using torvan::platform::Duration;

namespace {

template <class T>
std::pair<Sender<T>, Receiver<T>> make(int capacity) {
    return capacity < 0 ? unbounded<T>() : bounded<T>(static_cast<std::size_t>(capacity));
}


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
