// Interruptible waits: a signal handler running on a sleeping thread ends an
// interruptible wait with Interrupted and nothing taken; a non-interruptible
// wait sleeps on. Signals are real (pthread_kill) and the handler is
// installed without SA_RESTART.

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
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

template <class T>
std::pair<Sender<T>, Receiver<T>> make(int capacity) {
    return capacity < 0 ? unbounded<T>() : bounded<T>(static_cast<std::size_t>(capacity));
}

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

TEST(EngineSignal, InterruptibleSendKeepsItsItem) {
    SignalHandlerScope handler;
    for (int capacity : {0, 1}) {
        Tally tally;
        auto [tx, rx] = make<Counted>(capacity);
        if (capacity == 1) {
            Counted filler(tally, -1);
            ASSERT_EQ(tx.try_send(filler), SendStatus::Sent);
        }
        SendStatus status = SendStatus::Sent;
        bool kept = false;
        TestThread waiter([&, &tx = tx] {
            Counted item(tally, 7);
            status = tx.send_until(item, Deadline::never(), true);
            kept = item.engaged() && item.value() == 7;
        });
        ASSERT_TRUE(interrupt_until_finished(waiter));
        waiter.join_or_fail();
        EXPECT_EQ(status, SendStatus::Interrupted) << "capacity " << capacity;
        EXPECT_TRUE(kept);
        std::optional<Counted> out;
        if (capacity == 1) {
            ASSERT_EQ(rx.try_recv(out), RecvStatus::Received);
            EXPECT_EQ(out->value(), -1);
        }
        EXPECT_EQ(rx.try_recv(out), RecvStatus::Empty);
    }
}

TEST(EngineSignal, InterruptibleSelectClaimsNothing) {
    SignalHandlerScope handler;
    auto [tx1, rx1] = bounded<int>(0);
    auto [tx2, rx2] = unbounded<int>();
    SelectStatus status = SelectStatus::Selected;
    bool engaged = true;
    TestThread waiter([&, &rx1 = rx1, &rx2 = rx2] {
        Select sel;
        sel.add_recv(rx1);
        sel.add_recv(rx2);
        SelectOutcome outcome = sel.select_until(Deadline::never(), true);
        status = outcome.status;
        engaged = outcome.operation.has_value();
    });
    ASSERT_TRUE(interrupt_until_finished(waiter));
    waiter.join_or_fail();
    EXPECT_EQ(status, SelectStatus::Interrupted);
    EXPECT_FALSE(engaged);
    int v = 1;
    EXPECT_EQ(tx1.try_send(v), SendStatus::Full);  // no stale registration
}

TEST(EngineSignal, NonInterruptibleWaitSleepsThroughSignals) {
    SignalHandlerScope handler;
    auto [tx, rx] = bounded<int>(0);
    RecvStatus status = RecvStatus::Empty;
    std::optional<int> got;
    TestThread waiter([&, &rx = rx] { status = rx.recv_until(got, Deadline::never(), false); });
    engine_test::let_others_sleep();  // so that the signals most likely hit the sleep
    for (int i = 0; i < 5; ++i) {
        const int before = g_handled.load();
        pthread_kill(waiter.native_handle(), SIGUSR1);
        // The handler runs on the waiting thread; wait until it did, where the
        // platform runs handlers at once (ThreadSanitizer defers them).
        engine_test::eventually([&] { return g_handled.load() > before; }, std::chrono::milliseconds(200));
    }
    EXPECT_FALSE(waiter.finished());
    int v = 3;
    EXPECT_EQ(tx.send(v), SendStatus::Sent);
    waiter.join_or_fail();
    EXPECT_EQ(status, RecvStatus::Received);
    EXPECT_EQ(got, 3);
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
