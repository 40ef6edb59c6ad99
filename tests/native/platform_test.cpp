#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "test_support.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/park.hpp"
#include "core/platform/system.hpp"
#include "core/sync/pause_rate.hpp"

using namespace torvan::platform;
using engine_test::DeadlineThreads;

TEST(Duration, FromSecondsRoundsTiesToEvenAndRefusesTheUnrepresentableAndOverflowingDeadlinesMeanNever) {
    const double two_to_64 = 18446744073709551616.0;
    const struct {
        double seconds;
        std::uint64_t secs;
        std::uint32_t nanos;
    } rows[] = {
        {1.5, 1, 500'000'000}, {0.05, 0, 50'000'000}, {1e-9, 0, 1}, {4e-10, 0, 0}, {6e-10, 0, 1}, {-0.0, 0, 0},
        // 1/1024 s is exactly 976562.5 ns and 3/1024 s exactly 2929687.5 ns: ties go to even.
        {1.0 / 1024, 0, 976'562}, {3.0 / 1024, 0, 2'929'688}, {7.0 + 1.0 / 1024, 7, 976'562},
        {1e19, 10'000'000'000'000'000'000ull, 0}, {std::nextafter(two_to_64, 0.0), 18446744073709549568ull, 0},
    };
    for (const auto& row : rows) {
        auto d = Duration::from_seconds(row.seconds);
        ASSERT_TRUE(d) << row.seconds;
        EXPECT_EQ(d->secs, row.secs) << row.seconds;
        EXPECT_EQ(d->nanos, row.nanos) << row.seconds;
    }
    for (double refused : {-1e-9, std::nan(""), HUGE_VAL, two_to_64}) {
        EXPECT_FALSE(Duration::from_seconds(refused)) << refused;
    }
    // Spans past the clock's range, in seconds or only once added to the current time.
    EXPECT_TRUE(Deadline::after(Duration{UINT64_MAX, 999'999'999}).is_never());
    EXPECT_TRUE(Deadline::after(Duration{18'446'744'073, 709'551'615}).is_never());
}

TEST(System, RandomBytesAndThreadIds) {
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(random_bytes(a, sizeof a));
    ASSERT_TRUE(random_bytes(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));

    auto mine = current_thread_id();
    EXPECT_EQ(mine, current_thread_id());
    std::uint64_t other = 0;
    DeadlineThreads thread;
    thread.spawn([&] { other = current_thread_id(); });
    thread.join_all();
    EXPECT_NE(other, 0u);
    EXPECT_NE(other, mine);
}

// Pause counts computed from a duration last at least about that long: a
// rate in the wrong unit, or one measured too long, would make backoffs far
// shorter than meant. (Only the lower bound holds on a loaded machine.)
TEST(PauseRate, PausesForADurationLastAtLeastAboutThatLong) {
    const std::uint32_t ps = torvan::sync::pause_ps();
    EXPECT_GE(ps, 1u);
    EXPECT_EQ(ps, torvan::sync::pause_ps());  // measured once
    EXPECT_EQ(torvan::sync::pauses_for_ns(0), 1u);
    constexpr std::uint64_t kNs = 200'000;
    const std::uint64_t pauses = torvan::sync::pauses_for_ns(kNs);
    std::uint64_t shortest = UINT64_MAX;
    for (int run = 0; run < 3; ++run) {
        const std::uint64_t start = monotonic_now_ns();
        for (std::uint64_t i = 0; i < pauses; ++i) {
            cpu_relax();
        }
        shortest = std::min(shortest, monotonic_now_ns() - start);
    }
    EXPECT_GE(shortest, kNs / 2) << pauses << " pauses of " << ps << " ps";
}
