// Waits that end early or go elsewhere: remote waiters (not threads) abandoning at random, readiness wakes that no
// remote waiter keeps from a thread or from another group, and real signals (pthread_kill, handler without
// SA_RESTART) interrupting a consumer again and again.

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "core/engine/engine.hpp"
#include "core/engine/remote_wait.hpp"
#include "test_support.hpp"

using namespace torvan::engine;
using namespace engine_test;
using torvan::platform::Deadline;

namespace {

// Counts its wakes, and the references the engine's contexts hold.
class TestWaiter final : public detail::RemoteWaiter {
public:
    explicit TestWaiter(const void* group = nullptr) noexcept : RemoteWaiter(group != nullptr ? group : this) {}
    void wake() noexcept override { wakes.fetch_add(1); }
    void release() noexcept override { refs.fetch_sub(1); }
    detail::RemoteWaiter* reference() noexcept {
        refs.fetch_add(1);
        return this;
    }
    std::atomic<int> wakes{0}, refs{0};
};

}  // namespace

// A remote waiter receives (or, bounded, sends) every item while abandoning a third of its waits at random, against a
// blocking thread on the other side: each item arrives exactly once, and none is left behind.
TEST(EngineRemoteWait, ExactlyOnceUnderRandomAbandons) {
    const int count = engine_test::scaled(20000, 2000);
    for (auto [remote_sends, capacity] : {std::pair{false, -1}, {false, 1}, {false, 0}, {true, 1}, {true, 0}}) {
        Tally tally;
        {
            auto [tx, rx] = make<Counted>(capacity);
            TestWaiter waiter;
            std::vector<int> seen;
            std::mt19937 random(static_cast<unsigned>(capacity + 2 + 10 * remote_sends));
            TestThread partner([&, &tx = tx, &rx = rx] {
                for (int i = 0; i < count; ++i) {
                    std::optional<Counted> out;
                    if (remote_sends) {
                        ASSERT_EQ(rx.recv(out), RecvStatus::Received);
                        seen.push_back(out->value());
                    } else {
                        Counted item(tally, i);
                        ASSERT_EQ(tx.send(item), SendStatus::Sent);
                    }
                }
            });
            {
                std::optional<RemoteWait<Counted>> wait;
                remote_sends ? wait.emplace(tx, waiter.reference()) : wait.emplace(rx, waiter.reference());
                std::optional<Counted> pending;  // the item being sent
                for (int done = 0; done < count;) {
                    std::optional<Counted> got;
                    if (remote_sends && !pending) {
                        pending.emplace(tally, done);
                    }
                    // Sent stands for any completed operation; a woken wait tries again.
                    RemoteOutcome outcome = RemoteOutcome::Sent;
                    if (!(remote_sends ? tx.try_send(*pending) == SendStatus::Sent
                                       : rx.try_recv(got) == RecvStatus::Received)) {
                        const int wakes = waiter.wakes.load();
                        if (!(remote_sends ? wait->start_send(*pending) : wait->start_receive())) {
                            continue;
                        }
                        if (random() % 3 == 0) {
                            outcome = wait->abandon();
                        } else {
                            ASSERT_TRUE(engine_test::eventually([&] { return waiter.wakes.load() > wakes; }));
                            do {
                                outcome = wait->poll();
                            } while (outcome == RemoteOutcome::Waiting);
                        }
                    }
                    if (outcome == RemoteOutcome::Sent) {
                        if (got) {
                            seen.push_back(got->value());
                        }
                        pending.reset();
                        ++done;
                    }
                }
            }
            partner.join_or_fail();
            ASSERT_EQ(static_cast<int>(seen.size()), count);
            for (int i = 0; i < count; ++i) {
                ASSERT_EQ(seen[i], i) << "capacity " << capacity << (remote_sends ? ", remote sends" : "");
            }
            EXPECT_EQ(waiter.refs.load(), 0);
        }
        EXPECT_EQ(tally.load(), 0);
    }
}

// A readiness wake goes to the oldest thread and to the oldest remote waiter of each group, so that a group that
// never acts (an event loop stopped or gone) keeps neither a thread nor another group waiting. On a rendezvous
// channel a remote receiver is never handed an item: a waiting sender wakes it, and the item goes to whoever takes
// it.
TEST(EngineRemoteWait, NoGroupTakesAThreadsOrAnotherGroupsWake) {
    static int group_a = 0, group_b = 0;
    struct Waiting {  // two remote receivers of one group and one of another
        explicit Waiting(const Receiver<int>& rx)
            : wait_first_a(rx, first_a.reference()), wait_second_a(rx, second_a.reference()),
              wait_only_b(rx, only_b.reference()) {
            for (RemoteWait<int>* wait : {&wait_first_a, &wait_second_a, &wait_only_b}) {
                EXPECT_TRUE(wait->start_receive());
            }
        }
        TestWaiter first_a{&group_a}, second_a{&group_a}, only_b{&group_b};
        RemoteWait<int> wait_first_a, wait_second_a, wait_only_b;
    };
    for (int capacity : {-1, 1, 0}) {
        auto [tx, rx] = make<int>(capacity);
        Waiting w(rx);
        std::optional<int> got;
        TestThread receiver([&, &rx = rx] { EXPECT_EQ(rx.recv(got), RecvStatus::Received); });
        engine_test::let_others_sleep();
        int item = 7;
        TestThread sender([&, &tx = tx] { EXPECT_EQ(tx.send(item), SendStatus::Sent); });
        receiver.join_or_fail();
        sender.join_or_fail();
        SCOPED_TRACE(testing::Message() << "capacity " << capacity);
        EXPECT_EQ(got, std::optional<int>(7));
        // Each group's oldest, or (a rendezvous sender meeting the thread) nobody.
        EXPECT_EQ(w.second_a.wakes.load(), 0);
        EXPECT_EQ(w.first_a.wakes.load(), w.only_b.wakes.load());
        EXPECT_TRUE(capacity == 0 || w.first_a.wakes.load() == 1);
    }
    auto [tx, rx] = bounded<int>(0);
    Waiting w(rx);
    int item = 8;
    EXPECT_EQ(tx.try_send(item), SendStatus::Full);  // never handed to a waiter that may not run
    TestThread sender([&, &tx = tx] { EXPECT_EQ(tx.send(item), SendStatus::Sent); });
    ASSERT_TRUE(engine_test::eventually([&] { return w.first_a.wakes.load() == 1 && w.only_b.wakes.load() == 1; }));
    EXPECT_EQ(w.second_a.wakes.load(), 0);
    EXPECT_EQ(w.wait_only_b.poll(), RemoteOutcome::Ready);
    std::optional<int> got;
    EXPECT_EQ(rx.try_recv(got), RecvStatus::Received);  // what the woken waiter does, on its own thread
    EXPECT_EQ(got, std::optional<int>(8));
    sender.join_or_fail();
}

// A consumer interrupted again and again, retrying after each Interrupted, receives every item exactly once and in
// order, directly or by select. (Waits a signal ends leave nothing behind: Ctrl-C, test_process.py.)
TEST(EngineSignal, InterruptedWaitsTakeNothingAndLoseNothing) {
    engine_test::install_interrupting_signal();
    const int items = engine_test::scaled(3000, 1500);
    for (int capacity : {-1, 0, 1}) {
        auto [tx, rx] = make<int>(capacity);
        for (bool by_select : {false, true}) {
            std::vector<int> seen;
            std::atomic<bool> done{false};
            TestThread consumer([&, &rx = rx] {
                std::optional<int> out;
                while (static_cast<int>(seen.size()) < items) {
                    if (by_select) {
                        Select sel;
                        sel.add_recv(rx);
                        SelectOutcome outcome = sel.select_until(Deadline::never(), true);
                        if (outcome.status == SelectStatus::Selected) {
                            ASSERT_EQ(outcome.operation->recv(rx, out), RecvStatus::Received);
                            seen.push_back(*out);
                        }
                    } else if (rx.recv_until(out, Deadline::never(), true) == RecvStatus::Received) {
                        seen.push_back(*out);
                    }
                }
                done = true;
            });
            TestThread signaller([&] {
                while (!done.load()) {
                    pthread_kill(consumer.native_handle(), SIGUSR1);
                    std::this_thread::sleep_for(std::chrono::microseconds(200));  // pacing only
                }
            });
            for (int i = 0; i < items; ++i) {
                int item = i;
                ASSERT_EQ(tx.send(item), SendStatus::Sent);
            }
            consumer.join_or_fail();
            signaller.join_or_fail();
            EXPECT_EQ(rx.registered_waiters(), 0u) << "an interrupted wait left its registration";
            ASSERT_EQ(static_cast<int>(seen.size()), items);
            for (int i = 0; i < items; ++i) {
                ASSERT_EQ(seen[i], i) << "capacity " << capacity << " select " << by_select;
            }
        }
    }
}
