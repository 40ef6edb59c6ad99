// Timer and never-ready receivers on their own (their use inside a select is
// covered with the selector).

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "engine/engine.hpp"
#include "engine_test_support.hpp"

using namespace torvan::engine;
using torvan::platform::Deadline;
using torvan::platform::Duration;

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
