// Litmus-style stress of the points where one thread hands memory to another (a channel slot and its reuse, a list
// channel's next block, a read section against a locking writer, a waiter's selection and park words): plain data
// written on one side, checked on the other, the sides started together. ThreadSanitizer shows an ordering too weak
// as a race, Arm builds as torn data.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/engine/context.hpp"
#include "core/engine/engine.hpp"
#include "core/map/read_section.hpp"
#include "core/sync/spin_wait.hpp"
#include "core/sync/word_mutex.hpp"
#include "test_support.hpp"

using namespace torvan;
using engine_test::DeadlineThreads;

namespace {

// Fields that only agree when all four were read after all four were written.
struct Payload {
    std::uint64_t a = 0, b = 0, c = 0, d = 0;

    static Payload of(std::uint64_t n) { return Payload{n, n * 0x9E3779B97F4A7C15ull, ~n, n ^ 0x5555555555555555ull}; }
    bool whole() const { return b == a * 0x9E3779B97F4A7C15ull && c == ~a && d == (a ^ 0x5555555555555555ull); }
};

// Both sides of a round begin together: a spinning barrier for two threads.
struct RoundStart {
    void arrive(std::uint64_t round) {
        arrived.fetch_add(1);
        for (std::uint32_t spins = 1; arrived.load() < 2 * (round + 1); ++spins) {
            platform::cpu_relax();
            if (spins % 1024 == 0) {
                platform::yield_now();  // the other side may be off its processor
            }
        }
    }
    std::atomic<std::uint64_t> arrived{0};
};

}  // namespace

// Items by value and by pointer to plain memory, from several senders to several receivers, on every flavour: a slot
// read too early, or rewritten before its reader is done, breaks an item.
TEST(Litmus, SlotsHandOverEverythingWrittenBeforeTheSend) {
    constexpr int kSenders = 3;
    constexpr int kReceivers = 2;
    const int per_sender = engine_test::scaled(10'000, 2'000);
    for (int capacity : {-1, 0, 1, 3}) {
        auto [tx, rx] = engine_test::make<Payload>(capacity);
        auto [ptx, prx] = engine_test::make<Payload*>(capacity);
        std::atomic<std::uint64_t> received{0}, broken{0};
        DeadlineThreads threads;
        for (int s = 0; s < kSenders; ++s) {
            threads.spawn([&, s, tx = tx.clone(), ptx = ptx.clone()] {
                for (int i = 0; i < per_sender; ++i) {
                    const auto n = static_cast<std::uint64_t>(s * per_sender + i);
                    Payload item = Payload::of(n);
                    ASSERT_EQ(tx.send(item), engine::SendStatus::Sent);
                    Payload* boxed = new Payload(Payload::of(n));
                    ASSERT_EQ(ptx.send(boxed), engine::SendStatus::Sent);
                }
            });
        }
        // Receivers of each channel apart: a sender may wait on either.
        for (int r = 0; r < kReceivers; ++r) {
            threads.spawn([&, rx = rx.clone()] {
                std::optional<Payload> item;
                while (rx.recv(item) == engine::RecvStatus::Received) {
                    broken.fetch_add(item->whole() ? 0 : 1);
                    received.fetch_add(1);
                    item.reset();
                }
            });
            threads.spawn([&, prx = prx.clone()] {
                std::optional<Payload*> boxed;
                while (prx.recv(boxed) == engine::RecvStatus::Received) {
                    broken.fetch_add((*boxed)->whole() ? 0 : 1);
                    *(*boxed) = Payload{};  // the receiver owns it now: written, then freed
                    delete *boxed;
                    received.fetch_add(1);
                    boxed.reset();
                }
            });
        }
        // Dropping the test's own senders lets the receivers end once the threads' are gone.
        { auto gone = std::move(tx); }
        { auto gone = std::move(ptx); }
        threads.join_all(std::chrono::seconds(180));
        EXPECT_EQ(broken.load(), 0u) << "capacity " << capacity;
        EXPECT_EQ(received.load(), 2u * kSenders * static_cast<std::uint64_t>(per_sender)) << "capacity " << capacity;
    }
}

// The store-buffering shape of read sections: the reader announces itself and then looks at the lock, the writer
// takes the lock and then looks for readers. Both start each round together; if both missed the other, the reader
// would read the data while the writer rewrites it.
TEST(Litmus, AReadSectionAndALockingWriterNeverBothMissEachOther) {
    const std::uint64_t rounds = engine_test::scaled(20'000, 4'000);
    sync::WordMutex lock;
    Payload data = Payload::of(0);
    RoundStart start;
    std::uint64_t torn = 0, reads = 0;
    DeadlineThreads threads;
    threads.spawn([&] {
        for (std::uint64_t round = 0; round < rounds; ++round) {
            start.arrive(round);
            map::ReadSection section;
            if (section.entered() && lock.is_free()) {
                const Payload seen = data;
                torn += seen.whole() ? 0 : 1;
                ++reads;
            }
        }
    });
    threads.spawn([&] {
        for (std::uint64_t round = 0; round < rounds; ++round) {
            start.arrive(round);
            std::lock_guard<sync::WordMutex> guard(lock);
            map::wait_for_readers();
            data = Payload::of(round + 1);
        }
    });
    threads.join_all(std::chrono::seconds(180));
    EXPECT_EQ(torn, 0u);
    EXPECT_GT(reads, 0u);
}

// A waker writes plain data, selects the waiter's operation and unparks it; the waiter, spinning or parked, reads the
// data once it sees the selection. Two threads take turns in both roles, so every round also reuses the park word of
// a context that has just been woken.
TEST(Litmus, ASelectionAndItsWakeHandOverWhatTheWakerWrote) {
    const std::uint64_t rounds = engine_test::scaled(20'000, 4'000);
    engine::detail::Context* contexts[2] = {new engine::detail::Context(1), new engine::detail::Context(2)};
    std::atomic<bool> armed[2] = {false, false};
    Payload mailbox[2];
    std::uint64_t broken[2] = {0, 0};
    DeadlineThreads threads;
    for (int side = 0; side < 2; ++side) {
        threads.spawn([&, side] {
            engine::detail::Context& mine = *contexts[side];
            engine::detail::Context& theirs = *contexts[1 - side];
            for (std::uint64_t round = 0; round < rounds; ++round) {
                const bool my_turn_to_wait = (round % 2) == static_cast<std::uint64_t>(side);
                if (my_turn_to_wait) {
                    // Arm the context before telling the waker it may select it.
                    mine.reset();
                    armed[side].store(true);
                    sync::SpinWait spin;
                    engine::detail::AbortReason reason;
                    const std::uintptr_t selected = mine.wait_until(spin, platform::Deadline::never(), false, reason);
                    EXPECT_EQ(selected, round + 16);
                    broken[side] += mailbox[side].whole() && mailbox[side].a == round ? 0 : 1;
                } else {
                    while (!armed[1 - side].exchange(false)) {
                        platform::cpu_relax();
                    }
                    mailbox[1 - side] = Payload::of(round);
                    ASSERT_TRUE(theirs.try_select(round + 16));  // ids 0-2 are taken
                    theirs.unpark();
                }
            }
        });
    }
    threads.join_all(std::chrono::seconds(180));
    EXPECT_EQ(broken[0] + broken[1], 0u);
    contexts[0]->release();
    contexts[1]->release();
}
