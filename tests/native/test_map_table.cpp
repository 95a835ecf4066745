// Native tests for the map's Python-free pieces: the shard table
// (src/map/table.hpp), the shard lock and the default shard count.

#include "map/shard_count.hpp"
#include "map/shard_lock.hpp"
#include "map/table.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <vector>

namespace {

using vornic::map::default_shard_count;
using vornic::map::Pair;
using vornic::map::ShardLock;

// Counts live blocks so tests can see that spills and slot arrays are freed.
struct CountingAlloc {
    static inline std::atomic<long> live{0};
    static inline std::atomic<long> fail_after{-1};  // allocations left before failing; -1 never
    static void* allocate(std::size_t n) noexcept {
        if (fail_after.load() == 0) return nullptr;
        if (fail_after.load() > 0) --fail_after;
        ++live;
        return std::malloc(n);
    }
    static void deallocate(void* p) noexcept {
        --live;
        std::free(p);
    }
};
using T = vornic::map::Table<CountingAlloc>;

// Stand-ins for object pointers: addresses inside an array (even, non-null).
std::vector<std::uint64_t> g_objects(100000);
void* obj(std::size_t i) { return &g_objects[i]; }

class MapTable : public ::testing::Test {
protected:
    void SetUp() override {
        CountingAlloc::live = 0;
        CountingAlloc::fail_after = -1;
    }
    void TearDown() override {
        { T::Taken gone = t.take(); }
        EXPECT_EQ(CountingAlloc::live.load(), 0);
    }
    std::vector<void*> keys_of(std::uint64_t h) {
        std::vector<void*> out;
        if (T::Slot* s = t.find(h))
            for (Pair& p : T::BucketView(s)) out.push_back(p.key);
        return out;
    }
    T t{};
};

TEST_F(MapTable, ZeroFilledTableIsEmptyAndOwnsNothing) {
    T z;
    std::memset(static_cast<void*>(&z), 0, sizeof z);
    EXPECT_EQ(z.find(42), nullptr);
    EXPECT_EQ(z.pairs(), 0u);
    EXPECT_EQ(z.capacity(), 0u);
    EXPECT_EQ(CountingAlloc::live.load(), 0);
}

TEST_F(MapTable, BucketKeepsInsertionOrderThroughRemovals) {
    t.seed(1, 2);
    t.insert(7, Pair{obj(0), obj(100)});
    for (std::size_t i = 1; i < 6; ++i) t.append(t.find(7), Pair{obj(i), obj(100 + i)});
    EXPECT_EQ(t.pairs(), 6u);
    EXPECT_EQ(t.buckets(), 1u);
    EXPECT_EQ(keys_of(7), (std::vector<void*>{obj(0), obj(1), obj(2), obj(3), obj(4), obj(5)}));

    Pair p = t.remove(t.find(7), 2);
    EXPECT_EQ(p.key, obj(2));
    EXPECT_EQ(p.value, obj(102));
    t.remove(t.find(7), 0);
    EXPECT_EQ(keys_of(7), (std::vector<void*>{obj(1), obj(3), obj(4), obj(5)}));
    t.remove(t.find(7), 3);
    t.remove(t.find(7), 2);
    EXPECT_EQ(keys_of(7), (std::vector<void*>{obj(1), obj(3)}));
    t.remove(t.find(7), 1);
    // Back to one pair: the spill block is gone, only the slot array remains.
    EXPECT_EQ(keys_of(7), (std::vector<void*>{obj(1)}));
    EXPECT_EQ(CountingAlloc::live.load(), 1);
    EXPECT_EQ(T::BucketView(t.find(7))[0].value, obj(101));
    t.remove(t.find(7), 0);
    EXPECT_EQ(t.find(7), nullptr);
    EXPECT_EQ(t.buckets(), 0u);
    EXPECT_EQ(t.pairs(), 0u);
}

// Random inserts, appends and removals against std::map, across several
// growths: backward-shift deletion must never lose or strand a member of a
// probe run. Hash values are drawn from a small range so buckets collide.
TEST_F(MapTable, MatchesModelUnderRandomChurn) {
    std::mt19937_64 rng(12345);
    std::map<std::uint64_t, std::vector<void*>> model;
    std::size_t next = 0;
    t.seed(rng(), rng());
    for (int step = 0; step < 200000; ++step) {
        // Large hash values too: the table key is a full 64-bit word.
        const std::uint64_t h = (rng() % 3000) * 0x9e3779b97f4a7c15ULL;
        auto it = model.find(h);
        if (rng() % 3 != 0) {
            void* k = obj(next++ % g_objects.size());
            if (it == model.end()) {
                t.insert(h, Pair{k, k});
                model[h] = {k};
            } else {
                t.append(t.find(h), Pair{k, k});
                it->second.push_back(k);
            }
        } else if (it != model.end()) {
            const std::size_t i = rng() % it->second.size();
            EXPECT_EQ(t.remove(t.find(h), i).key, it->second[i]);
            it->second.erase(it->second.begin() + static_cast<long>(i));
            if (it->second.empty()) model.erase(it);
        } else {
            EXPECT_EQ(t.find(h), nullptr);
        }
        if (step % 20000 == 0 || step == 199999) {
            std::uint64_t pairs = 0;
            for (auto& [hash, ks] : model) {
                ASSERT_EQ(keys_of(hash), ks) << "hash " << hash << " at step " << step;
                pairs += ks.size();
            }
            std::uint64_t seen = 0;
            t.for_each([&](std::uint64_t, T::BucketView b) { seen += b.size(); });
            EXPECT_EQ(seen, pairs);
            EXPECT_EQ(t.pairs(), pairs);
            EXPECT_EQ(t.buckets(), model.size());
            EXPECT_LE(t.buckets() * 4, t.capacity() * 3);
        }
    }
}

TEST_F(MapTable, FailedAllocationLeavesTableUnchanged) {
    t.seed(3, 4);
    for (std::uint64_t h = 0; h < 6; ++h) t.insert(h, Pair{obj(h), obj(h)});
    ASSERT_EQ(t.capacity(), 8u);  // the seventh bucket needs a bigger array
    CountingAlloc::fail_after = 0;
    EXPECT_THROW(t.insert(6, Pair{obj(6), obj(6)}), std::bad_alloc);
    EXPECT_THROW(t.append(t.find(0), Pair{obj(9), obj(9)}), std::bad_alloc);
    CountingAlloc::fail_after = -1;
    EXPECT_EQ(t.capacity(), 8u);
    EXPECT_EQ(t.pairs(), 6u);
    EXPECT_EQ(t.find(6), nullptr);
    for (std::uint64_t h = 0; h < 6; ++h) EXPECT_EQ(keys_of(h), std::vector<void*>{obj(h)});
}

TEST_F(MapTable, TakeEmptiesAndHandsOverEveryPair) {
    t.seed(5, 6);
    for (std::uint64_t h = 0; h < 50; ++h) t.insert(h, Pair{obj(h), obj(h)});
    t.append(t.find(10), Pair{obj(60), obj(60)});
    std::vector<int> seen(61, 0);
    {
        T::Taken gone = t.take();
        EXPECT_EQ(t.find(10), nullptr);
        EXPECT_EQ(t.pairs(), 0u);
        EXPECT_EQ(t.capacity(), 0u);
        gone.for_each([&](Pair& p) { ++seen[static_cast<std::uint64_t*>(p.key) - g_objects.data()]; });
        EXPECT_GT(CountingAlloc::live.load(), 0);
    }
    EXPECT_EQ(CountingAlloc::live.load(), 0);
    for (std::size_t i = 0; i < 61; ++i) EXPECT_EQ(seen[i], i < 50 || i == 60 ? 1 : 0) << i;
    // A taken table is reusable.
    t.insert(1, Pair{obj(1), obj(1)});
    EXPECT_EQ(keys_of(1), std::vector<void*>{obj(1)});
}


TEST(MapShardCount, DefaultRounding) {
    EXPECT_EQ(default_shard_count(std::nullopt), 16u);
    struct Case {
        std::uint64_t processors, shards;
    };
    for (Case c : {Case{1, 16}, {2, 16}, {12, 16}, {16, 16}, {17, 32}, {20, 32}, {24, 32}, {32, 32}, {33, 64},
                   {64, 64}, {96, 128}, {100, 128}, {129, 256}})
        EXPECT_EQ(default_shard_count(c.processors), c.shards) << c.processors;
    EXPECT_EQ(default_shard_count(0), 16u);
    EXPECT_EQ(default_shard_count(~std::uint64_t{0}), std::uint64_t{1} << 63);
}

TEST(MapShardLock, ExcludesUnderContention) {
    alignas(64) std::uint32_t word = 0;
    std::uint64_t counter = 0;  // plain: only the lock protects it
    constexpr int kThreads = 8, kRounds = 50000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                ShardLock::lock(word);
                const std::uint64_t c = counter;
                if (r % 512 == 0) std::this_thread::yield();  // let waiters reach the futex
                counter = c + 1;
                ShardLock::unlock(word);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, std::uint64_t{kThreads} * kRounds);
    EXPECT_EQ(word, 0u);
}

// len() reads each shard's pair count without its lock while writers change
// it under the lock; run under ThreadSanitizer this must report no race, and
// the reader must only ever see counts some lock hold left behind.
TEST(MapShardLock, PairCountReadableWithoutTheLock) {
    alignas(64) std::uint32_t word = 0;
    T t{};
    t.seed(7, 9);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 0; round < 2000; ++round) {
            for (std::uint64_t h = 0; h < 10; ++h) {
                ShardLock::lock(word);
                t.insert(h, Pair{obj(h), obj(h)});
                ShardLock::unlock(word);
            }
            for (std::uint64_t h = 0; h < 10; ++h) {
                ShardLock::lock(word);
                t.remove(t.find(h), 0);
                ShardLock::unlock(word);
            }
        }
        done = true;
    });
    std::uint64_t reads = 0;
    while (!done) {
        EXPECT_LE(t.pairs_unlocked(), 10u);
        ++reads;
    }
    writer.join();
    EXPECT_EQ(t.pairs_unlocked(), 0u);
    EXPECT_GT(reads, 0u);
    { T::Taken gone = t.take(); }
}

}  // namespace
