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

TEST(EngineSelect, IndicesCountFromZero) {
    auto [tx, rx] = bounded<int>(1);
    auto timer = after(Duration::from_millis(1));
    Select sel;
    EXPECT_EQ(sel.add_recv(rx), 0u);
    EXPECT_EQ(sel.add_send(tx), 1u);
    EXPECT_EQ(sel.add_recv(timer), 2u);
    EXPECT_EQ(sel.size(), 3u);
}

TEST(EngineSelect, PicksTheReadyReceiveAndDeliversItsItem) {
    auto [tx1, rx1] = unbounded<int>();
    auto [tx2, rx2] = bounded<int>(2);
    int v = 9;
    tx2.try_send(v);
    Select sel;
    sel.add_recv(rx1);
    sel.add_recv(rx2);
    SelectedOperation op = sel.select();
    ASSERT_EQ(op.index(), 1u);
    std::optional<int> out;
    EXPECT_EQ(op.recv(rx2, out), RecvStatus::Received);
    EXPECT_EQ(out, 9);
    EXPECT_TRUE(rx2.is_empty());  // the selection took the item
}

TEST(EngineSelect, SendOperationsOnEachFlavour) {
    auto [utx, urx] = unbounded<int>();
    auto [btx, brx] = bounded<int>(1);
    int v = 1;
    ASSERT_EQ(btx.try_send(v), SendStatus::Sent);  // full
    auto [ztx, zrx] = bounded<int>(0);              // nobody waiting

    Select sel;
    sel.add_send(btx);
    sel.add_send(ztx);
    sel.add_send(utx);  // the only ready one
    SelectedOperation op = sel.select();
    ASSERT_EQ(op.index(), 2u);
    int item = 77;
    EXPECT_EQ(op.send(utx, item), SendStatus::Sent);
    std::optional<int> out;
    EXPECT_EQ(urx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 77);

    // Room in the bounded channel makes its send ready; the slot is reserved
    // by the selection, so a plain try_send finds the channel full.
    ASSERT_EQ(brx.try_recv(out), RecvStatus::Received);
    Select bsel;
    bsel.add_send(btx);
    SelectedOperation bop = bsel.select();
    int other = 5;
    EXPECT_EQ(btx.try_send(other), SendStatus::Full);
    int selected_item = 6;
    EXPECT_EQ(bop.send(btx, selected_item), SendStatus::Sent);
    EXPECT_EQ(brx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 6);
}

TEST(EngineSelect, ZeroTimeoutChecksOnceAndTimesOut) {
    auto [tx, rx] = bounded<int>(0);
    auto [tx2, rx2] = unbounded<int>();
    Select sel;
    sel.add_recv(rx);
    sel.add_send(tx);
    sel.add_recv(rx2);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(sel.select_timeout(Duration{}));
    EXPECT_TRUE(sel.select_timeout(Duration{}) == std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(sel.select_until(Deadline::after(Duration::from_millis(20)), true).status, SelectStatus::TimedOut);
    int v = 3;
    tx2.try_send(v);
    MaybeSelected op = sel.select_timeout(Duration{});
    ASSERT_TRUE(op);
    EXPECT_EQ(op->index(), 2u);
    std::optional<int> out;
    EXPECT_EQ(op->recv(rx2, out), RecvStatus::Received);
}

TEST(EngineSelect, WakesWhenAnOperationBecomesReady) {
    for (int capacity : {-1, 0, 2}) {
        auto [tx, rx] = capacity < 0 ? unbounded<int>() : bounded<int>(static_cast<std::size_t>(capacity));
        auto [idle_tx, idle_rx] = bounded<int>(1);
        std::optional<int> got;
        std::size_t index = 99;
        TestThread waiter([&, &rx = rx, &idle_rx = idle_rx] {
            Select sel;
            sel.add_recv(idle_rx);
            sel.add_recv(rx);
            MaybeSelected op = sel.select_timeout(Duration::from_seconds(30).value());
            ASSERT_TRUE(op);
            index = op->index();
            EXPECT_EQ(op->recv(rx, got), RecvStatus::Received);
        });
        engine_test::let_others_sleep();
        int v = 21;
        EXPECT_EQ(tx.send(v), SendStatus::Sent);
        waiter.join_or_fail();
        EXPECT_EQ(index, 1u) << "capacity " << capacity;
        EXPECT_EQ(got, 21);
    }
}

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

TEST(EngineSelect, OverflowingTimeoutWaitsWithoutDeadline) {
    auto [tx, rx] = bounded<int>(1);
    std::atomic<bool> returned{false};
    std::optional<int> got;
    TestThread waiter([&, &rx = rx] {
        Select sel;
        sel.add_recv(rx);
        MaybeSelected op = sel.select_timeout(Duration{UINT64_MAX, 999'999'999});
        returned = true;
        ASSERT_TRUE(op);
        op->recv(rx, got);
    });
    engine_test::let_others_sleep();
    EXPECT_FALSE(returned.load());  // an overflowing deadline is not "already passed"
    int v = 4;
    tx.send(v);
    waiter.join_or_fail();
    EXPECT_EQ(got, 4);
}

TEST(EngineSelect, DisconnectionMakesOperationsReady) {
    auto [tx, rx] = bounded<int>(0);
    auto [tx2, rx2] = unbounded<int>();
    RecvStatus status = RecvStatus::Empty;
    TestThread waiter([&, &rx = rx, &rx2 = rx2] {
        Select sel;
        sel.add_recv(rx2);
        sel.add_recv(rx);
        SelectedOperation op = sel.select();
        EXPECT_EQ(op.index(), 1u);
        std::optional<int> out;
        status = op.recv(rx, out);
    });
    engine_test::let_others_sleep();
    tx.reset();
    waiter.join_or_fail();
    EXPECT_EQ(status, RecvStatus::Disconnected);

    // A send on a channel without receivers is ready and reports Disconnected.
    auto [stx, srx] = bounded<Counted>(4);
    srx.reset();
    Tally tally;
    Select sel;
    sel.add_send(stx);
    SelectedOperation op = sel.select();
    Counted item(tally, 1);
    EXPECT_EQ(op.send(stx, item), SendStatus::Disconnected);
    EXPECT_TRUE(item.engaged());
}

TEST(EngineSelect, RendezvousSelectPairsWithBlockingPartners) {
    auto [tx, rx] = bounded<int>(0);
    // Selecting receive, blocking sender.
    TestThread sender([&, &tx = tx] {
        int v = 8;
        EXPECT_EQ(tx.send(v), SendStatus::Sent);
    });
    {
        Select sel;
        sel.add_recv(rx);
        SelectedOperation op = sel.select();
        std::optional<int> out;
        EXPECT_EQ(op.recv(rx, out), RecvStatus::Received);
        EXPECT_EQ(out, 8);
    }
    sender.join_or_fail();

    // Selecting send, blocking receiver.
    std::optional<int> got;
    TestThread receiver([&, &rx = rx] { EXPECT_EQ(rx.recv(got), RecvStatus::Received); });
    {
        Select sel;
        sel.add_send(tx);
        SelectedOperation op = sel.select();
        int v = 12;
        EXPECT_EQ(op.send(tx, v), SendStatus::Sent);
    }
    receiver.join_or_fail();
    EXPECT_EQ(got, 12);
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

TEST(EngineSelect, ReadyOperationCompetesWithAnExpiredTimer) {
    const int rounds = engine_test::scaled(4000, 2000);
    auto [tx, rx] = bounded<int>(1);
    int timer_wins = 0;
    for (int i = 0; i < rounds; ++i) {
        if (rx.is_empty()) {
            int v = i;
            ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
        }
        auto timer = after(Duration{});
        Select sel;
        sel.add_recv(rx);
        sel.add_recv(timer);
        MaybeSelected op = sel.select_timeout(Duration{});
        ASSERT_TRUE(op);
        if (op->index() == 1) {
            ++timer_wins;
            std::optional<Deadline> fired;
            ASSERT_EQ(op->recv(timer, fired), RecvStatus::Received);
        } else {
            std::optional<int> out;
            ASSERT_EQ(op->recv(rx, out), RecvStatus::Received);
        }
    }
    EXPECT_GT(timer_wins, rounds * 3 / 10);
    EXPECT_LT(timer_wins, rounds * 7 / 10);
}

TEST(EngineSelect, TimerOperationFiresOnceAfterItsDeadline) {
    auto [tx, rx] = unbounded<int>();
    auto timer = after(Duration::from_millis(30));
    const auto start = std::chrono::steady_clock::now();
    Select sel;
    sel.add_recv(rx);
    sel.add_recv(timer);
    SelectedOperation op = sel.select();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    ASSERT_EQ(op.index(), 1u);
    std::optional<Deadline> fired;
    EXPECT_EQ(op.recv(timer, fired), RecvStatus::Received);
    ASSERT_TRUE(fired);
    EXPECT_FALSE(fired->is_never());
    // Delivered once: afterwards the timer is never ready.
    EXPECT_EQ(sel.select_until(Deadline::after(Duration::from_millis(10)), false).status, SelectStatus::TimedOut);
}

TEST(EngineSelect, MisuseIsANativeFailure) {
    Select empty;
    EXPECT_THROW(empty.select_timeout(Duration{}), torvan::NativeFailure);

    auto [tx, rx] = unbounded<int>();
    auto [tx2, rx2] = unbounded<int>();
    int v = 1;
    tx.try_send(v);
    Select sel;
    sel.add_recv(rx);
    SelectedOperation op = sel.select();
    std::optional<int> out;
    EXPECT_THROW(op.recv(rx2, out), torvan::NativeFailure);                  // another handle
    Receiver<int> clone = rx.clone();
    EXPECT_THROW(op.recv(clone, out), torvan::NativeFailure);                // even of the same channel
    int item = 2;
    EXPECT_THROW(op.send(tx, item), torvan::NativeFailure);                  // wrong direction
    EXPECT_EQ(op.recv(rx, out), RecvStatus::Received);                       // the right one still works
    EXPECT_EQ(out, 1);
    EXPECT_THROW(op.recv(rx, out), torvan::NativeFailure);                   // only once
}

TEST(EngineSelect, AbandonedReceiveIsAFailureAndDestroysItsItem) {
    Tally tally;
    auto [tx, rx] = bounded<Counted>(2);
    Counted c(tally, 1);
    tx.try_send(c);
    bool failed = false;
    try {
        Select sel;
        sel.add_recv(rx);
        SelectedOperation op = sel.select();
    } catch (const torvan::NativeFailure&) {
        failed = true;
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(tally.live(), 0);
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

TEST(EngineSelect, PendingBoundedSendDoesNotBlockNonBlockingCalls) {
    // While a selected send holds the last slot, other calls see a full
    // channel (and an empty one at that slot) instead of waiting for it.
    auto [tx, rx] = bounded<int>(1);
    Select sel;
    sel.add_send(tx);
    SelectedOperation op = sel.select();
    int other = 1;
    EXPECT_EQ(tx.try_send(other), SendStatus::Full);
    std::optional<int> out;
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
    int item = 2;
    EXPECT_EQ(op.send(tx, item), SendStatus::Sent);
    EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
    EXPECT_EQ(out, 2);
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
