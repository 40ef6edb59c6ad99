// Many producers and consumers on one channel: every item arrives exactly
// once, and each consumer sees each producer's items in sending order.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "core/engine/engine.hpp"
#include "test_support.hpp"

using namespace torvan::engine;
using engine_test::TestThread;

namespace {

constexpr int kProducers = 4;
constexpr int kConsumers = 4;

struct Item {
    int producer;
    int seq;
};

// Checks exactly-once delivery and per-producer order within each consumer.
void check_delivery(const std::vector<std::vector<Item>>& received, int per_producer) {
    std::vector<std::vector<int>> seen(kProducers, std::vector<int>(static_cast<std::size_t>(per_producer), 0));
    for (const auto& log : received) {
        std::vector<int> last(kProducers, -1);
        for (const Item& item : log) {
            ASSERT_GE(item.producer, 0);
            ASSERT_LT(item.producer, kProducers);
            ASSERT_GT(item.seq, last[static_cast<std::size_t>(item.producer)]) << "out of order";
            last[static_cast<std::size_t>(item.producer)] = item.seq;
            ++seen[static_cast<std::size_t>(item.producer)][static_cast<std::size_t>(item.seq)];
        }
    }
    for (const auto& counts : seen) {
        ASSERT_TRUE(std::all_of(counts.begin(), counts.end(), [](int c) { return c == 1; }))
            << "an item was lost or duplicated";
    }
}

// Producers use blocking sends (or a select over the send when `select_send`),
// consumers blocking receives (or a select), until the channel disconnects.
void run(std::pair<Sender<Item>, Receiver<Item>> channel, int per_producer, bool use_select) {
    auto& [tx, rx] = channel;
    std::vector<std::vector<Item>> received(kConsumers);
    {
        std::vector<std::unique_ptr<TestThread>> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.push_back(std::make_unique<TestThread>([&received, c, r = rx.clone(), use_select] {
                std::optional<Item> out;
                for (;;) {
                    RecvStatus status;
                    if (use_select && c % 2 == 0) {
                        Select sel;
                        sel.add_recv(r);
                        status = sel.select().recv(r, out);
                    } else {
                        status = r.recv(out);
                    }
                    if (status != RecvStatus::Received) {
                        ASSERT_EQ(status, RecvStatus::Disconnected);
                        return;
                    }
                    received[static_cast<std::size_t>(c)].push_back(*out);
                }
            }));
        }
        rx.reset();
        for (int p = 0; p < kProducers; ++p) {
            threads.push_back(std::make_unique<TestThread>([p, s = tx.clone(), per_producer, use_select] {
                for (int i = 0; i < per_producer; ++i) {
                    Item item{p, i};
                    SendStatus status;
                    if (use_select && p % 2 == 0) {
                        Select sel;
                        sel.add_send(s);
                        status = sel.select().send(s, item);
                    } else {
                        status = s.send(item);
                    }
                    ASSERT_EQ(status, SendStatus::Sent);
                }
            }));
        }
        tx.reset();  // the producers' clones are the last senders
        for (auto& t : threads) {
            t->join_or_fail();
        }
    }
    check_delivery(received, per_producer);
}

}  // namespace

TEST(EngineStress, UnboundedManyToMany) {
    run(unbounded<Item>(), engine_test::scaled(40000, 12000), false);
    run(unbounded<Item>(), engine_test::scaled(20000, 6000), true);
}

TEST(EngineStress, BoundedManyToMany) {
    run(bounded<Item>(16), engine_test::scaled(40000, 12000), false);
    run(bounded<Item>(1), engine_test::scaled(10000, 4000), false);
    run(bounded<Item>(3), engine_test::scaled(20000, 6000), true);
}

TEST(EngineStress, RendezvousManyToMany) {
    run(bounded<Item>(0), engine_test::scaled(10000, 3000), false);
    run(bounded<Item>(0), engine_test::scaled(5000, 2000), true);
}

TEST(EngineStress, SelectAcrossChannelsDeliversExactlyOnce) {
    // Producers offer each item to two channels of different flavours at
    // once; consumers take from either. Each item travels through exactly one.
    const int per_producer = engine_test::scaled(8000, 2500);
    for (int capacity : {0, 2}) {
        auto [tx_a, rx_a] = bounded<Item>(static_cast<std::size_t>(capacity));
        auto [tx_b, rx_b] = bounded<Item>(0);
        std::vector<std::vector<Item>> received(kConsumers);
        {
            std::vector<std::unique_ptr<TestThread>> threads;
            for (int c = 0; c < kConsumers; ++c) {
                threads.push_back(std::make_unique<TestThread>(
                    [&received, c, a = rx_a.clone(), b = rx_b.clone()] {
                        std::optional<Item> out;
                        bool a_open = true;
                        bool b_open = true;
                        while (a_open || b_open) {
                            Select sel;
                            const std::size_t ia = a_open ? sel.add_recv(a) : SIZE_MAX;
                            const std::size_t ib = b_open ? sel.add_recv(b) : SIZE_MAX;
                            SelectedOperation op = sel.select();
                            const bool from_a = op.index() == ia;
                            (void)ib;
                            const RecvStatus status = from_a ? op.recv(a, out) : op.recv(b, out);
                            if (status == RecvStatus::Disconnected) {
                                (from_a ? a_open : b_open) = false;
                                continue;
                            }
                            received[static_cast<std::size_t>(c)].push_back(*out);
                        }
                    }));
            }
            rx_a.reset();
            rx_b.reset();
            for (int p = 0; p < kProducers; ++p) {
                threads.push_back(
                    std::make_unique<TestThread>([p, a = tx_a.clone(), b = tx_b.clone(), per_producer] {
                        for (int i = 0; i < per_producer; ++i) {
                            Select sel;
                            sel.add_send(a);
                            sel.add_send(b);
                            SelectedOperation op = sel.select();
                            Item item{p, i};
                            const SendStatus status = op.index() == 0 ? op.send(a, item) : op.send(b, item);
                            ASSERT_EQ(status, SendStatus::Sent);
                        }
                    }));
            }
            tx_a.reset();
            tx_b.reset();
            for (auto& t : threads) {
                t->join_or_fail();
            }
        }
        // Two channels: order holds per channel only, so check exactly-once here.
        std::vector<std::vector<int>> seen(kProducers, std::vector<int>(static_cast<std::size_t>(per_producer), 0));
        for (const auto& log : received) {
            for (const Item& item : log) {
                ++seen[static_cast<std::size_t>(item.producer)][static_cast<std::size_t>(item.seq)];
            }
        }
        for (const auto& counts : seen) {
            ASSERT_TRUE(std::all_of(counts.begin(), counts.end(), [](int c) { return c == 1; }));
        }
    }
}
