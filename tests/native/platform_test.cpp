// The platform layer, on whichever branches this build takes: futexes, an eventfd and the affinity mask on Linux;
// park buckets, a pipe and sysconf in the portable build (what macOS before 14.4 and other systems run).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "core/platform/clock.hpp"
#include "core/platform/features.hpp"
#include "core/platform/park.hpp"
#include "core/platform/system.hpp"
#include "core/platform/thread.hpp"
#include "core/platform/wake_fd.hpp"
#include "core/sync/cache_line.hpp"

using namespace torvan::platform;
using namespace engine_test;

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

TEST(System, RandomBytesFillTheWholeBuffer) {
    // Longer than one call of the system's source gives (256 bytes): all of it filled.
    std::vector<unsigned char> a(1000, 0), b(1000, 0);
    ASSERT_TRUE(random_bytes(a.data(), a.size()));
    ASSERT_TRUE(random_bytes(b.data(), b.size()));
    EXPECT_NE(a, b);
    for (std::size_t at = 0; at + 16 <= a.size(); at += 16) {
        EXPECT_TRUE(std::any_of(a.begin() + at, a.begin() + at + 16, [](unsigned char c) { return c != 0; }))
            << "16 zero bytes at " << at;
    }
    EXPECT_TRUE(random_bytes(nullptr, 0));
}

// Linux counts the processors of the affinity mask; the portable build and macOS the online ones.
TEST(System, ProcessorCountsFollowTheAffinityMaskWhereThereIsOne) {
    const auto online = online_processors();
    const auto available = available_processors();
    ASSERT_TRUE(online && available);
    EXPECT_GE(*available, 1u);
    EXPECT_LE(*available, *online);
#if defined(__linux__)
    // sched_setaffinity(0) binds the calling thread only: do it on a thread of its own.
    std::optional<unsigned> pinned;
    DeadlineThreads thread;
    thread.spawn([&] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
        pinned = available_processors();
    });
    thread.join_all();
    ASSERT_TRUE(pinned);
#if defined(TORVAN_AFFINITY_MASK)
    EXPECT_EQ(*pinned, 1u);
#else
    EXPECT_EQ(*pinned, *online);
#endif
#endif
}

TEST(System, TheBuildTakesTheBranchesItNames) {
#if defined(__linux__)
    EXPECT_STREQ(park_mechanism(), kPortableBuild ? "buckets" : "futex");
#endif
    EXPECT_EQ(torvan::sync::kCacheLine, kPortableBuild ? 128u : torvan::sync::kCacheLine);
    EXPECT_EQ(alignof(torvan::sync::CachePadded<char>), torvan::sync::kCacheLine);
    // Either form of strerror_r gives the system's text.
    EXPECT_EQ(describe_os_error(EINVAL), "Invalid argument (os error 22)");
    EXPECT_EQ(describe_os_error(ENOENT), "No such file or directory (os error 2)");
}

TEST(NativeThread, StartsWithAnyStackSizeAndReportsWhatTheSystemRefuses) {
    // A stack of one byte is rounded up to what the system takes.
    auto body_ran = std::make_shared<std::atomic<bool>>(false);
    std::string error;
    auto small = NativeThread::spawn([body_ran] { body_ran->store(true); }, 1, error);
    ASSERT_TRUE(small) << error;
    EXPECT_FALSE(small->join());
    EXPECT_TRUE(body_ran->load());
    EXPECT_FALSE(small->joinable());

    // A stack larger than the address space: nothing runs, the body is let go, the error names the reason.
    auto body = std::make_shared<int>(0);
    auto huge = NativeThread::spawn([body] { *body = 1; }, SIZE_MAX / 2, error);
    EXPECT_FALSE(huge);
    EXPECT_EQ(body.use_count(), 1);
    EXPECT_EQ(*body, 0);
    EXPECT_TRUE(error == describe_os_error(EAGAIN) || error == describe_os_error(ENOMEM) ||
                error == describe_os_error(EINVAL))
        << error;
}

TEST(Clock, MonotonicAndDeadlinesLieThatFarAhead) {
    const std::uint64_t a = monotonic_now_ns();
    const Deadline d = Deadline::after(Duration::from_millis(1500));
    const std::uint64_t b = monotonic_now_ns();
    EXPECT_LE(a, b);
    ASSERT_FALSE(d.is_never());
    EXPECT_TRUE(d.ns() >= a + 1'500'000'000u && d.ns() <= b + 1'500'000'000u && !d.has_passed());
    EXPECT_TRUE(Deadline::at(a).has_passed());
    EXPECT_FALSE(Deadline::never().has_passed());
}

namespace {

std::atomic<int> g_signals{0};
void count_signal(int) { g_signals.fetch_add(1); }

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

}  // namespace

TEST(Park, WaitsOnlyWhileTheWordHoldsTheValueAndTimesOutAtItsDeadline) {
    std::atomic<std::uint32_t> word{7};
    EXPECT_EQ(wait_on_word(word, 8), WaitStatus::Woken);  // already changed
    const Deadline soon = Deadline::after(Duration::from_millis(30));
    EXPECT_EQ(wait_on_word(word, 7, soon), WaitStatus::TimedOut);
    EXPECT_TRUE(soon.has_passed());
    // A deadline shorter than an interruptible wait's slice ends as a timeout.
    const Deadline sooner = Deadline::after(Duration::from_millis(5));
    EXPECT_EQ(wait_on_word(word, 7, sooner, true), WaitStatus::TimedOut);
    EXPECT_EQ(wait_on_word(word, 7, Deadline::at(0)), WaitStatus::TimedOut);

    // Woken by another thread that changes the word.
    std::atomic<bool> asleep{false};
    DeadlineThreads waker;
    waker.spawn([&] {
        asleep.wait(false);
        word.store(9);
        wake_one(word);
    });
    asleep.store(true);
    asleep.notify_one();
    while (word.load() == 7) {
        EXPECT_NE(wait_on_word(word, 7, Deadline::after(Duration::from_millis(60'000))), WaitStatus::TimedOut);
    }
    waker.join_all();
}

// Signals end an interruptible sleep; an uninterruptible one sleeps on through them until woken.
TEST(Park, SignalsEndOnlyInterruptibleSleeps) {
    struct sigaction action {};
    action.sa_handler = count_signal;
    sigemptyset(&action.sa_mask);  // no SA_RESTART: sleeping system calls see EINTR
    struct sigaction previous {};
    sigaction(SIGUSR2, &action, &previous);

    std::atomic<std::uint32_t> word{0};
    std::atomic<int> returned{0};
    std::atomic<bool> started{false};
    engine_test::TestThread sleeper([&] {
        started.store(true);
        EXPECT_EQ(wait_on_word(word, 0, Deadline::never(), true), WaitStatus::Interrupted);
        returned.store(1);
        while (word.load() == 0) {
            EXPECT_EQ(wait_on_word(word, 0), WaitStatus::Woken);
        }
        returned.store(2);
    });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    // The first signal (sent until it lands in the sleep) ends the interruptible wait.
    ASSERT_TRUE(eventually([&] {
        pthread_kill(sleeper.native_handle(), SIGUSR2);
        return returned.load() == 1 || eventually([&] { return returned.load() == 1; }, std::chrono::milliseconds(50));
    }));
    // Then three more, each handled on the sleeper, leave it asleep.
    for (int i = 0; i < 3; ++i) {
        const int before = g_signals.load();
        pthread_kill(sleeper.native_handle(), SIGUSR2);
        ASSERT_TRUE(eventually([&] { return g_signals.load() > before; }));
    }
    EXPECT_EQ(returned.load(), 1);
    word.store(1);
    wake_all(word);
    sleeper.join_or_fail();
    EXPECT_EQ(returned.load(), 2);
    sigaction(SIGUSR2, &previous, nullptr);
}

// A token handed along a ring of threads through 1024 words, more than the portable build has buckets: a lost wake
// hangs the ring, a wrong one lets a thread run without the token.
TEST(Park, HandOffsAcrossManyWordsNeverLoseAWake) {
    constexpr int kThreads = 4;
    constexpr std::size_t kWords = 1024;
    const int hand_offs = engine_test::scaled(20'000, 4'000);
    std::vector<std::atomic<std::uint32_t>> words(kWords);
    std::atomic<int> holders{0};
    DeadlineThreads threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.spawn([&, t] {
            // Thread t takes hand-offs t, t + kThreads, ...: hand-off h travels on word h % kWords.
            for (int h = t; h < hand_offs; h += kThreads) {
                auto& mine = words[static_cast<std::size_t>(h) % kWords];
                while (mine.load(std::memory_order_acquire) == 0) {
                    wait_on_word(mine, 0);
                }
                EXPECT_EQ(holders.fetch_add(1), 0);
                mine.store(0, std::memory_order_relaxed);
                holders.fetch_sub(1);
                auto& next = words[static_cast<std::size_t>(h + 1) % kWords];
                next.store(1, std::memory_order_release);
                wake_one(next);
            }
        });
    }
    words[0].store(1, std::memory_order_release);
    wake_one(words[0]);
    threads.join_all(std::chrono::seconds(120));
    EXPECT_EQ(words[static_cast<std::size_t>(hand_offs) % kWords].load(), 1u);
}

TEST(WakeFd, SignalsCoalesceUntilDrainedFromAnyThread) {
    std::string error;
    auto fd = WakeFd::create(error);
    ASSERT_TRUE(fd) << error;
    const int raw = fd->fd();
    EXPECT_NE(fcntl(raw, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(raw, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_FALSE(readable(raw));
    fd->drain();  // draining nothing neither blocks nor fails
    EXPECT_FALSE(readable(raw));

    // More signals than a pipe holds bytes: none blocks, one drain takes them all.
    for (int i = 0; i < 100'000; ++i) {
        fd->signal();
    }
    EXPECT_TRUE(readable(raw));
    fd->drain();
    EXPECT_FALSE(readable(raw));

    // A loop polling the descriptor wakes when another thread signals.
    DeadlineThreads signaller;
    signaller.spawn([&] { fd->signal(); });
    pollfd p{raw, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 60'000), 1);
    signaller.join_all();
    fd->drain();
    EXPECT_FALSE(readable(raw));

    fd.reset();
    EXPECT_EQ(fcntl(raw, F_GETFD), -1);  // closed with its owner
    EXPECT_EQ(errno, EBADF);
}

// Out of descriptors, creation reports the system's reason and leaks none.
TEST(WakeFd, CreationFailsCleanlyWithoutDescriptors) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const int lowest_free = dup(0);
    ASSERT_GE(lowest_free, 0);
    close(lowest_free);
    // Room for exactly one more descriptor: an eventfd fits, a pipe does not.
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest_free + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string error;
    auto one = WakeFd::create(error);
    tight.rlim_cur = static_cast<rlim_t>(lowest_free);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::string none_error;
    auto none = WakeFd::create(none_error);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    EXPECT_FALSE(none);
    EXPECT_EQ(none_error, describe_os_error(EMFILE));
#if defined(TORVAN_WAKE_EVENTFD)
    EXPECT_TRUE(one) << error;
#else
    EXPECT_FALSE(one);
    EXPECT_EQ(error, describe_os_error(EMFILE));
#endif
    one.reset();
    const int after = dup(0);
    EXPECT_EQ(after, lowest_free);  // nothing left open
    close(after);
}
