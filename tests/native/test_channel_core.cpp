// Native tests of the channel core: delivery, ordering, disconnection, item
// ownership, close signals, timers and multi-way waits. Every test that can
// block runs under a watchdog so that a deadlock fails instead of hanging.
#include <gtest/gtest.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "channel_core/channel_core.hpp"
#include "within.hpp"

namespace {

using namespace std::chrono_literals;
using namespace vornic::chan;

#if defined(__SANITIZE_THREAD__)
constexpr int kScale = 2;  // ThreadSanitizer slows every synchronising step down
#else
constexpr int kScale = 1;
#endif

// Polls `cond` until it holds or `limit` passes.
bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = 5s) {
  const auto end = Clock::now() + limit;
  while (!cond()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// CPU time consumed so far by the calling thread.
std::chrono::nanoseconds thread_cpu_time() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

// A move-only item that counts constructions and destructions of live
// (not moved-from) values, and can run a probe when a live value dies.
struct Ledger {
  std::atomic<long> made{0};
  std::atomic<long> destroyed{0};
  std::function<void()> on_destroy;
  long live() const { return made.load() - destroyed.load(); }
};

class Tracked {
 public:
  Tracked(Ledger& l, int v) : ledger_(&l), value_(v) { l.made.fetch_add(1); }
  Tracked(Tracked&& o) noexcept : ledger_(std::exchange(o.ledger_, nullptr)), value_(o.value_) {}
  Tracked& operator=(Tracked&&) = delete;
  ~Tracked() {
    if (ledger_ == nullptr) return;
    if (ledger_->on_destroy) ledger_->on_destroy();
    ledger_->destroyed.fetch_add(1);
  }
  int value() const { return value_; }

 private:
  Ledger* ledger_;
  int value_;
};

// Flavours under test: nullopt = unbounded, 0 = rendezvous, n = bounded(n).
using Flavour = std::optional<std::size_t>;

template <class T>
std::pair<Sender<T>, Receiver<T>> make(Flavour f) {
  return f ? bounded<T>(*f) : unbounded<T>();
}

std::string flavour_name(const testing::TestParamInfo<Flavour>& info) {
  if (!info.param) return "Unbounded";
  if (*info.param == 0) return "Rendezvous";
  return "Bounded" + std::to_string(*info.param);
}

class EveryFlavour : public testing::TestWithParam<Flavour> {};
INSTANTIATE_TEST_SUITE_P(Channel, EveryFlavour,
                         testing::Values(Flavour{}, Flavour{0}, Flavour{1}, Flavour{8}), flavour_name);

class BufferedFlavour : public testing::TestWithParam<Flavour> {};
INSTANTIATE_TEST_SUITE_P(Channel, BufferedFlavour, testing::Values(Flavour{}, Flavour{1}, Flavour{3}),
                         flavour_name);

// ---------------------------------------------------------------------------
// Delivery and ordering

// The process's spin before sleeping, for the length of one test.
class SpinBudget {
 public:
  explicit SpinBudget(std::chrono::nanoseconds b) { detail::set_sleep_spin(b); }
  ~SpinBudget() { detail::set_sleep_spin(0ns); }
};

// Once with waiters that sleep at once, once with waiters that spin before
// sleeping (a hand-off then often lands while its waiter is awake).
TEST_P(EveryFlavour, MpmcDeliversEachItemExactlyOnceInPerSenderOrder) {
  for (const auto spin : {0us, 20us}) {
    SCOPED_TRACE(spin.count());
    SpinBudget budget(spin);
    constexpr int kProducers = 4, kConsumers = 4;
    const int per_producer = 20000 / kScale;
    std::vector<std::atomic<int>> seen(kProducers * per_producer);
    std::atomic<int> order_violations{0};

    within(60s, [&] {
      auto [tx, rx] = make<std::uint64_t>(GetParam());
      std::vector<std::thread> threads;
      for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p, tx = tx] {
          for (int s = 0; s < per_producer; ++s) {
            EXPECT_TRUE(tx.send((std::uint64_t(p) << 32) | std::uint64_t(s)).ok());
          }
        });
      }
      for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, rx = rx] {
          std::array<long, kProducers> last;
          last.fill(-1);
          for (;;) {
            RecvResult<std::uint64_t> r = rx.recv();
            if (r.status == RecvStatus::Disconnected) break;
            ASSERT_TRUE(r.ok());
            const int p = int(*r.item >> 32), s = int(*r.item & 0xffffffffu);
            if (s <= last[p]) order_violations.fetch_add(1);
            last[p] = s;
            seen[p * per_producer + s].fetch_add(1);
          }
        });
      }
      { auto drop = std::move(tx); }  // only the producers' copies remain
      for (auto& t : threads) t.join();
    });

    EXPECT_EQ(order_violations.load(), 0);
    int wrong = 0;
    for (auto& n : seen) wrong += n.load() != 1;
    EXPECT_EQ(wrong, 0) << "items lost or duplicated";
  }
}

TEST_P(BufferedFlavour, ItemsBufferedBeforeLastSenderLeavesAreStillDelivered) {
  auto [tx, rx] = make<int>(GetParam());
  const int n = int(std::min<std::size_t>(3, GetParam().value_or(3)));
  for (int i = 1; i <= n; ++i) ASSERT_TRUE(tx.try_send(i).ok());
  { auto drop = std::move(tx); }
  EXPECT_FALSE(rx.is_empty());
  for (int i = 1; i <= n; ++i) {
    auto r = rx.recv();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r.item, i);
  }
  EXPECT_EQ(rx.recv().status, RecvStatus::Disconnected);
  EXPECT_EQ(rx.try_recv().status, RecvStatus::Disconnected);
}

TEST(ChannelBasics, TryOperationsReportFullAndEmptyWithoutWaiting) {
  auto [tx, rx] = bounded<int>(2);
  EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
  EXPECT_TRUE(tx.try_send(1).ok());
  EXPECT_TRUE(tx.try_send(2).ok());
  auto full = tx.try_send(3);
  EXPECT_EQ(full.status, SendStatus::Full);
  ASSERT_TRUE(full.unsent);
  EXPECT_EQ(*full.unsent, 3);
  EXPECT_EQ(rx.len(), 2u);
  EXPECT_EQ(rx.capacity(), std::optional<std::size_t>(2));

  auto [ztx, zrx] = bounded<int>(0);
  auto z = ztx.try_send(5);
  EXPECT_EQ(z.status, SendStatus::Full);
  EXPECT_EQ(z.unsent, std::optional<int>(5));
  EXPECT_EQ(zrx.try_recv().status, RecvStatus::Empty);
  EXPECT_TRUE(zrx.is_empty());
  EXPECT_EQ(zrx.capacity(), std::optional<std::size_t>(0));
  EXPECT_EQ(unbounded<int>().second.capacity(), std::nullopt);
}

TEST(ChannelBasics, UnboundedKeepsOrderWhileItsRingGrowsAndShrinksWrapped) {
  // Sending more than is received, round after round, makes the ring grow
  // while its oldest item sits past slot 0; draining then shrinks it the same
  // way. Both moves must keep the items in order, and len() must follow.
  auto [tx, rx] = unbounded<int>();
  int sent = 0;
  int received = 0;
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(tx.try_send(sent++).ok());
    for (int i = 0; i < 37; ++i) ASSERT_EQ(rx.try_recv().item, std::optional<int>(received++));
    ASSERT_EQ(rx.len(), static_cast<std::size_t>(sent - received));
  }
  while (received < sent) ASSERT_EQ(rx.try_recv().item, std::optional<int>(received++));
  EXPECT_EQ(rx.try_recv().status, RecvStatus::Empty);
  EXPECT_EQ(rx.len(), 0u);
}

TEST(ChannelBasics, BoundedOneSecondSendWaitsForAReceive) {
  within(10s, [] {
    auto [tx, rx] = bounded<int>(1);
    ASSERT_TRUE(tx.send(1).ok());  // room: returns at once
    std::atomic<bool> second_done{false};
    std::thread t([&, tx = tx] {
      EXPECT_TRUE(tx.send(2).ok());
      second_done = true;
    });
    ASSERT_TRUE(eventually([&] { return rx.waiter_counts().second == 1; }));
    EXPECT_FALSE(second_done.load());
    EXPECT_EQ(*rx.recv().item, 1);
    t.join();
    EXPECT_TRUE(second_done.load());
    EXPECT_EQ(*rx.recv().item, 2);
  });
}

TEST(ChannelBasics, RendezvousSendReturnsOnlyOnceAReceiverHasTheItem) {
  within(10s, [] {
    auto [tx, rx] = bounded<int>(0);
    std::atomic<bool> sent{false};
    std::thread t([&, tx = tx] {
      EXPECT_TRUE(tx.send(42).ok());
      sent = true;
    });
    ASSERT_TRUE(eventually([&] { return rx.waiter_counts().second == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(sent.load());
    EXPECT_TRUE(rx.is_empty());
    auto r = rx.try_recv();  // pairs with the waiting sender
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r.item, 42);
    t.join();
    EXPECT_TRUE(sent.load());
  });
}

TEST_P(EveryFlavour, EarliestRegisteredReceiverIsServedFirst) {
  within(10s, [&] {
    auto [tx, rx] = make<int>(GetParam());
    std::atomic<int> first{-1}, second{-1};
    std::thread a([&, rx = rx] { first = *rx.recv().item; });
    ASSERT_TRUE(eventually([&] { return rx.waiter_counts().first == 1; }));
    std::thread b([&, rx = rx] { second = *rx.recv().item; });
    ASSERT_TRUE(eventually([&] { return rx.waiter_counts().first == 2; }));
    ASSERT_TRUE(tx.send(1).ok());
    a.join();
    EXPECT_EQ(first.load(), 1);
    EXPECT_EQ(second.load(), -1);
    ASSERT_TRUE(tx.send(2).ok());
    b.join();
    EXPECT_EQ(second.load(), 2);
  });
}

TEST_P(EveryFlavour, BlockedCallsSleepInsteadOfSpinning) {
  SpinBudget budget(20us);  // spins before sleeping, but only that long
  within(10s, [&] {
    auto [tx, rx] = make<int>(GetParam());
    const auto cpu = thread_cpu_time();
    EXPECT_EQ(rx.recv_timeout(60ms).status, RecvStatus::Timeout);
    if (GetParam()) {  // bounded or rendezvous: fill it, then a send blocks
      while (tx.try_send(0).ok()) {
      }
      EXPECT_EQ(tx.send_timeout(1, 60ms).status, SendStatus::Timeout);
    }
    EXPECT_LT(thread_cpu_time() - cpu, 30ms);
  });
}

TEST(ChannelBasics, UnreservableCapacityThrowsInsteadOfCrashing) {
  // Larger than any address space, and larger than RAM + swap of any machine
  // this runs on; both must be refused by creation itself.
  for (std::size_t n : {std::numeric_limits<std::size_t>::max(), std::size_t(1) << 56}) {
    try {
      auto ch = bounded<std::uint64_t>(n);
      ADD_FAILURE() << "capacity " << n << " was accepted";
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
  }
  // A large but reasonable capacity is reserved up front and works.
  auto [tx, rx] = bounded<std::uint64_t>(std::size_t(1) << 20);
  EXPECT_TRUE(tx.try_send(1).ok());
  EXPECT_EQ(rx.capacity(), std::optional<std::size_t>(std::size_t(1) << 20));
}

// ---------------------------------------------------------------------------
// Disconnection

TEST_P(EveryFlavour, LastSenderLeavingWakesEveryBlockedReceiver) {
  within(10s, [&] {
    auto [tx, rx] = make<int>(GetParam());
    std::atomic<int> disconnected{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < 3; ++i) {
      ts.emplace_back([&, rx = rx] { disconnected += rx.recv().status == RecvStatus::Disconnected; });
    }
    ASSERT_TRUE(eventually([&] { return rx.waiter_counts().first == 3; }));
    { auto drop = std::move(tx); }
    for (auto& t : ts) t.join();
    EXPECT_EQ(disconnected.load(), 3);
  });
}

TEST(Disconnection, LastReceiverLeavingWakesBlockedSendersWithTheirItems) {
  for (std::size_t cap : {0, 1}) {
    Ledger ledger;
    within(10s, [&] {
      auto [tx, rx] = bounded<Tracked>(cap);
      if (cap == 1) {
        ASSERT_TRUE(tx.send(Tracked(ledger, 0)).ok());
      }
      std::vector<std::thread> ts;
      std::atomic<int> back{0};
      for (int i = 1; i <= 2; ++i) {
        ts.emplace_back([&, i, tx = tx] {
          auto r = tx.send(Tracked(ledger, i));
          EXPECT_EQ(r.status, SendStatus::Disconnected);
          if (r.unsent && r.unsent->value() == i) back.fetch_add(1);
        });
      }
      ASSERT_TRUE(eventually([&] { return rx.waiter_counts().second == 2; }));
      EXPECT_EQ(ledger.live(), 2 + long(cap));
      { auto drop = std::move(rx); }
      for (auto& t : ts) t.join();
      EXPECT_EQ(back.load(), 2);
      EXPECT_EQ(ledger.live(), 0) << "the buffered item is released with the last receiver";
      auto late = tx.try_send(Tracked(ledger, 9));
      EXPECT_EQ(late.status, SendStatus::Disconnected);
      EXPECT_EQ(late.unsent->value(), 9);
    });
    EXPECT_EQ(ledger.live(), 0);
  }
}

// ---------------------------------------------------------------------------
// Item ownership

TEST_P(EveryFlavour, ItemsAreReleasedOnceAndNeverUnderAChannelLock) {
  // A live item's destructor takes the same channel's lock. If the core ever
  // destroyed a live item while holding it, this deadlocks (the watchdog
  // fires) or ThreadSanitizer reports a double lock. The ledger catches leaks
  // and double destruction (live() would end above or below zero).
  Ledger ledger;
  within(20s, [&] {
    auto [tx, rx] = make<Tracked>(GetParam());
    Sender<Tracked> probe = tx;
    ledger.on_destroy = [&] { (void)probe.is_disconnected(); };
    const int n = 2000 / kScale;
    std::thread peer([&, rx = rx] {
      for (int i = 0; i < n; ++i) ASSERT_EQ(rx.recv().item->value(), i);
    });
    for (int i = 0; i < n; ++i) ASSERT_TRUE(tx.send(Tracked(ledger, i)).ok());
    peer.join();
    // Leftovers: whatever fits stays buffered; the rest comes back as Full.
    for (int i = 0; i < 4; ++i) (void)tx.try_send(Tracked(ledger, -1));
    {
      Select sel;
      (void)sel.send(tx, Tracked(ledger, 7));
      (void)sel.recv(after(0ns));
    }  // the unsent item dies with the Select
    { auto drop = std::move(rx); }  // buffered items go with the last receiver
    EXPECT_EQ(ledger.live(), 0);
    ledger.on_destroy = nullptr;
  });
  EXPECT_EQ(ledger.live(), 0);
  EXPECT_GT(ledger.made.load(), 2000 / kScale);
}

// ---------------------------------------------------------------------------
// Close signal

TEST(CloseSignal, IsNeverReadyWhileItsSenderLives) {
  auto [stop, stopped] = close_signal();
  Select sel;
  auto k = sel.recv(stopped);
  (void)k;
  EXPECT_TRUE(sel.select_timeout(20ms).timed_out());
  EXPECT_EQ(stopped.try_recv().status, RecvStatus::Empty);
}

TEST(CloseSignal, DroppingTheSenderWakesEveryWaiterAtOnce) {
  static constexpr int kWaiters = 8;
  within(10s, [] {
    auto [stop, stopped] = close_signal();
    auto [tx, rx] = unbounded<int>();  // never gets an item
    std::atomic<int> woke{0};
    std::vector<std::thread> ts;
    for (int i = 0; i < kWaiters; ++i) {
      ts.emplace_back([&, stopped = stopped, rx = rx] {
        Select sel;
        auto item = sel.recv(rx);
        auto closed = sel.recv(stopped);
        const SelectResult r = sel.select();
        EXPECT_TRUE(r.is(closed));
        EXPECT_FALSE(r.is(item));
        EXPECT_EQ(r.status, SelectStatus::Disconnected);
        woke.fetch_add(1);
      });
    }
    ASSERT_TRUE(eventually([&] { return stopped.waiter_counts().first == std::size_t(kWaiters); }));
    EXPECT_EQ(woke.load(), 0);
    const auto dropped_at = Clock::now();
    { auto drop = std::move(stop); }
    for (auto& t : ts) t.join();
    EXPECT_LT(Clock::now() - dropped_at, 2s);
    EXPECT_EQ(woke.load(), kWaiters);
    // A waiter arriving later sees the closed signal at once.
    EXPECT_EQ(stopped.recv().status, RecvStatus::Disconnected);
  });
}

// ---------------------------------------------------------------------------
// Timers and timed waits

TEST(Timers, AfterFiresAtItsInstantAndDeliversIt) {
  within(10s, [] {
    const auto start = Clock::now();
    Select sel;
    auto t = sel.recv(after(40ms));
    const SelectResult r = sel.select();
    const auto elapsed = Clock::now() - start;
    ASSERT_TRUE(r.is(t));
    EXPECT_EQ(r.status, SelectStatus::Received);
    const Instant fired = sel.take_received(t);
    EXPECT_GE(fired - start, 40ms);
    EXPECT_GE(elapsed, 40ms);
    EXPECT_LT(elapsed, 5s);
  });
}

TEST(Timers, UnrepresentableInstantNeverFires) {
  EXPECT_EQ(deadline_after(std::chrono::nanoseconds::max()), std::nullopt);
  EXPECT_EQ(deadline_after_seconds(1e300), std::nullopt);
  const Instant before = Clock::now();
  const Deadline half = deadline_after_seconds(0.5);
  ASSERT_TRUE(half.has_value());
  EXPECT_GE(*half - before, 500ms);
  EXPECT_LT(*half - before, 1500ms);  // generous: only a preemption lies between
  const Deadline past = deadline_after_seconds(-3.0);  // negative: "now", not earlier
  ASSERT_TRUE(past.has_value());
  EXPECT_GE(*past, half.value() - 500ms);
  EXPECT_LE(*past, Clock::now());
  Select sel;
  (void)sel.recv(after(std::chrono::nanoseconds::max()));
  EXPECT_TRUE(sel.select_timeout(20ms).timed_out());
}

TEST(Timers, TimedCallsGiveUpAfterTheirDurationAndKeepTheItem) {
  within(10s, [] {
    auto [tx, rx] = bounded<std::string>(1);
    auto start = Clock::now();
    EXPECT_EQ(rx.recv_timeout(30ms).status, RecvStatus::Timeout);
    EXPECT_GE(Clock::now() - start, 30ms);
    ASSERT_TRUE(tx.send("a").ok());
    start = Clock::now();
    auto r = tx.send_timeout("b", 30ms);
    EXPECT_GE(Clock::now() - start, 30ms);
    EXPECT_EQ(r.status, SendStatus::Timeout);
    EXPECT_EQ(r.unsent, std::optional<std::string>("b"));
    EXPECT_EQ(rx.len(), 1u);
  });
}

TEST(Timers, ZeroDurationWaitsTryOnceAndNeverSleep) {
  within(10s, [] {
    auto [tx, rx] = bounded<int>(0);
    auto [utx, urx] = unbounded<int>();
    constexpr int kCalls = 200;
    const auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
      Select sel;
      (void)sel.recv(rx);
      (void)sel.send(tx, i);
      (void)sel.recv(urx);
      ASSERT_TRUE(sel.select_timeout(0ns).timed_out());
      ASSERT_EQ(rx.recv_timeout(0ns).status, RecvStatus::Timeout);
      ASSERT_EQ(tx.send_timeout(i, -5ms).status, SendStatus::Timeout);
    }
    // Even 1 ms of sleep per call would add up to 600 ms.
    EXPECT_LT(Clock::now() - start, 300ms * kScale);

    // A ready operation still completes under a zero timeout.
    ASSERT_TRUE(utx.send(5).ok());
    Select sel;
    auto got = sel.recv(urx);
    const SelectResult r = sel.select_timeout(0ns);
    ASSERT_TRUE(r.is(got));
    EXPECT_EQ(sel.take_received(got), 5);
  });
}

// ---------------------------------------------------------------------------
// Multi-way waits

// Counts how often each of `n` operations wins when the ones in `ready` have
// an item and the rest are empty.
std::vector<int> tally_choices(int n, const std::vector<int>& ready, int trials) {
  std::vector<std::pair<Sender<int>, Receiver<int>>> chans;
  for (int i = 0; i < n; ++i) chans.push_back(unbounded<int>());
  std::vector<int> wins(n, 0);
  for (int i : ready) EXPECT_TRUE(chans[i].first.send(i).ok());
  for (int t = 0; t < trials; ++t) {
    Select sel;
    std::vector<RecvKey<int>> keys;
    for (auto& c : chans) keys.push_back(sel.recv(c.second));
    const SelectResult r = sel.select_timeout(0ns);
    if (r.timed_out()) {
      ADD_FAILURE() << "nothing chosen although items were ready";
      break;
    }
    const int v = sel.take_received(keys[r.index]);
    EXPECT_EQ(v, int(r.index));
    ++wins[r.index];
    EXPECT_TRUE(chans[r.index].first.send(v).ok());  // ready again for the next trial
  }
  return wins;
}

TEST(SelectFairness, ReadyOperationsAreChosenUniformly) {
  // Binomial spread is ~sqrt(trials/4) = 32 for two-way; the bounds below are
  // ~9 standard deviations wide, yet a fixed preference would fall far out.
  auto two = tally_choices(2, {0, 1}, 4000);
  EXPECT_GT(two[0], 1700);
  EXPECT_GT(two[1], 1700);

  auto four = tally_choices(4, {0, 2, 3}, 3000);
  EXPECT_EQ(four[1], 0) << "an empty channel's receive was chosen";
  for (int i : {0, 2, 3}) EXPECT_GT(four[i], 750) << "operation " << i;
}

TEST(SelectFairness, ReadyReceiveAndExpiredTimerWinEquallyOften) {
  auto [tx, rx] = unbounded<int>();
  ASSERT_TRUE(tx.send(1).ok());
  int timer_wins = 0;
  constexpr int kTrials = 2000;
  for (int i = 0; i < kTrials; ++i) {
    Select sel;
    auto item = sel.recv(rx);
    auto timer = sel.recv(after(0ns));
    const SelectResult r = sel.select();
    if (r.is(timer)) {
      ++timer_wins;
    } else {
      ASSERT_TRUE(r.is(item));
      ASSERT_TRUE(tx.send(sel.take_received(item)).ok());
    }
  }
  EXPECT_GT(timer_wins, 800);
  EXPECT_LT(timer_wins, 1200);
  EXPECT_EQ(rx.len(), 1u);
}

TEST(Select, ExactlyOneSendCompletesAndTheOthersKeepTheirItems) {
  Ledger ledger;
  std::vector<std::pair<Sender<Tracked>, Receiver<Tracked>>> chans;
  for (int i = 0; i < 3; ++i) chans.push_back(bounded<Tracked>(1));
  {
    Select sel;
    std::vector<SendKey<Tracked>> keys;
    for (int i = 0; i < 3; ++i) keys.push_back(sel.send(chans[i].first, Tracked(ledger, i)));
    const SelectResult r = sel.select();
    ASSERT_EQ(r.status, SelectStatus::Sent);
    for (int i = 0; i < 3; ++i) {
      auto back = sel.take_unsent(keys[i]);
      if (r.is(keys[i])) {
        EXPECT_FALSE(back);
        EXPECT_EQ(chans[i].second.try_recv().item->value(), i);
      } else {
        ASSERT_TRUE(back);
        EXPECT_EQ(back->value(), i);
        EXPECT_TRUE(chans[i].second.is_empty());
      }
    }
    EXPECT_THROW(sel.select(), std::logic_error);
  }
  EXPECT_EQ(ledger.live(), 0);
}

TEST(Select, SendToADisconnectedChannelGivesTheItemBack) {
  auto [tx, rx] = bounded<std::string>(0);
  { auto drop = std::move(rx); }
  Select sel;
  auto k = sel.send(tx, std::string("kept"));
  const SelectResult r = sel.select();
  EXPECT_TRUE(r.is(k));
  EXPECT_EQ(r.status, SelectStatus::Disconnected);
  EXPECT_EQ(sel.take_unsent(k), std::optional<std::string>("kept"));
}

TEST(Select, BlockedWaitTakesTheItemFromWhicheverChannelGetsOne) {
  within(10s, [] {
    // Mixed item types in one wait, as the consumers use it.
    auto [atx, arx] = bounded<int>(0);
    auto [btx, brx] = unbounded<std::string>();
    auto [stop, stopped] = close_signal();
    auto [ctx, crx] = bounded<double>(1);
    ASSERT_TRUE(ctx.send(1.5).ok());  // full: the send below cannot proceed

    std::promise<std::string> got;
    std::thread waiter([&, arx = arx, brx = brx, stopped = stopped, ctx = ctx] {
      Select sel;
      auto a = sel.recv(arx);
      auto b = sel.recv(brx);
      auto s = sel.recv(stopped);
      auto c = sel.send(ctx, 2.5);
      auto t = sel.recv(after(1h));
      const SelectResult r = sel.select();
      EXPECT_FALSE(r.is(a) || r.is(s) || r.is(c) || r.is(t));
      EXPECT_EQ(sel.take_unsent(c), std::optional<double>(2.5));
      got.set_value(r.is(b) ? sel.take_received(b) : "wrong operation");
    });
    ASSERT_TRUE(eventually([&] { return brx.waiter_counts().first == 1; }));
    ASSERT_TRUE(btx.send("hello").ok());
    EXPECT_EQ(got.get_future().get(), "hello");
    waiter.join();
    EXPECT_EQ(crx.len(), 1u);
    EXPECT_EQ(arx.waiter_counts(), std::make_pair(std::size_t(0), std::size_t(0)));
  });
}

TEST(Select, SendAndReceiveOnOneRendezvousChannelNeverPairWithEachOther) {
  within(20s, [] {
    auto [tx, rx] = bounded<int>(0);
    {
      Select sel;
      auto s = sel.send(tx, 7);
      (void)sel.recv(rx);
      const auto cpu = thread_cpu_time();
      EXPECT_TRUE(sel.select_timeout(100ms).timed_out());
      // It slept: seeing its own offer as a partner would make it spin.
      EXPECT_LT(thread_cpu_time() - cpu, 30ms);
      EXPECT_EQ(sel.take_unsent(s), std::optional<int>(7));
    }
    // With a partner on the other end, the matching operation completes.
    for (int round = 0; round < 20; ++round) {
      const bool partner_receives = round % 2 == 0;
      std::thread partner([&, tx = tx, rx = rx] {
        if (partner_receives) {
          EXPECT_EQ(rx.recv().item, std::optional<int>(round));
        } else {
          EXPECT_TRUE(tx.send(1000 + round).ok());
        }
      });
      Select sel;
      auto s = sel.send(tx, round);
      auto r = sel.recv(rx);
      const SelectResult res = sel.select();
      if (partner_receives) {
        EXPECT_TRUE(res.is(s));
        EXPECT_EQ(res.status, SelectStatus::Sent);
      } else {
        ASSERT_TRUE(res.is(r));
        EXPECT_EQ(sel.take_received(r), 1000 + round);
        EXPECT_EQ(sel.take_unsent(s), std::optional<int>(round));
      }
      partner.join();
    }
  });
}

TEST_P(EveryFlavour, CompetingSelectsMoveEveryItemExactlyOnce) {
  // Producers select over sends to two channels, consumers over receives from
  // both plus a close signal: exercises claims whose item or room is taken by
  // someone else before the claimed waiter gets to it.
  constexpr int kThreads = 3;
  const int per_producer = 3000 / kScale;
  std::vector<std::atomic<int>> seen(kThreads * per_producer);
  within(60s, [&] {
    auto [a_tx, a_rx] = make<int>(GetParam());
    auto [b_tx, b_rx] = make<int>(GetParam());
    auto [stop, stopped] = close_signal();
    std::vector<std::thread> producers, consumers;
    for (int p = 0; p < kThreads; ++p) {
      producers.emplace_back([&, p, a_tx = a_tx, b_tx = b_tx] {
        for (int i = 0; i < per_producer; ++i) {
          Select sel;
          auto a = sel.send(a_tx, p * per_producer + i);
          auto b = sel.send(b_tx, p * per_producer + i);
          const SelectResult r = sel.select();
          ASSERT_EQ(r.status, SelectStatus::Sent);
          EXPECT_EQ(bool(sel.take_unsent(a)) + bool(sel.take_unsent(b)), 1);
        }
      });
    }
    for (int c = 0; c < kThreads; ++c) {
      consumers.emplace_back([&, a_rx = a_rx, b_rx = b_rx, stopped = stopped] {
        for (;;) {
          Select sel;
          auto a = sel.recv(a_rx);
          auto b = sel.recv(b_rx);
          (void)sel.recv(stopped);
          const SelectResult r = sel.select();
          if (r.status == SelectStatus::Disconnected) {
            // Closed: drain what is left, then stop.
            for (auto* rx : {&a_rx, &b_rx}) {
              for (auto it = rx->try_recv(); it.ok(); it = rx->try_recv()) seen[*it.item].fetch_add(1);
            }
            return;
          }
          ASSERT_EQ(r.status, SelectStatus::Received);
          seen[sel.take_received(r.is(a) ? a : b)].fetch_add(1);
        }
      });
    }
    for (auto& t : producers) t.join();
    { auto drop = std::move(stop); }
    for (auto& t : consumers) t.join();
  });
  int wrong = 0;
  for (auto& n : seen) wrong += n.load() != 1;
  EXPECT_EQ(wrong, 0) << "items lost or duplicated";
}

}  // namespace
