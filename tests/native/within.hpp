// within(): a watchdog for native tests that can block.
#pragma once
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>

// Runs `body` on its own thread; aborts the whole run if it has not finished
// within `limit` (a hung channel call cannot be cancelled from outside).
inline void within(std::chrono::seconds limit, const std::function<void()>& body) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread t([&] {
    body();
    done.set_value();
  });
  if (finished.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "watchdog: test body still running after %llds (deadlock?)\n",
                 static_cast<long long>(limit.count()));
    std::abort();
  }
  t.join();
}
