// The map's native core: the shard mutex (exclusion, parking, no lost
// wake-up), the shard table against a model, shard counts, and read
// sections that never follow what writers free.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "core/map/read_section.hpp"
#include "core/map/shard_count.hpp"
#include "core/sync/word_mutex.hpp"
#include "core/map/shard_table.hpp"
#include "test_support.hpp"

using torvan::sync::WordMutex;
using torvan::testing::DeadlineThreads;
using torvan::map::default_shard_count;
using torvan::map::ShardTable;
using torvan::map::TableKey;
using torvan::map::TableKeySource;
using torvan::map::ReadSection;
using torvan::map::wait_for_readers;

// Unsynchronised read-modify-write inside the lock: any overlap of two
// holders loses increments (and ThreadSanitizer reports the race).
TEST(WordMutex, MutualExclusionUnderContention) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    WordMutex mutex;
    std::uint64_t counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    DeadlineThreads threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.spawn([&] {
            for (int i = 0; i < kRounds; ++i) {
                std::lock_guard<WordMutex> guard(mutex);
                if (inside.fetch_add(1, std::memory_order_relaxed) != 0) {
                    overlap = true;
                }
                std::uint64_t seen = counter;
                counter = seen + 1;
                inside.fetch_sub(1, std::memory_order_relaxed);
            }
        });
    }
    threads.join_all();
    EXPECT_FALSE(overlap.load());
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
}

// A hand-over chain: each thread waits, parked, for a lock the previous
// holder releases exactly once. A lost wake-up leaves the chain stuck.
TEST(WordMutex, NoLostWakeUpOnHandOver) {
    constexpr int kRounds = 2000;
    for (int round = 0; round < kRounds; ++round) {
        WordMutex mutex;
        mutex.lock();
        std::atomic<bool> acquired{false};
        DeadlineThreads threads;
        threads.spawn([&] {
            mutex.lock();
            acquired = true;
            mutex.unlock();
        });
        if (round % 2 == 0) {
            std::this_thread::yield();  // sometimes let the waiter reach its park first
        }
        mutex.unlock();
        threads.join_all(std::chrono::seconds(30));
        ASSERT_TRUE(acquired.load());
    }
}

namespace {

struct Item {
    int id;
    int payload;
};
using Table = ShardTable<Item>;

std::vector<int> ids_of(Table& table, std::uint64_t hash) {
    std::vector<int> ids;
    if (auto* entry = table.find(hash)) {
        for (const Item& item : entry->bucket()) {
            ids.push_back(item.id);
        }
    }
    return ids;
}

}  // namespace

// Random inserts and removals against an ordered model, with hash values
// crowded into few residues so that probe runs are long and removals shift
// entries back across the wrap-around of the slot array.
TEST(ShardTable, MatchesModelUnderRandomChurn) {
    std::mt19937_64 random(12345);
    for (TableKey key : {TableKey{0, 0}, TableKeySource().key_for(3)}) {
        Table table(key);
        std::map<std::uint64_t, std::vector<int>> model;
        int next_id = 0;
        for (int step = 0; step < 20000; ++step) {
            std::uint64_t hash = (random() % 97) * 16;  // like one shard's share of small ints
            if (random() % 3 != 0) {
                table.append(hash, {next_id, 0});
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
                    ASSERT_EQ(ids_of(table, h), ids) << "hash " << h;
                    items += ids.size();
                }
                ASSERT_EQ(table.size(), items);
                ASSERT_EQ(table.bucket_count(), model.size());
            }
        }
        std::set<std::uint64_t> seen;
        table.for_each([&](const Table::Entry& entry) {
            EXPECT_FALSE(entry.bucket().empty());
            EXPECT_TRUE(seen.insert(entry.hash()).second) << "bucket listed twice";
        });
        EXPECT_EQ(seen.size(), model.size());
    }
}

TEST(TableKeySource, KeysDifferPerTableAndPerSource) {
    TableKeySource a, b;
    std::set<std::uint64_t> seen;
    for (std::uint64_t i = 0; i < 64; ++i) {
        seen.insert(a.key_for(i).k0);
        seen.insert(b.key_for(i).k0);
    }
    EXPECT_EQ(seen.size(), 128u);
    EXPECT_EQ(a.key_for(9).k1, a.key_for(9).k1);
}

TEST(DefaultShardCount, AtLeastSixteenElseNextPowerOfTwo) {
    EXPECT_EQ(default_shard_count(std::nullopt), 16u);
    EXPECT_EQ(default_shard_count(1u), 16u);
    EXPECT_EQ(default_shard_count(8u), 16u);
    EXPECT_EQ(default_shard_count(16u), 16u);
    EXPECT_EQ(default_shard_count(17u), 32u);
    EXPECT_EQ(default_shard_count(24u), 32u);
    EXPECT_EQ(default_shard_count(33u), 64u);
    EXPECT_EQ(default_shard_count(64u), 64u);
    EXPECT_EQ(default_shard_count(96u), 128u);
}

namespace {

// A heap cell standing for a stored object: the writer frees it right after
// taking it out, so a reader that could still reach it reads freed memory
// (AddressSanitizer) or races with the free (ThreadSanitizer).
struct Cell {
    std::uint64_t key;
    std::uint64_t value;
};

struct Shard {
    WordMutex lock;
    ShardTable<Cell*> table;
};

// The map's lock-free read: the value under `key`, 0 when absent, nothing
// when a writer holds the lock.
std::optional<std::uint64_t> read(Shard& shard, std::uint64_t key) {
    ReadSection section;
    if (!section.entered() || !shard.lock.is_free()) {
        return std::nullopt;
    }
    auto* entry = shard.table.find(key % 97);  // collisions: several keys per bucket
    if (entry == nullptr) {
        return 0;
    }
    for (Cell* cell : entry->bucket()) {
        if (cell->key == key) {
            return cell->value;
        }
    }
    return 0;
}

}  // namespace

// Writers insert, replace (a new cell, the old one freed) and delete while
// the table grows and shrinks across rehashes; readers never see a freed cell
// and always see a value that belongs to the key.
TEST(ReadSection, ReadersNeverFollowWhatWritersFree) {
    constexpr int kWriters = 2;
    constexpr int kReaders = 3;
    constexpr std::uint64_t kKeys = 2000;
    constexpr int kRounds = 30000;
    Shard shard;
    std::atomic<int> writing{kWriters};
    std::atomic<int> readers_started{0};
    std::atomic<std::uint64_t> lock_free_reads{0};
    DeadlineThreads threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.spawn([&, w] {
            // On a loaded machine the writers could otherwise finish before a reader runs.
            while (readers_started.load() != kReaders) {
                std::this_thread::yield();
            }
            std::uint64_t state = 0x9E3779B97F4A7C15ull * (w + 1);
            for (int round = 0; round < kRounds; ++round) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                std::uint64_t key = (state >> 33) % kKeys + 1;
                Cell* gone = nullptr;
                {
                    std::lock_guard<WordMutex> guard(shard.lock);
                    wait_for_readers();
                    auto* entry = shard.table.find(key % 97);
                    std::uint32_t i = 0;
                    while (entry != nullptr && i < entry->bucket().size() && entry->bucket()[i]->key != key) {
                        ++i;
                    }
                    bool present = entry != nullptr && i < entry->bucket().size();
                    if (present && (state & 1) != 0) {
                        gone = entry->bucket()[i];
                        shard.table.erase(*entry, i);
                    } else if (present) {
                        gone = std::exchange(entry->bucket()[i], new Cell{key, key * 10 + round % 7});
                    } else {
                        shard.table.append(key % 97, new Cell{key, key * 10});
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
                if (std::optional<std::uint64_t> value = read(shard, key)) {
                    lock_free_reads.fetch_add(1, std::memory_order_relaxed);
                    if (*value != 0) {
                        EXPECT_EQ(*value / 10, key);
                    }
                }
            }
        });
    }
    threads.join_all(std::chrono::seconds(120));
    EXPECT_GT(lock_free_reads.load(), 0u);
    shard.table.for_each([](const auto& entry) {
        for (Cell* cell : entry.bucket()) {
            delete cell;
        }
    });
}
