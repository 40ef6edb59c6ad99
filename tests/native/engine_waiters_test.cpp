// What a wait that ends unchosen (its deadline passed, another operation of its select won, another channel of the
// select disconnected) leaves registered on a channel: nothing of its own, and every other waiter.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <vector>

#include "core/engine/engine.hpp"
#include "test_support.hpp"

using namespace torvan::engine;
using namespace engine_test;
using namespace torvan::platform;

namespace {

enum class Side { Recv, Send };
enum class Ending { Deadline, OtherOperationWon, OtherChannelDisconnected };
const char* const kEndingNames[] = {"deadline", "another operation won", "another channel disconnected"};

constexpr auto kPrompt = std::chrono::seconds(20);  // a hang, not a slow machine

struct Case {
    int capacity;  // negative: unbounded
    Side side;
};

// One channel, with its waiting side set up: a bounded channel whose senders are tested starts full.
struct Chan {
    explicit Chan(Case c) : side(c.side) {
        auto [t, r] = make<int>(c.capacity);
        tx = std::move(t);
        rx = std::move(r);
        for (int i = 0; c.side == Side::Send && i < c.capacity; ++i) {
            int filler = -1;
            EXPECT_EQ(tx.try_send(filler), SendStatus::Sent);
        }
    }
    std::size_t registered() const { return side == Side::Recv ? rx.registered_waiters() : tx.registered_waiters(); }

    // The waiting operation, untimed or until a deadline.
    bool wait(int value, Deadline deadline) const {
        if (side == Side::Recv) {
            std::optional<int> out;
            return rx.recv_until(out, deadline, false) == RecvStatus::Received;
        }
        return tx.send_until(value, deadline, false) == SendStatus::Sent;
    }
    void add_to(Select& sel) const { side == Side::Recv ? (void)sel.add_recv(rx) : (void)sel.add_send(tx); }
    // What chooses a waiter of the tested side.
    void answer() const {
        if (side == Side::Recv) {
            int item = 7;
            ASSERT_EQ(tx.send(item), SendStatus::Sent);
        } else {
            std::optional<int> out;
            ASSERT_EQ(rx.recv(out), RecvStatus::Received);
        }
    }

    Side side;
    Sender<int> tx;
    Receiver<int> rx;
};

// The waiter that ends unchosen, in each way.
void end_unchosen(const Chan& chan, Ending ending) {
    if (ending == Ending::Deadline) {
        EXPECT_FALSE(chan.wait(1, Deadline::after(Duration::from_nanos(20'000'000))));
        return;
    }
    auto [other_tx, other_rx] = unbounded<int>();
    std::optional<TestThread> trigger;
    {
        Select sel;
        chan.add_to(sel);
        sel.add_recv(other_rx);
        // The other channel acts once this select has registered with both.
        trigger.emplace([&chan, &other_tx = other_tx, &other_rx = other_rx, ending, before = chan.registered()] {
            ASSERT_TRUE(eventually([&] { return chan.registered() > before && other_rx.registered_waiters() == 1; }));
            if (ending == Ending::OtherOperationWon) {
                int item = 2;
                ASSERT_EQ(other_tx.send(item), SendStatus::Sent);
            } else {
                other_tx.reset();
            }
        });
        SelectedOperation op = sel.select();
        ASSERT_EQ(op.index(), 1u);
        std::optional<int> out;
        EXPECT_EQ(op.recv(other_rx, out), ending == Ending::OtherOperationWon ? RecvStatus::Received
                                                                            : RecvStatus::Disconnected);
    }
    trigger->join_or_fail();
    EXPECT_EQ(other_rx.registered_waiters(), 0u);
}

}  // namespace

// A waiter registered first stays reachable when a later waiter of the same side ends unchosen, and neither leaves a
// registration behind.
TEST(EngineWaiters, AnUnchosenWaitLeavesNothingAndHidesNoOtherWaiter) {
    for (Case c : {Case{-1, Side::Recv}, Case{1, Side::Recv}, Case{1, Side::Send}, Case{0, Side::Recv},
                   Case{0, Side::Send}}) {
        for (Ending ending : {Ending::Deadline, Ending::OtherOperationWon, Ending::OtherChannelDisconnected}) {
            SCOPED_TRACE(testing::Message() << "capacity " << c.capacity << (c.side == Side::Recv ? " recv" : " send")
                                            << ", ended by " << kEndingNames[int(ending)]);
            Chan chan(c);
            TestThread chosen([&chan] { EXPECT_TRUE(chan.wait(3, Deadline::never())); });
            ASSERT_TRUE(eventually([&] { return chan.registered() == 1; }));
            TestThread([&chan, ending] { end_unchosen(chan, ending); }).join_or_fail(kPrompt);
            EXPECT_EQ(chan.registered(), 1u) << "the unchosen wait left a registration, or took the other one's";
            chan.answer();
            chosen.join_or_fail(kPrompt);
            EXPECT_EQ(chan.registered(), 0u);
        }
    }
}

// Threads whose waits end every way at random, on both sides of one channel of each flavour, while others answer some
// of them: once everyone is gone, nothing is registered on either side or on the channels selected beside it.
TEST(EngineWaiters, RandomlyEndedWaitsLeaveNothingRegistered) {
    int rounds = engine_test::scaled(300, 60);
    for (int capacity : {-1, 2, 0}) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        auto [tx, rx] = make<int>(capacity);
        auto [side_tx, side_rx] = bounded<int>(1);  // selected beside the channel, never ready for long
        engine_test::DeadlineThreads threads;
        for (int t = 0; t < 4; ++t) {
            threads.spawn([t, rounds, &tx = tx, &rx = rx, &side_tx = side_tx, &side_rx = side_rx] {
                std::mt19937 random(static_cast<unsigned>(t));
                for (int i = 0; i < rounds; ++i) {
                    const Deadline deadline = Deadline::after(Duration::from_nanos(1'000 * (random() % 200)));
                    std::optional<int> out;
                    int item = i;
                    const auto pick = random() % 4;
                    if (pick == 0) {
                        (void)rx.recv_until(out, deadline, false);
                    } else if (pick == 1) {
                        (void)tx.send_until(item, deadline, false);
                    } else {
                        Select sel;
                        sel.add_recv(rx);
                        sel.add_send(tx);
                        sel.add_recv(side_rx);
                        sel.add_send(side_tx);
                        if (MaybeSelected op = sel.select_timeout(Duration::from_nanos(1'000 * (random() % 200)))) {
                            const std::size_t at = op->index();
                            (void)(at == 0   ? op->recv(rx, out) == RecvStatus::Received
                                   : at == 1 ? op->send(tx, item) == SendStatus::Sent
                                   : at == 2 ? op->recv(side_rx, out) == RecvStatus::Received
                                             : op->send(side_tx, item) == SendStatus::Sent);
                        }
                    }
                }
            });
        }
        threads.join_all();
        EXPECT_EQ(rx.registered_waiters(), 0u);
        EXPECT_EQ(tx.registered_waiters(), 0u);
        EXPECT_EQ(side_rx.registered_waiters(), 0u);
        EXPECT_EQ(side_tx.registered_waiters(), 0u);
    }
}
