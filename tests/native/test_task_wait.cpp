// Native tests of task waiters: waits stepped by their owner instead of
// parking a thread. The cancellation storms live in the Python suite, which
// runs them across real event loops.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

#include "channel_core/channel_core.hpp"
#include "channel_core/task_wait.hpp"
#include "within.hpp"

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

class FlagSelect final : public TaskSelect<> {
 public:
  std::atomic<bool> woken{false};

 protected:
  void notify() noexcept override { woken.store(true, std::memory_order_release); }
};

struct Task {
  FlagWaiter* w = nullptr;
  void drop() {
    if (w) w->release();
    w = nullptr;
  }
};

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

// A select over two channels woken for one of them but cancelled before its
// step takes nothing and hands the wake-up on; a rendezvous send taken by the
// claim itself stays done through the cancel.
TEST(TaskWait, SelectGivesUpAsOneOperation) {
  auto [tx, rx] = bounded<int>(4);
  auto [other_tx, other_rx] = bounded<int>(4);
  auto* first = new FlagSelect();
  RecvKey<int> from_rx = first->recv(rx);
  first->recv(other_rx);
  first->seal();
  auto* second = new FlagSelect();
  second->recv(rx);
  second->seal();
  ASSERT_EQ(first->step(std::nullopt).kind, TaskStep::Kind::Pending);
  ASSERT_EQ(second->step(std::nullopt).kind, TaskStep::Kind::Pending);
  ASSERT_TRUE(tx.try_send(7).ok());
  EXPECT_TRUE(first->woken.load());
  EXPECT_EQ(first->withdraw(), std::nullopt);
  EXPECT_TRUE(second->woken.load());
  const TaskStep s = second->step(std::nullopt);
  ASSERT_EQ(s.kind, TaskStep::Kind::Completed);
  EXPECT_EQ(second->take_received(RecvKey<int>{s.index}), 7);
  EXPECT_EQ(first->take_received(from_rx), std::nullopt);
  EXPECT_EQ(other_rx.try_recv().status, RecvStatus::Empty);
  first->release();
  second->release();

  auto [rv_tx, rv_rx] = bounded<int>(0);
  auto* sender = new FlagSelect();
  sender->recv(other_rx);
  SendKey<int> put = sender->send(rv_tx, 9);
  sender->seal();
  ASSERT_EQ(sender->step(std::nullopt).kind, TaskStep::Kind::Pending);
  EXPECT_EQ(rv_rx.try_recv().item, 9);
  EXPECT_EQ(sender->withdraw(), std::optional<std::size_t>(put.index));
  EXPECT_EQ(sender->take_unsent(put), std::nullopt);
  sender->release();
}

}  // namespace
