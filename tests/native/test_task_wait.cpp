// Native tests of task waiters: waits that are stepped by their owner
// instead of parking a thread, cancelled at random. Every item that a
// completed operation moved must have moved exactly once, and none that a
// cancelled operation held.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "channel_core/channel_core.hpp"
#include "channel_core/task_wait.hpp"

namespace {

using namespace std::chrono_literals;
using namespace vornic::chan;

// A task of the simulated loop: notify() only raises a flag the loop polls.
class FlagWaiter final : public TaskWaiter<int> {
 public:
  using TaskWaiter<int>::TaskWaiter;
  std::atomic<bool> woken{false};

 protected:
  void notify() noexcept override { woken.store(true, std::memory_order_release); }
};

struct Task {
  FlagWaiter* w = nullptr;
  int item = -1;      // the item a sending task offers
  bool done = false;  // a receiving task that saw the close
  void drop() {
    if (w) w->release();
    w = nullptr;
  }
};

void within(std::chrono::seconds limit, const std::function<void()>& body) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread t([&] {
    body();
    done.set_value();
  });
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "watchdog: task wait test still running after %llds\n", static_cast<long long>(limit.count()));
    std::abort();
  }
  t.join();
}

// One loop thread steps 8 receiving tasks and cancels pending ones at random,
// while two threads send 0..n-1 and a thread receives too.
void recv_storm(std::size_t capacity) {
  constexpr int n = 20000;
  auto [tx, rx] = bounded<int>(capacity);
  auto [close_tx, close_rx] = close_signal();
  std::vector<std::atomic<int>> seen(n);

  std::vector<std::thread> threads;
  for (int start : {0, 1}) {
    threads.emplace_back([&, start, tx = tx] {
      for (int i = start; i < n; i += 2) ASSERT_TRUE(tx.send(i).ok());
    });
  }
  std::atomic<bool> closing{false};
  threads.emplace_back([&, rx = rx] {
    while (!closing.load()) {
      RecvResult<int> r = rx.recv_timeout(200us);
      if (r.ok()) seen[*r.item].fetch_add(1);
    }
  });

  std::mt19937 rnd(7);
  std::vector<Task> tasks(8);
  int closed = 0;
  std::thread loop([&] {
    while (closed < static_cast<int>(tasks.size())) {
      for (Task& t : tasks) {
        if (t.done) continue;
        if (t.w == nullptr) {
          t.w = new FlagWaiter(rx, close_rx);
        } else if (rnd() % 16 == 0) {
          ASSERT_EQ(t.w->cancel(), TaskStatus::Cancelled);
          t.drop();
          continue;
        } else if (!t.w->woken.exchange(false)) {
          continue;
        }
        const TaskStatus s = t.w->poll(std::nullopt);
        if (s == TaskStatus::Pending) continue;
        if (s == TaskStatus::Completed) {
          seen[*t.w->take_received()].fetch_add(1);
        } else {
          ASSERT_EQ(s, TaskStatus::Closed);
          t.done = true;
          ++closed;
        }
        t.drop();
      }
      std::this_thread::yield();
    }
  });

  threads[0].join();
  threads[1].join();
  // Everything sent must be received before the close ends the tasks.
  while (!rx.is_empty()) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(5ms);
  closing.store(true);
  threads[2].join();
  { auto gone = std::move(close_tx); }
  loop.join();
  for (Task& t : tasks) t.drop();
  for (int i = 0; i < n; ++i) ASSERT_EQ(seen[i].load(), 1) << "item " << i;
}

// Sending tasks, cancelled at random, into a channel whose thread receivers
// time out: what a completed send (or a cancel that reports Completed)
// offered was received once, nothing else was.
void send_storm(std::size_t capacity) {
  constexpr int n = 20000;
  auto [tx, rx] = bounded<int>(capacity);
  auto [close_tx, close_rx] = close_signal();
  std::vector<std::atomic<int>> sent(n), got(n);
  std::atomic<bool> stop{false};

  std::vector<std::thread> receivers;
  for (int k = 0; k < 2; ++k) {
    receivers.emplace_back([&, rx = rx] {
      while (!stop.load()) {
        RecvResult<int> r = rx.recv_timeout(100us);
        if (r.ok()) got[*r.item].fetch_add(1);
      }
    });
  }

  std::mt19937 rnd(11);
  int next = 0;
  std::vector<Task> tasks(8);
  auto settle = [&](Task& t, TaskStatus s) {
    if (s == TaskStatus::Completed) sent[t.item].fetch_add(1);
    t.drop();
  };
  while (next < n || std::any_of(tasks.begin(), tasks.end(), [](const Task& t) { return t.w; })) {
    for (Task& t : tasks) {
      if (t.w == nullptr) {
        if (next == n) continue;
        t.item = next++;
        t.w = new FlagWaiter(tx, t.item, close_rx);
      } else if (rnd() % 16 == 0) {
        settle(t, t.w->cancel());
        continue;
      } else if (!t.w->woken.exchange(false)) {
        continue;
      }
      const TaskStatus s = t.w->poll(std::nullopt);
      if (s != TaskStatus::Pending) settle(t, s);
    }
    std::this_thread::yield();
  }
  // Buffered items are still to be received.
  while (!rx.is_empty()) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(5ms);
  stop.store(true);
  for (auto& r : receivers) r.join();
  int completed = 0;
  for (int i = 0; i < n; ++i) {
    ASSERT_EQ(got[i].load(), sent[i].load()) << "item " << i;
    completed += sent[i].load();
  }
  EXPECT_GT(completed, n / 10);
}

// A task woken for an item but cancelled before its step hands the wake-up
// to the next waiter; the item stays in the channel until that one takes it.
TEST(TaskWait, CancelAfterTheWakeUpPassesItOn) {
  auto [tx, rx] = bounded<int>(4);
  auto [close_tx, close_rx] = close_signal();
  Task first{new FlagWaiter(rx, close_rx)}, second{new FlagWaiter(rx, close_rx)};
  ASSERT_EQ(first.w->poll(std::nullopt), TaskStatus::Pending);
  ASSERT_EQ(second.w->poll(std::nullopt), TaskStatus::Pending);
  ASSERT_TRUE(tx.try_send(7).ok());
  EXPECT_TRUE(first.w->woken.load());
  EXPECT_FALSE(second.w->woken.load());
  EXPECT_EQ(first.w->cancel(), TaskStatus::Cancelled);
  EXPECT_TRUE(second.w->woken.load());
  ASSERT_EQ(second.w->poll(std::nullopt), TaskStatus::Completed);
  EXPECT_EQ(second.w->take_received(), 7);
  first.drop();
  second.drop();
}

// On a rendezvous channel a waiting sender wakes a task rather than handing
// it the item; the task takes it on its own step, and the sender returns.
TEST(TaskWait, RendezvousSenderWakesATaskThatTakesOnItsStep) {
  within(30s, [] {
    auto [tx, rx] = bounded<int>(0);
    auto [close_tx, close_rx] = close_signal();
    Task t{new FlagWaiter(rx, close_rx)};
    ASSERT_EQ(t.w->poll(std::nullopt), TaskStatus::Pending);
    EXPECT_EQ(tx.try_send(1).status, SendStatus::Full);  // never handed to a task
    std::thread sender([tx = tx] { EXPECT_TRUE(tx.send(2).ok()); });
    while (!t.w->woken.load()) std::this_thread::yield();
    ASSERT_EQ(t.w->poll(std::nullopt), TaskStatus::Completed);
    EXPECT_EQ(t.w->take_received(), 2);
    sender.join();
    t.drop();
  });
}

TEST(TaskWait, RecvStormBounded) { within(120s, [] { recv_storm(4); }); }
TEST(TaskWait, RecvStormRendezvous) { within(120s, [] { recv_storm(0); }); }
TEST(TaskWait, SendStormBounded) { within(120s, [] { send_storm(4); }); }
TEST(TaskWait, SendStormRendezvous) { within(120s, [] { send_storm(0); }); }

}  // namespace
