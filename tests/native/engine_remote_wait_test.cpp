// Remote waits (waiters that are not threads): readiness wakes on buffered
// channels, hand-overs on rendezvous channels, abandoning with the wake passed
// on or the hand-over standing, and exactly-once delivery while a remote
// waiter abandons at random against blocking threads.

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <vector>

#include "engine/engine.hpp"
#include "engine/remote_wait.hpp"
#include "engine_test_support.hpp"

using namespace torvan::engine;
using engine_test::Counted;
using engine_test::Tally;
using engine_test::TestThread;

namespace {

// Counts its wakes, and the references the engine's contexts hold.
class TestWaiter final : public detail::RemoteWaiter {
public:
    void wake() noexcept override { wakes.fetch_add(1); }
    void release() noexcept override { refs.fetch_sub(1); }
    detail::RemoteWaiter* reference() noexcept {
        refs.fetch_add(1);
        return this;
    }
    // Waits for a wake after `seen`; false after the test's deadline.
    bool woken_after(int seen) {
        return engine_test::eventually([&] { return wakes.load() > seen; });
    }

    std::atomic<int> wakes{0};
    std::atomic<int> refs{0};
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make(int capacity) {
    return capacity < 0 ? unbounded<T>() : bounded<T>(static_cast<std::size_t>(capacity));
}

struct Signal {
    std::pair<Sender<Empty>, Receiver<Empty>> ends = bounded<Empty>(0);
};

using IntWait = RemoteWait<int, Empty>;

}  // namespace

TEST(EngineRemoteWait, AWakeReachesTheWaiterAndTheItemIsTakenAfterwards) {
    for (int capacity : {-1, 1, 0}) {
        auto [tx, rx] = make<int>(capacity);
        Signal closed;
        TestWaiter waiter;
        {
            IntWait wait(rx, closed.ends.second, waiter.reference());
            ASSERT_TRUE(wait.start_receive());
            std::optional<int> got;
            EXPECT_EQ(wait.poll(got), RemoteOutcome::Waiting);
            TestThread sender([&, &tx = tx] {
                int v = 7;
                EXPECT_EQ(tx.send(v), SendStatus::Sent);
            });
            ASSERT_TRUE(waiter.woken_after(0));
            RemoteOutcome outcome = wait.poll(got);
            if (capacity == 0) {
                // Handed over: the sender returned once the item was in the wait.
                EXPECT_EQ(outcome, RemoteOutcome::Received);
            } else {
                // Readiness: nothing was taken for the waiter, which takes it now.
                EXPECT_EQ(outcome, RemoteOutcome::Ready);
                EXPECT_EQ(rx.try_recv(got), RecvStatus::Received);
            }
            EXPECT_EQ(got, 7) << "capacity " << capacity;
            sender.join_or_fail();
        }
        EXPECT_EQ(waiter.refs.load(), 0) << "a context outlived its wait";
    }
}

TEST(EngineRemoteWait, ARendezvousSendIsTakenFromTheWaitOrComesBack) {
    auto [tx, rx] = bounded<int>(0);
    Signal closed;
    TestWaiter waiter;
    IntWait wait(tx, closed.ends.second, waiter.reference());
    int item = 5;
    ASSERT_TRUE(wait.start_send(item));
    std::optional<int> unused;
    EXPECT_EQ(wait.abandon(unused), RemoteOutcome::Abandoned);
    EXPECT_EQ(item, 5);  // back with the caller
    ASSERT_TRUE(wait.start_send(item));
    std::optional<int> got;
    EXPECT_EQ(rx.try_recv(got), RecvStatus::Received);  // the waiting remote sender is a partner
    EXPECT_EQ(got, 5);
    EXPECT_EQ(wait.abandon(unused), RemoteOutcome::Sent);  // picked: the send stands
}

TEST(EngineRemoteWait, AHandOverInProgressIsPendingUntilTheSenderCompletesOrGivesUp) {
    for (bool completes : {true, false}) {
        auto [tx, rx] = bounded<int>(0);
        Signal closed;
        TestWaiter waiter;
        IntWait wait(rx, closed.ends.second, waiter.reference());
        ASSERT_TRUE(wait.start_receive());
        std::optional<int> got;
        {
            // A selecting sender claims the waiting receive, then completes or drops its send.
            Select select;
            select.add_send(tx);
            SelectedOperation op = select.select();
            EXPECT_EQ(wait.abandon(got), RemoteOutcome::Pending);
            EXPECT_EQ(wait.poll(got), RemoteOutcome::Pending);
            int v = 9;
            if (completes) {
                EXPECT_EQ(op.send(tx, v), SendStatus::Sent);
            } else {
                EXPECT_THROW({ SelectedOperation dropped(std::move(op)); }, torvan::NativeFailure);
            }
        }
        EXPECT_EQ(wait.poll(got), completes ? RemoteOutcome::Received : RemoteOutcome::Ready);
        EXPECT_EQ(got, completes ? std::optional<int>(9) : std::nullopt);
    }
}

TEST(EngineRemoteWait, AWokenWaiterThatAbandonsPassesTheWakeOn) {
    for (int capacity : {-1, 1}) {
        auto [tx, rx] = make<int>(capacity);
        Signal closed;
        TestWaiter first, second;
        IntWait a(rx, closed.ends.second, first.reference());
        IntWait b(rx, closed.ends.second, second.reference());
        ASSERT_TRUE(a.start_receive());
        ASSERT_TRUE(b.start_receive());
        int v = 1;
        ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
        ASSERT_EQ(first.wakes.load() + second.wakes.load(), 1);  // one item, one wake: the oldest waiter
        std::optional<int> got;
        EXPECT_EQ(a.abandon(got), RemoteOutcome::Abandoned);
        EXPECT_EQ(second.wakes.load(), 1) << "capacity " << capacity;
        EXPECT_EQ(b.poll(got), RemoteOutcome::Ready);
    }
}

TEST(EngineRemoteWait, DisconnectionOfTheWatchedReceiverWakes) {
    auto [tx, rx] = bounded<int>(2);
    auto closed = std::make_unique<Signal>();
    TestWaiter waiter;
    IntWait wait(rx, closed->ends.second, waiter.reference());
    ASSERT_TRUE(wait.start_receive());
    closed->ends.first.reset();
    EXPECT_EQ(waiter.wakes.load(), 1);
    std::optional<int> got;
    EXPECT_EQ(wait.poll(got), RemoteOutcome::Ready);
    EXPECT_FALSE(wait.start_receive());  // ready at once: the watched receiver is disconnected
}

// A remote waiter receives (or sends) every item while abandoning a third of
// its waits at random, against a blocking thread on the other side: each item
// arrives exactly once, and none is left behind.
TEST(EngineRemoteWait, ExactlyOnceUnderRandomAbandons) {
    const int count = engine_test::scaled(20000, 2000);
    for (bool remote_sends : {false, true}) {
        for (int capacity : {-1, 1, 0}) {
            if (remote_sends && capacity < 0) {
                continue;  // an unbounded send never waits
            }
            Tally tally;
            {
                auto [tx, rx] = make<Counted>(capacity);
                Signal closed;
                TestWaiter waiter;
                std::vector<int> seen;
                std::mt19937 random(static_cast<unsigned>(capacity + 2 + 10 * remote_sends));
                TestThread partner([&, &tx = tx, &rx = rx] {
                    for (int i = 0; i < count; ++i) {
                        if (remote_sends) {
                            std::optional<Counted> out;
                            ASSERT_EQ(rx.recv(out), RecvStatus::Received);
                            seen.push_back(out->value());
                        } else {
                            Counted item(tally, i);
                            ASSERT_EQ(tx.send(item), SendStatus::Sent);
                        }
                    }
                });
                {
                    std::optional<RemoteWait<Counted, Empty>> wait;
                    if (remote_sends) {
                        wait.emplace(tx, closed.ends.second, waiter.reference());
                    } else {
                        wait.emplace(rx, closed.ends.second, waiter.reference());
                    }
                    std::optional<Counted> pending;  // the item being sent
                    for (int done = 0; done < count;) {
                        std::optional<Counted> got;
                        if (remote_sends && !pending) {
                            pending.emplace(tally, done);
                        }
                        if (remote_sends ? tx.try_send(*pending) == SendStatus::Sent
                                         : rx.try_recv(got) == RecvStatus::Received) {
                            if (got) {
                                seen.push_back(got->value());
                            }
                            pending.reset();
                            ++done;
                            continue;
                        }
                        const int wakes = waiter.wakes.load();
                        if (!(remote_sends ? wait->start_send(*pending) : wait->start_receive())) {
                            continue;
                        }
                        RemoteOutcome outcome;
                        if (random() % 3 == 0) {
                            outcome = wait->abandon(got);
                            while (outcome == RemoteOutcome::Pending) {
                                outcome = wait->poll(got);
                            }
                        } else {
                            ASSERT_TRUE(waiter.woken_after(wakes));
                            do {
                                outcome = wait->poll(got);
                            } while (outcome == RemoteOutcome::Waiting || outcome == RemoteOutcome::Pending);
                        }
                        if (outcome == RemoteOutcome::Received || outcome == RemoteOutcome::Sent) {
                            if (got) {
                                seen.push_back(got->value());
                            }
                            pending.reset();
                            ++done;
                        }
                    }
                }
                partner.join_or_fail();
                std::vector<int> expected(count);
                for (int i = 0; i < count; ++i) {
                    expected[i] = i;
                }
                EXPECT_EQ(seen, expected) << "capacity " << capacity << (remote_sends ? ", remote sends" : "");
                EXPECT_EQ(waiter.refs.load(), 0);
            }
            EXPECT_EQ(tally.live(), 0);
        }
    }
}
