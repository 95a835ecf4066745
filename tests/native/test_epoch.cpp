// Native tests for deferred reclamation (src/common/epoch.hpp). Run them under
// ThreadSanitizer (make native-tsan): a reclaimer that runs while a reader is
// still inside the retired thing shows up there as a race with a free.

#include "common/epoch.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "within.hpp"

namespace {

namespace epoch = vornic::epoch;
using namespace std::chrono_literals;

std::atomic<long> g_reclaimed{0};

void count_reclaim(void*) noexcept { ++g_reclaimed; }

TEST(Epoch, WaitsForReadersInsideAndOnlyForThem) {
    within(30s, [] {
        // With nobody inside a section, a retired thing is reclaimed at once.
        g_reclaimed = 0;
        epoch::reserve(1);
        epoch::retire(&count_reclaim, nullptr);
        epoch::reclaim();
        EXPECT_EQ(g_reclaimed.load(), 1);

        // A reader inside a section holds back what is retired after it
        // entered; a reader that enters later does not.
        std::atomic<int> step{0};
        std::thread early([&] {
            epoch::ReadSection rs;
            step = 1;
            while (step.load() != 2) std::this_thread::yield();
        });
        while (step.load() != 1) std::this_thread::yield();
        epoch::reserve(1);
        epoch::retire(&count_reclaim, nullptr);
        epoch::reclaim();
        EXPECT_EQ(g_reclaimed.load(), 1);
        EXPECT_EQ(epoch::outstanding(), 1u);

        std::atomic<bool> late_in{false}, late_out{false};
        std::thread late([&] {
            epoch::ReadSection rs;
            late_in = true;
            while (!late_out.load()) std::this_thread::yield();
        });
        while (!late_in.load()) std::this_thread::yield();
        step = 2;
        early.join();
        epoch::reclaim();  // the early reader left; the late one does not count
        EXPECT_EQ(g_reclaimed.load(), 2);
        EXPECT_EQ(epoch::outstanding(), 0u);
        late_out = true;
        late.join();
    });
}

// Readers follow a shared pointer to a node whose two plain fields always sum
// to kSum; writers replace the node and retire the old one, whose reclaimer
// overwrites both fields and frees it. A reader seeing a wrong sum, or the
// race detector seeing a reclaimer overlap a reader, fails the test.
struct Node {
    long a;
    long b;
};
constexpr long kSum = 1000;
std::atomic<long> g_nodes_freed{0};

void free_node(void* p) noexcept {
    auto* n = static_cast<Node*>(p);
    n->a = -1;
    n->b = -1;
    delete n;
    ++g_nodes_freed;
}

TEST(Epoch, StormOfReadersAndReplacingWriters) {
    within(120s, [] {
        std::atomic<Node*> head{new Node{1, kSum - 1}};
        std::mutex writers;
        std::atomic<bool> stop{false};
        std::atomic<long> bad{0}, reads{0}, replaced{0};
        g_nodes_freed = 0;

        auto reader = [&] {
            long n = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                epoch::ReadSection rs;
                const Node* node = head.load(std::memory_order_acquire);
                if (node->a + node->b != kSum) ++bad;
                ++n;
            }
            reads += n;
        };
        auto writer = [&](long seed) {
            for (long i = 0; i < 20000; ++i) {
                epoch::reserve(1);
                {
                    std::lock_guard<std::mutex> g(writers);
                    const long a = (seed * 7919 + i) % kSum;
                    Node* old = head.exchange(new Node{a, kSum - a}, std::memory_order_acq_rel);
                    epoch::retire(&free_node, old);
                }
                ++replaced;
                epoch::reclaim();
            }
        };
        std::vector<std::thread> ts;
        for (int i = 0; i < 3; ++i) ts.emplace_back(reader);
        for (long i = 0; i < 2; ++i) ts.emplace_back(writer, i);
        ts[3].join();
        ts[4].join();
        stop = true;
        for (int i = 0; i < 3; ++i) ts[i].join();

        EXPECT_EQ(bad.load(), 0);
        EXPECT_GT(reads.load(), 0);
        // Everyone has left: what is still pending goes now, and nothing twice.
        epoch::reclaim();
        EXPECT_EQ(epoch::outstanding(), 0u);
        EXPECT_EQ(g_nodes_freed.load(), replaced.load());
        delete head.load();
    });
}

}  // namespace
