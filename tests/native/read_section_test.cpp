#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "deadline_threads.hpp"
#include "map/read_section.hpp"
#include "map/shard_mutex.hpp"
#include "map/shard_table.hpp"

using torvan::map::ReadSection;
using torvan::map::ShardMutex;
using torvan::map::ShardTable;
using torvan::map::wait_for_readers;
using torvan::testing::DeadlineThreads;

namespace {

// A heap cell standing for a stored object: the writer frees it right after
// taking it out, so a reader that could still reach it reads freed memory
// (AddressSanitizer) or races with the free (ThreadSanitizer).
struct Cell {
    std::uint64_t key;
    std::uint64_t value;
};

struct Shard {
    ShardMutex lock;
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
    std::atomic<std::uint64_t> lock_free_reads{0};
    DeadlineThreads threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.spawn([&, w] {
            std::uint64_t state = 0x9E3779B97F4A7C15ull * (w + 1);
            for (int round = 0; round < kRounds; ++round) {
                state = state * 6364136223846793005ull + 1442695040888963407ull;
                std::uint64_t key = (state >> 33) % kKeys + 1;
                Cell* gone = nullptr;
                {
                    std::lock_guard<ShardMutex> guard(shard.lock);
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
