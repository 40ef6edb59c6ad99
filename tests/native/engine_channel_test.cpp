// Non-blocking behaviour of the three flavours: outcomes, order,
// disconnection, item ownership and the handle counts.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>

#include "binding/failure.hpp"
#include "engine/engine.hpp"
#include "engine_test_support.hpp"

using namespace torvan::engine;
using engine_test::Counted;
using engine_test::Tally;

namespace {

template <class T>
std::pair<Sender<T>, Receiver<T>> make(int capacity) {
    return capacity < 0 ? unbounded<T>() : bounded<T>(static_cast<std::size_t>(capacity));
}

}  // namespace

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
