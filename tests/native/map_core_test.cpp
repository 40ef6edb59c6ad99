// The map's native core: the shard table against a model, shard counts, and read sections. (The word mutex is under
// every channel wait and map write: the engine and map tests load it.)

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "core/map/read_section.hpp"
#include "core/map/shard_count.hpp"
#include "core/sync/word_mutex.hpp"
#include "core/map/shard_table.hpp"
#include "test_support.hpp"

using namespace torvan::map;
using engine_test::DeadlineThreads;
using torvan::sync::WordMutex;

// Against a model, hashes crowded into few residues: long probe runs, removals shifting back across the wrap.
TEST(ShardTable, MatchesModelUnderRandomChurn) {
    std::mt19937_64 random(12345);
    for (TableKey key : {TableKey{0, 0}, TableKeySource().key_for(3)}) {
        ShardTable<int> table(key);
        std::map<std::uint64_t, std::vector<int>> model;
        int next_id = 0;
        for (int step = 0; step < 20000; ++step) {
            std::uint64_t hash = (random() % 97) * 16;  // like one shard's share of small ints
            if (random() % 3 != 0) {
                table.append(hash, next_id);
                model[hash].push_back(next_id++);
            } else if (auto found = model.find(hash); found != model.end()) {
                std::uint32_t index = static_cast<std::uint32_t>(random() % found->second.size());
                auto* entry = table.find(hash);
                ASSERT_NE(entry, nullptr);
                table.erase(*entry, index);
                found->second.erase(found->second.begin() + index);
                if (found->second.empty()) {
                    model.erase(found);
                }
            }
            if (step % 500 == 0) {
                std::size_t items = 0;
                for (auto& [h, ids] : model) {
                    auto* entry = table.find(h);
                    ASSERT_NE(entry, nullptr) << "hash " << h;
                    ASSERT_EQ(std::vector<int>(entry->bucket().begin(), entry->bucket().end()), ids) << "hash " << h;
                    items += ids.size();
                }
                ASSERT_EQ(table.size(), items);
                ASSERT_EQ(table.bucket_count(), model.size());
            }
        }
    }
}

TEST(DefaultShardCount, AtLeastSixteenElseNextPowerOfTwo) {
    EXPECT_EQ(default_shard_count(std::nullopt), 16u);
    for (auto [processors, shards] : {std::pair{1u, 16u}, {8u, 16u}, {16u, 16u}, {17u, 32u}, {24u, 32u}, {33u, 64u},
                                      {64u, 64u}, {96u, 128u}}) {
        EXPECT_EQ(default_shard_count(processors), shards) << processors;
    }
}

// Writers insert, replace and delete (freeing after the lock) across rehashes; lock-free readers never reach a freed
// cell (AddressSanitizer, ThreadSanitizer) and see only values of the key they look up.
TEST(ReadSection, ReadersNeverFollowWhatWritersFree) {
    struct Cell {
        std::uint64_t key, value;
    };
    constexpr int kWriters = 2;
    constexpr int kReaders = 3;
    constexpr std::uint64_t kKeys = 2000;
    WordMutex lock;
    ShardTable<Cell*> table;
    std::atomic<int> writing{kWriters}, readers_started{0};
    std::atomic<std::uint64_t> lock_free_reads{0};
    // The bucket of `key` and its index there (the bucket's size when absent).
    const auto locate = [&table](std::uint64_t key) {
        auto* entry = table.find(key % 97);  // collisions: several keys per bucket
        std::uint32_t i = 0;
        while (entry != nullptr && i < entry->bucket().size() && entry->bucket()[i]->key != key) {
            ++i;
        }
        return std::pair{entry, i};
    };
    DeadlineThreads threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.spawn([&, w] {
            // On a loaded machine the writers could otherwise finish before a reader runs.
            engine_test::eventually([&] { return readers_started.load() == kReaders; });
            std::uint64_t state = 0x9E3779B97F4A7C15ull * (w + 1);
            for (int round = 0; round < 30000; ++round) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                std::uint64_t key = (state >> 33) % kKeys + 1;
                Cell* gone = nullptr;
                {
                    std::lock_guard<WordMutex> guard(lock);
                    wait_for_readers();
                    auto [entry, i] = locate(key);
                    if (entry == nullptr || i == entry->bucket().size()) {
                        table.append(key % 97, new Cell{key, key * 10});
                    } else if ((state & 1) != 0) {
                        gone = entry->bucket()[i];
                        table.erase(*entry, i);
                    } else {
                        gone = std::exchange(entry->bucket()[i], new Cell{key, key * 10 + round % 7});
                    }
                }
                delete gone;  // after the lock, as the map releases references
            }
            writing.fetch_sub(1, std::memory_order_relaxed);
        });
    }
    for (int r = 0; r < kReaders; ++r) {
        threads.spawn([&, r] {
            std::uint64_t key = static_cast<std::uint64_t>(r);
            readers_started.fetch_add(1);
            while (writing.load(std::memory_order_relaxed) != 0) {
                key = key % kKeys + 1;
                ReadSection section;
                if (!section.entered() || !lock.is_free()) {
                    continue;  // the map's read falls back to the lock here
                }
                lock_free_reads.fetch_add(1, std::memory_order_relaxed);
                if (auto [entry, i] = locate(key); entry != nullptr && i < entry->bucket().size()) {
                    EXPECT_EQ(entry->bucket()[i]->value / 10, key);
                }
            }
        });
    }
    threads.join_all(std::chrono::seconds(120));
    EXPECT_GT(lock_free_reads.load(), 0u);
    table.for_each([](const auto& entry) {
        for (Cell* cell : entry.bucket()) {
            delete cell;
        }
    });
}
