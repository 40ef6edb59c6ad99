// Many producers and consumers, direct or by select (select meeting select on a rendezvous too), on one channel of
// each flavour or two at once: every item arrives exactly once, on one channel in each producer's order.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "core/engine/engine.hpp"
#include "test_support.hpp"

using namespace torvan::engine;

namespace {

constexpr int kProducers = 4;
constexpr int kConsumers = 4;

// Items are producer * per_producer + sequence number.
void check_delivery(const std::vector<std::vector<int>>& received, int per_producer, bool ordered) {
    std::vector<int> seen(static_cast<std::size_t>(kProducers * per_producer), 0);
    for (const auto& log : received) {
        std::vector<int> last(kProducers, -1);
        for (int item : log) {
            ASSERT_TRUE(item >= 0 && item < kProducers * per_producer);
            int& previous = last[static_cast<std::size_t>(item / per_producer)];
            ASSERT_TRUE(!ordered || item > previous) << "out of order";
            previous = item;
            ++seen[static_cast<std::size_t>(item)];
        }
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), kProducers * per_producer) << "an item was lost or duplicated";
}

template <class Handle>
std::vector<Handle> clones(const std::vector<Handle>& handles) {
    std::vector<Handle> result;
    for (const Handle& handle : handles) {
        result.push_back(handle.clone());
    }
    return result;
}

// With `use_select`, even-numbered threads select over all channels still open, the others use the first one
// directly; consumers end when every channel they use has disconnected.
void run(std::initializer_list<int> capacities, int per_producer, bool use_select) {
    SCOPED_TRACE(testing::Message() << "first capacity " << *capacities.begin() << (use_select ? ", select" : ""));
    std::vector<Sender<int>> txs;
    std::vector<Receiver<int>> rxs;
    for (int capacity : capacities) {
        auto channel = engine_test::make<int>(capacity);
        txs.push_back(std::move(channel.first));
        rxs.push_back(std::move(channel.second));
    }
    std::vector<std::vector<int>> received(kConsumers);
    engine_test::DeadlineThreads threads;
    for (int c = 0; c < kConsumers; ++c) {
        threads.spawn([&received, c, rxs = clones(rxs), use_select] {
            const bool selecting = use_select && c % 2 == 0;
            std::vector<bool> open(selecting ? rxs.size() : 1, true);
            std::optional<int> out;
            while (std::find(open.begin(), open.end(), true) != open.end()) {
                std::size_t from = 0;
                RecvStatus status;
                if (selecting) {
                    Select sel;
                    std::vector<std::size_t> which;
                    for (std::size_t i = 0; i < rxs.size(); ++i) {
                        if (open[i]) {
                            sel.add_recv(rxs[i]);
                            which.push_back(i);
                        }
                    }
                    SelectedOperation op = sel.select();
                    from = which[op.index()];
                    status = op.recv(rxs[from], out);
                } else {
                    status = rxs[0].recv(out);
                }
                if (status == RecvStatus::Received) {
                    received[static_cast<std::size_t>(c)].push_back(*out);
                } else {
                    ASSERT_EQ(status, RecvStatus::Disconnected);
                    open[from] = false;
                }
            }
        });
    }
    for (int p = 0; p < kProducers; ++p) {
        threads.spawn([p, txs = clones(txs), per_producer, use_select] {
            for (int i = 0; i < per_producer; ++i) {
                int item = p * per_producer + i;
                if (use_select && p % 2 == 0) {
                    Select sel;
                    for (const auto& tx : txs) {
                        sel.add_send(tx);
                    }
                    SelectedOperation op = sel.select();
                    ASSERT_EQ(op.send(txs[op.index()], item), SendStatus::Sent);
                } else {
                    ASSERT_EQ(txs[0].send(item), SendStatus::Sent);
                }
            }
        });
    }
    txs.clear();  // the threads' clones are the last handles
    rxs.clear();
    threads.join_all();
    check_delivery(received, per_producer, capacities.size() == 1);
}

}  // namespace

TEST(EngineStress, EveryItemArrivesExactlyOnce) {
    using engine_test::scaled;
    run({-1}, scaled(40000, 12000), false);
    run({-1}, scaled(20000, 6000), true);
    run({16}, scaled(40000, 12000), false);
    run({1}, scaled(10000, 4000), false);
    run({3}, scaled(20000, 6000), true);
    run({0}, scaled(10000, 3000), false);
    run({0}, scaled(5000, 2000), true);
    // Producers offer each item to two channels at once; consumers take from either.
    run({0, 0}, scaled(8000, 2500), true);
    run({2, 0}, scaled(8000, 2500), true);
}
