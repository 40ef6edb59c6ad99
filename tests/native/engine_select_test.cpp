// The selector: readiness of each kind of operation, random choice among
// ready operations, waiting, timeouts, and the contract of a selected
// operation.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>

#include "core/failure.hpp"
#include "core/engine/engine.hpp"
#include "test_support.hpp"

using namespace torvan::engine;
using engine_test::Counted;
using engine_test::Tally;
using engine_test::TestThread;
using torvan::platform::Deadline;
using torvan::platform::Duration;

TEST(EngineSelect, WakesWhenRoomOpensAndLeavesNoRegistrationBehind) {
    auto [tx, rx] = bounded<int>(1);
    auto [idle_tx, idle_rx] = bounded<int>(0);
    int filler = 1;
    ASSERT_EQ(tx.try_send(filler), SendStatus::Sent);
    SendStatus status = SendStatus::Full;
    TestThread waiter([&, &tx = tx, &idle_rx = idle_rx] {
        Select sel;
        sel.add_recv(idle_rx);
        sel.add_send(tx);
        SelectedOperation op = sel.select();
        EXPECT_EQ(op.index(), 1u);
        int v = 2;
        status = op.send(tx, v);
    });
    engine_test::let_others_sleep();
    std::optional<int> out;
    ASSERT_EQ(rx.recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 1);
    waiter.join_or_fail();
    EXPECT_EQ(status, SendStatus::Sent);
    ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 2);
    int v = 3;
    EXPECT_EQ(idle_tx.try_send(v), SendStatus::Full);  // the waiter's receive is unregistered
}

TEST(EngineSelect, RendezvousSelectPairsWithAnotherSelect) {
    auto [tx, rx] = bounded<int>(0);
    constexpr int kRounds = 200;
    TestThread sending([&, &tx = tx] {
        for (int i = 0; i < kRounds; ++i) {
            Select sel;
            sel.add_send(tx);
            SelectedOperation op = sel.select();
            int v = i;
            EXPECT_EQ(op.send(tx, v), SendStatus::Sent);
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        Select sel;
        sel.add_recv(rx);
        SelectedOperation op = sel.select();
        std::optional<int> out;
        ASSERT_EQ(op.recv(rx, out), RecvStatus::Received);
        ASSERT_EQ(out, i);
    }
    sending.join_or_fail();
}

TEST(EngineSelect, SendAndReceiveOnOneRendezvousNeverPairWithThemselves) {
    auto [tx, rx] = bounded<int>(0);
    Select sel;
    sel.add_send(tx);
    sel.add_recv(rx);
    EXPECT_EQ(sel.select_until(Deadline::after(Duration::from_millis(20)), false).status, SelectStatus::TimedOut);
}

TEST(EngineSelect, TwoReadyOperationsAreChosenAboutEqually) {
    const int rounds = engine_test::scaled(4000, 2000);
    auto [tx1, rx1] = unbounded<int>();
    auto [tx2, rx2] = bounded<int>(static_cast<std::size_t>(rounds));
    for (int i = 0; i < rounds; ++i) {
        int a = i;
        int b = i;
        tx1.try_send(a);
        tx2.try_send(b);
    }
    int first = 0;
    for (int i = 0; i < rounds; ++i) {
        Select sel;
        sel.add_recv(rx1);
        sel.add_recv(rx2);
        SelectedOperation op = sel.select();
        std::optional<int> out;
        if (op.index() == 0) {
            ++first;
            ASSERT_EQ(op.recv(rx1, out), RecvStatus::Received);
        } else {
            ASSERT_EQ(op.recv(rx2, out), RecvStatus::Received);
        }
    }
    EXPECT_GT(first, rounds * 3 / 10);
    EXPECT_LT(first, rounds * 7 / 10);
}

TEST(EngineSelect, AbandonedBoundedSendLeavesNoGap) {
    auto [tx, rx] = bounded<int>(2);
    int v = 1;
    tx.try_send(v);
    EXPECT_THROW(
        {
            Select sel;
            sel.add_send(tx);
            SelectedOperation op = sel.select();  // reserves the second slot, then is dropped
        },
        torvan::NativeFailure);
    // Receivers skip the abandoned slot instead of waiting for it, and the
    // channel keeps its full capacity and order afterwards.
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 1);
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
    for (int i = 2; i < 4; ++i) {
        int w = i;
        EXPECT_EQ(tx.try_send(w), SendStatus::Sent);
    }
    int extra = 9;
    EXPECT_EQ(tx.try_send(extra), SendStatus::Full);
    for (int i = 2; i < 4; ++i) {
        EXPECT_EQ(rx.recv_until(out, Deadline::after(Duration::from_seconds(10).value()), false), RecvStatus::Received);
        EXPECT_EQ(out, i);
    }
}

TEST(EngineSelect, AbandonedRendezvousSendReleasesTheWaitingReceiver) {
    auto [tx, rx] = bounded<int>(0);
    std::optional<int> got;
    RecvStatus status = RecvStatus::Empty;
    TestThread receiver([&, &rx = rx] { status = rx.recv_until(got, Deadline::after(Duration::from_seconds(30).value()), false); });
    // Wait until the receiver is registered: then a selected send pairs with it.
    bool abandoned = false;
    while (!abandoned) {
        try {
            Select sel;
            sel.add_send(tx);
            MaybeSelected op = sel.select_timeout(Duration{});
            if (!op) {
                std::this_thread::yield();
                continue;
            }
            abandoned = true;  // dropped here, paired but never completed
        } catch (const torvan::NativeFailure&) {
        }
    }
    // The receiver went back to waiting and takes the next item.
    int v = 31;
    EXPECT_EQ(tx.send(v), SendStatus::Sent);
    receiver.join_or_fail();
    EXPECT_EQ(status, RecvStatus::Received);
    EXPECT_EQ(got, 31);
}

TEST(EngineSelect, AbandonedRendezvousSendReleasesAClaimingReceiver) {
    // The receiver claims a selecting sender and waits for its item; the
    // sender's selection is dropped, so the receiver looks again.
    auto [tx, rx] = bounded<int>(0);
    std::atomic<bool> stop{false};
    TestThread selecting_sender([&, &tx = tx] {
        while (!stop.load()) {
            try {
                Select sel;
                sel.add_send(tx);
                MaybeSelected op = sel.select_timeout(Duration::from_millis(5));
            } catch (const torvan::NativeFailure&) {
            }
        }
    });
    std::optional<int> out;
    for (int i = 0; i < 50; ++i) {
        EXPECT_NE(rx.recv_until(out, Deadline::after(Duration::from_millis(1)), false), RecvStatus::Received);
    }
    stop = true;
    selecting_sender.join_or_fail();
    EXPECT_FALSE(out.has_value());
}

TEST(EngineSelect, InterruptedOrTimedOutWaitDoesNotStealLaterItems) {
    auto [tx, rx] = bounded<int>(0);
    Select sel;
    sel.add_recv(rx);
    EXPECT_EQ(sel.select_until(Deadline::after(Duration::from_millis(5)), true).status, SelectStatus::TimedOut);
    int v = 1;
    EXPECT_EQ(tx.try_send(v), SendStatus::Full);  // no stale registration to pair with
}
