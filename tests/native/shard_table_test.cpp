#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "map/shard_count.hpp"
#include "map/shard_table.hpp"

using torvan::map::default_shard_count;
using torvan::map::ShardTable;
using torvan::map::TableKey;
using torvan::map::TableKeySource;

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

TEST(ShardTable, BucketKeepsInsertionOrderAcrossRemovals) {
    Table table(TableKeySource().key_for(0));
    table.append(7, {1, 0});
    table.append(7, {2, 0});
    table.append(7, {3, 0});
    EXPECT_EQ(ids_of(table, 7), (std::vector<int>{1, 2, 3}));
    table.erase(*table.find(7), 1);
    EXPECT_EQ(ids_of(table, 7), (std::vector<int>{1, 3}));
    table.append(7, {2, 0});
    EXPECT_EQ(ids_of(table, 7), (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(table.size(), 3u);
    EXPECT_EQ(table.bucket_count(), 1u);
    // Down to one item (back inline) and then none: the bucket leaves the table.
    table.erase(*table.find(7), 0);
    table.erase(*table.find(7), 0);
    EXPECT_EQ(ids_of(table, 7), (std::vector<int>{2}));
    table.erase(*table.find(7), 0);
    EXPECT_EQ(table.find(7), nullptr);
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.bucket_count(), 0u);
}

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
