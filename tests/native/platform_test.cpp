#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <chrono>

#include "test_support.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/park.hpp"
#include "core/platform/system.hpp"
#include "core/platform/thread.hpp"

using namespace torvan::platform;

TEST(Duration, FromSecondsRoundsToNearestNanosecondTiesToEven) {
    auto d = Duration::from_seconds(1.5);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->secs, 1u);
    EXPECT_EQ(d->nanos, 500'000'000u);
    EXPECT_EQ(Duration::from_seconds(0.05)->nanos, 50'000'000u);
    EXPECT_EQ(Duration::from_seconds(1e-9)->nanos, 1u);
    EXPECT_EQ(Duration::from_seconds(4e-10)->nanos, 0u);
    EXPECT_EQ(Duration::from_seconds(6e-10)->nanos, 1u);
    // 1/1024 s is exactly 976562.5 ns and 3/1024 s exactly 2929687.5 ns: ties go to even.
    EXPECT_EQ(Duration::from_seconds(1.0 / 1024)->nanos, 976'562u);
    EXPECT_EQ(Duration::from_seconds(3.0 / 1024)->nanos, 2'929'688u);
    EXPECT_EQ(Duration::from_seconds(7.0 + 1.0 / 1024)->secs, 7u);
    EXPECT_TRUE(Duration::from_seconds(-0.0)->is_zero());
}

TEST(Duration, RejectsNegativeNanInfiniteAndHuge) {
    EXPECT_FALSE(Duration::from_seconds(-1e-9));
    EXPECT_FALSE(Duration::from_seconds(std::nan("")));
    EXPECT_FALSE(Duration::from_seconds(INFINITY));
    EXPECT_FALSE(Duration::from_seconds(18446744073709551616.0));
    auto big = Duration::from_seconds(1e19);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->secs, 10000000000000000000ull);
    auto largest = Duration::from_seconds(std::nextafter(18446744073709551616.0, 0.0));
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->secs, 18446744073709549568ull);
}

TEST(Deadline, OverflowMeansNever) {
    EXPECT_TRUE(Deadline::after(Duration{UINT64_MAX, 999'999'999}).is_never());
    EXPECT_TRUE(Deadline::after(Duration{10'000'000'000'000'000'000ull, 0}).is_never());
    auto soon = Deadline::after(Duration::from_millis(5));
    EXPECT_FALSE(soon.is_never());
    EXPECT_TRUE(Deadline::after(Duration{}).has_passed());
}

TEST(Park, TimesOutAndWakes) {
    std::atomic<std::uint32_t> word{0};
    auto status = wait_on_word(word, 0, Deadline::after(Duration::from_millis(10)));
    EXPECT_EQ(status, WaitStatus::TimedOut);
    EXPECT_EQ(wait_on_word(word, 1, Deadline::never()), WaitStatus::Woken);  // value differs

    torvan::testing::DeadlineThreads waker;
    waker.spawn([&] {
        word.store(1);
        wake_all(word);
    });
    while (word.load() == 0) {
        wait_on_word(word, 0, Deadline::after(Duration::from_millis(100)));
    }
    waker.join_all(std::chrono::seconds(30));
    EXPECT_EQ(word.load(), 1u);
}

TEST(NativeThread, SpawnJoinAndSelfJoin) {
    std::atomic<int> ran{0};
    std::string error;
    auto t = NativeThread::spawn([&] { ran = 1; }, 2 * 1024 * 1024, error);
    ASSERT_TRUE(t) << error;
    EXPECT_FALSE(t->join());
    EXPECT_EQ(ran.load(), 1);

    // A thread joining its own handle gets an error instead of a deadlock.
    std::atomic<NativeThread*> self{nullptr};
    std::optional<std::string> self_join;
    std::atomic<bool> go{false};
    std::atomic<bool> done{false};
    auto u = NativeThread::spawn(
        [&] {
            while (!go.load()) std::this_thread::yield();
            self_join = self.load()->join();
            done.store(true, std::memory_order_release);
        },
        1 << 20, error);
    ASSERT_TRUE(u);
    NativeThread owned = std::move(*u);
    self = &owned;
    go = true;
    // Wait for the thread to finish via its side effect; it detached itself.
    for (int i = 0; i < 5000 && !done.load(std::memory_order_acquire); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(done.load(std::memory_order_acquire)) << "the self-joining thread did not finish";
    ASSERT_TRUE(self_join.has_value());
    EXPECT_NE(self_join->find("os error"), std::string::npos);
}

TEST(System, ProcessorsAndRandomBytes) {
    EXPECT_GE(online_processors().value_or(1), 1u);
    EXPECT_GE(available_processors().value_or(1), 1u);
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(random_bytes(a, sizeof a));
    ASSERT_TRUE(random_bytes(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

TEST(ThreadId, StableAndDistinct) {
    auto mine = current_thread_id();
    EXPECT_EQ(mine, current_thread_id());
    std::uint64_t other = 0;
    torvan::testing::DeadlineThreads thread;
    thread.spawn([&] { other = current_thread_id(); });
    thread.join_all(std::chrono::seconds(30));
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}
