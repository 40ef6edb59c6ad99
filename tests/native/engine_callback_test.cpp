// Items whose destructors call back into the very channel that destroys
// them: the engine must hold no lock while item destructors run, and must
// stay consistent when a destructor drops a handle of the channel.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <utility>

#include "binding/failure.hpp"
#include "engine/engine.hpp"
#include "engine_test_support.hpp"

using namespace torvan::engine;
using torvan::platform::Deadline;
using torvan::platform::Duration;

namespace {

// Runs its hook when an engaged instance is destroyed.
class Reentrant {
public:
    explicit Reentrant(std::function<void()> hook) noexcept : hook_(std::move(hook)) {}
    Reentrant(Reentrant&& other) noexcept : hook_(std::exchange(other.hook_, nullptr)) {}
    Reentrant& operator=(Reentrant&& other) noexcept {
        std::function<void()> old = std::exchange(hook_, std::exchange(other.hook_, nullptr));
        if (old) {
            old();
        }
        return *this;
    }
    ~Reentrant() {
        if (hook_) {
            std::exchange(hook_, nullptr)();
        }
    }

private:
    std::function<void()> hook_;
};

// A hook that uses both handles of a channel without blocking.
std::function<void()> poke(const Sender<Reentrant>* tx, const Receiver<Reentrant>* rx, std::atomic<int>& calls) {
    return [tx, rx, &calls] {
        Reentrant nested(nullptr);
        tx->try_send(nested);  // Sent, Full or Disconnected: it must simply return
        std::optional<Reentrant> out;
        if (rx != nullptr) {
            rx->try_recv(out);
        }
        calls.fetch_add(1);
    };
}

}  // namespace

TEST(EngineCallback, DestructorsRunOutsideLocksOnAbandonedClaims) {
    for (int capacity : {-1, 0, 2}) {
        auto [tx, rx] = capacity < 0 ? unbounded<Reentrant>() : bounded<Reentrant>(static_cast<std::size_t>(capacity));
        std::atomic<int> calls{0};
        engine_test::TestThread sender([&, &tx = tx, &rx = rx] {
            Reentrant item(poke(&tx, &rx, calls));
            tx.send_until(item, Deadline::after(Duration::from_seconds(30).value()), false);
        });
        // The selected receive takes the item; dropping the operation destroys it.
        EXPECT_THROW(
            {
                Select sel;
                sel.add_recv(rx);
                SelectedOperation op = sel.select();
            },
            torvan::NativeFailure);
        sender.join_or_fail();
        EXPECT_EQ(calls.load(), 1) << "capacity " << capacity;
    }
}

TEST(EngineCallback, ReplacedOutputRunsItsDestructorOutsideLocks) {
    for (int capacity : {-1, 0, 2}) {
        auto [tx, rx] = capacity < 0 ? unbounded<Reentrant>() : bounded<Reentrant>(static_cast<std::size_t>(capacity));
        std::atomic<int> calls{0};
        std::optional<Reentrant> out;
        out.emplace(poke(&tx, &rx, calls));
        // The receive empties `out` first; its destructor uses the channel.
        EXPECT_NE(rx.recv_until(out, Deadline::after(Duration::from_millis(5)), false), RecvStatus::Disconnected);
        EXPECT_EQ(calls.load(), 1);
    }
}

TEST(EngineCallback, DiscardedItemsMaySendIntoTheirDisconnectedChannel) {
    auto [tx, rx] = unbounded<Reentrant>();
    std::atomic<int> calls{0};
    for (int i = 0; i < 40; ++i) {
        Reentrant item(poke(&tx, nullptr, calls));
        ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
    }
    rx.reset();  // destroys the 40 items here; each tries to send again
    EXPECT_EQ(calls.load(), 40);
}

TEST(EngineCallback, DestructorsMayDropTheLastHandles) {
    // Items own the last senders of their channel: dropping the receiver
    // destroys them, which disconnects and finally frees the channel.
    for (int capacity : {-1, 3}) {
        auto [tx, rx] = capacity < 0 ? unbounded<Reentrant>() : bounded<Reentrant>(static_cast<std::size_t>(capacity));
        std::atomic<int> dropped{0};
        for (int i = 0; i < 3; ++i) {
            auto owned = std::make_shared<Sender<Reentrant>>(tx.clone());
            Reentrant item([owned, &dropped]() mutable {
                owned.reset();
                dropped.fetch_add(1);
            });
            ASSERT_EQ(tx.try_send(item), SendStatus::Sent);
        }
        tx.reset();
        rx.reset();
        EXPECT_EQ(dropped.load(), 3) << "capacity " << capacity;
    }
}
