// Waits that end early. Remote waiters (not threads): readiness wakes,
// rendezvous hand-overs, abandoning with the wake passed on, exactly-once
// delivery against random abandons. Signals: a real signal (pthread_kill,
// handler without SA_RESTART) ends an interruptible wait with nothing taken,
// while a non-interruptible wait sleeps on.

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
using engine_test::make;
using engine_test::Counted;
using engine_test::Tally;
using engine_test::TestThread;
using torvan::platform::Deadline;
using torvan::platform::Duration;

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

struct Signal {
    std::pair<Sender<Empty>, Receiver<Empty>> ends = bounded<Empty>(0);
};

}  // namespace

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

namespace {

std::atomic<int> g_handled{0};

extern "C" void count_signal(int) { g_handled.fetch_add(1, std::memory_order_relaxed); }

// A counting SIGUSR1 handler for the scope of one test.
class SignalHandlerScope {
public:
    SignalHandlerScope() {
        struct sigaction action {};
        action.sa_handler = count_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: sleeping system calls see EINTR
        sigaction(SIGUSR1, &action, &previous_);
    }
    SignalHandlerScope(const SignalHandlerScope&) = delete;
    SignalHandlerScope& operator=(const SignalHandlerScope&) = delete;
    ~SignalHandlerScope() { sigaction(SIGUSR1, &previous_, nullptr); }

private:
    struct sigaction previous_ {};
};

// Signals the thread every few milliseconds until it has finished. A signal
// that arrives before the thread sleeps is simply handled; the next one
// interrupts the sleep.
bool interrupt_until_finished(TestThread& thread) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!thread.finished()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        pthread_kill(thread.native_handle(), SIGUSR1);
        engine_test::eventually([&] { return thread.finished(); }, std::chrono::milliseconds(5));
    }
    return true;
}

constexpr int kFlavours[] = {-1, 0, 1};

}  // namespace

TEST(EngineSignal, InterruptibleReceiveReturnsInterruptedWithNothingTaken) {
    SignalHandlerScope handler;
    for (int capacity : kFlavours) {
        auto [tx, rx] = make<int>(capacity);
        RecvStatus status = RecvStatus::Received;
        std::optional<int> got;
        TestThread waiter([&, &rx = rx] { status = rx.recv_until(got, Deadline::never(), true); });
        ASSERT_TRUE(interrupt_until_finished(waiter));
        waiter.join_or_fail();
        EXPECT_EQ(status, RecvStatus::Interrupted) << "capacity " << capacity;
        EXPECT_FALSE(got.has_value());
        // The interrupted waiter left no registration behind.
        int v = 5;
        if (capacity == 0) {
            EXPECT_EQ(tx.try_send(v), SendStatus::Full);
        } else {
            ASSERT_EQ(tx.try_send(v), SendStatus::Sent);
            std::optional<int> out;
            EXPECT_EQ(rx.try_recv(out), RecvStatus::Received);
            EXPECT_EQ(out, 5);
        }
    }
    // Timers and never-ready receivers too.
    Receiver<Deadline> timer = after(Duration::from_seconds(3600).value());
    RecvStatus status = RecvStatus::Received;
    TestThread waiter([&] {
        std::optional<Deadline> out;
        status = timer.recv_until(out, Deadline::never(), true);
    });
    ASSERT_TRUE(interrupt_until_finished(waiter));
    waiter.join_or_fail();
    EXPECT_EQ(status, RecvStatus::Interrupted);
}

TEST(EngineSignal, SignalsNeverLoseOrDuplicateItems) {
    // A consumer that retries after every Interrupted receives every item
    // exactly once and in order, whether it receives directly or by select.
    SignalHandlerScope handler;
    const int items = engine_test::scaled(3000, 1500);
    for (int capacity : kFlavours) {
        for (bool by_select : {false, true}) {
            auto [tx, rx] = make<int>(capacity);
            std::vector<int> got;
            std::atomic<bool> done{false};
            TestThread consumer([&, &rx = rx] {
                std::optional<int> out;
                while (static_cast<int>(got.size()) < items) {
                    if (by_select) {
                        Select sel;
                        sel.add_recv(rx);
                        SelectOutcome outcome = sel.select_until(Deadline::never(), true);
                        if (outcome.status == SelectStatus::Selected) {
                            ASSERT_EQ(outcome.operation->recv(rx, out), RecvStatus::Received);
                            got.push_back(*out);
                        }
                    } else if (rx.recv_until(out, Deadline::never(), true) == RecvStatus::Received) {
                        got.push_back(*out);
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
                int v = i;
                ASSERT_EQ(tx.send(v), SendStatus::Sent);
            }
            consumer.join_or_fail();
            signaller.join_or_fail();
            ASSERT_EQ(static_cast<int>(got.size()), items);
            for (int i = 0; i < items; ++i) {
                ASSERT_EQ(got[i], i) << "capacity " << capacity << " select " << by_select;
            }
        }
    }
}
