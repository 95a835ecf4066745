// Native tests for the reader-writer lock state (src/lock/core_rwlock.hpp).
//
// Scenarios that can block run under a Watchdog: if one deadlocks, the whole
// binary aborts with the test's name instead of hanging. Checks that a thread
// is *still* waiting use a short grace period; checks that it got in wait
// with a generous deadline, so neither depends on scheduling luck.

#include "lock/core_rwlock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

using vornic::lock::RawRwLock;
using vornic::lock::ReaderRecord;
using vornic::lock::ReadAcquisition;
using vornic::lock::WriteAcquisition;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kEventually = 5s;     // deadline for something that must happen
constexpr auto kGrace = 30ms;        // how long something must keep not happening
constexpr auto kWatchdogLimit = 10s; // a scenario taking longer is deadlocked

// Aborts the process if the enclosing scope is not left within `limit`.
// Declare it before any thread object so it also watches their joins.
class Watchdog {
public:
    explicit Watchdog(std::chrono::milliseconds limit = kWatchdogLimit) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        name_ = info ? std::string(info->test_suite_name()) + "." + info->name() : "?";
        thread_ = std::thread([this, limit] {
            std::unique_lock<std::mutex> lk(m_);
            if (!cv_.wait_for(lk, limit, [this] { return done_; })) {
                std::fprintf(stderr, "\n%s: still blocked after %lld ms, assuming a deadlock\n", name_.c_str(),
                             static_cast<long long>(limit.count()));
                std::fflush(stderr);
                std::abort();
            }
        });
    }
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lk(m_);
            done_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool done_ = false;
    std::string name_;
    std::thread thread_;
};

// Polls `pred` until it holds or `limit` passes; returns its last value.
bool eventually(const std::function<bool()>& pred, std::chrono::milliseconds limit = kEventually) {
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(100us);
    }
    return true;
}

// A one-shot gate a test thread can wait on until the test opens it.
class Gate {
public:
    void open() {
        {
            std::lock_guard<std::mutex> lk(m_);
            open_ = true;
        }
        cv_.notify_all();
    }
    void wait() {
        std::unique_lock<std::mutex> lk(m_);
        cv_.wait(lk, [this] { return open_; });
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

// Acquisition order across threads, by label.
class EventLog {
public:
    void add(std::string label) {
        std::lock_guard<std::mutex> lk(m_);
        events_.push_back(std::move(label));
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> lk(m_);
        return events_;
    }

private:
    std::mutex m_;
    std::vector<std::string> events_;
};

// A thread that takes the lock in one mode (blocking), logs it, waits for its
// release gate, then releases.
class Actor {
public:
    enum class Mode { kRead, kRecursiveRead, kWrite };

    Actor(RawRwLock& lock, Mode mode, std::string label, EventLog& log) : label_(std::move(label)) {
        thread_ = std::thread([this, &lock, mode, &log] {
            if (mode == Mode::kWrite)
                lock.lock_exclusive();
            else
                lock.lock_shared(mode == Mode::kRecursiveRead);
            acquired_.store(true);
            log.add(label_);
            release_.wait();
            if (mode == Mode::kWrite)
                lock.unlock_exclusive();
            else
                lock.unlock_shared();
        });
    }
    ~Actor() { join(); }
    bool acquired() const { return acquired_.load(); }
    void release() { release_.open(); }
    void join() {
        release_.open();
        if (thread_.joinable()) thread_.join();
    }

private:
    std::string label_;
    std::atomic<bool> acquired_{false};
    Gate release_;
    std::thread thread_;
};

// Gives the calling thread the lowest priority, so that waking it never
// preempts the thread that woke it: races a test sets up right after a wake
// are then decided by the lock, not by the scheduler.
void lower_own_priority() { (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19); }

// Waits until `n` threads are queued, then a little longer so they are asleep
// rather than just about to be (awake, they could win a race on their own).
bool queued_and_asleep(const RawRwLock& lock, std::size_t n) {
    const bool queued = eventually([&] { return lock.queued_waiters() == n; });
    std::this_thread::sleep_for(200us);
    return queued;
}

bool ready_within(std::future<void>& f, std::chrono::milliseconds d) {
    return f.wait_for(d) == std::future_status::ready;
}

// ---------------------------------------------------------------------------
// Single-thread semantics of the non-blocking calls.

TEST(RwLockStates, SharedHoldersCoexistAndExcludeWriters) {
    RawRwLock lock;
    ASSERT_TRUE(lock.is_idle());
    ASSERT_TRUE(lock.try_lock_shared(false));
    ASSERT_TRUE(lock.try_lock_shared(false));
    ASSERT_TRUE(lock.try_lock_shared(true));
    EXPECT_EQ(lock.reader_count(), 3u);
    EXPECT_FALSE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.writer_flag()) << "a failed try must not leave a claim behind";

    lock.unlock_shared();
    lock.unlock_shared();
    EXPECT_FALSE(lock.try_lock_exclusive()) << "one reader is still inside";
    lock.unlock_shared();
    EXPECT_TRUE(lock.is_idle());
}

TEST(RwLockStates, ExclusiveHolderExcludesEveryone) {
    RawRwLock lock;
    ASSERT_TRUE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.try_lock_exclusive());
    EXPECT_FALSE(lock.try_lock_shared(false));
    EXPECT_FALSE(lock.try_lock_shared(true)) << "a recursive reader must not pass a writer that holds the lock";
    EXPECT_EQ(lock.reader_count(), 0u);
    lock.unlock_exclusive();
    EXPECT_TRUE(lock.is_idle());

    // The blocking calls take the same uncontended route and leave no trace.
    Watchdog dog;
    lock.lock_exclusive();
    lock.unlock_exclusive();
    lock.lock_shared(false);
    lock.lock_shared(true);
    EXPECT_EQ(lock.reader_count(), 2u);
    lock.unlock_shared();
    lock.unlock_shared();
    EXPECT_TRUE(lock.is_idle());
    EXPECT_TRUE(lock.try_lock_exclusive());
    lock.unlock_exclusive();
}

// ---------------------------------------------------------------------------
// Mutual exclusion under contention.

TEST(RwLockExclusion, HammerKeepsReadersAndWritersApart) {
    constexpr int kThreads = 6;
    constexpr auto kRun = 250ms;
    RawRwLock lock;
    std::atomic<int> readers_inside{0};
    std::atomic<int> writers_inside{0};
    std::atomic<int> violations{0};
    // Written only under exclusive ownership and read under shared ownership,
    // deliberately non-atomic: a torn pair or a data race (under
    // ThreadSanitizer) shows a hole in the exclusion.
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    std::uint64_t writes = 0;
    std::atomic<std::uint64_t> expected_writes{0};
    std::atomic<bool> stop{false};

    {
        Watchdog dog;
        std::latch start(kThreads);  // all threads contend from the first iteration
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                std::uint32_t rng = 0x9e3779b9u * static_cast<std::uint32_t>(t + 1);
                while (!stop.load(std::memory_order_relaxed)) {
                    rng ^= rng << 13;
                    rng ^= rng >> 17;
                    rng ^= rng << 5;
                    const unsigned pick = rng % 8;
                    if (pick < 3) {  // write, blocking or non-blocking
                        if (pick == 0) {
                            if (!lock.try_lock_exclusive()) continue;
                        } else {
                            lock.lock_exclusive();
                        }
                        if (writers_inside.fetch_add(1) != 0 || readers_inside.load() != 0) violations.fetch_add(1);
                        ++first;
                        ++second;
                        ++writes;
                        expected_writes.fetch_add(1, std::memory_order_relaxed);
                        writers_inside.fetch_sub(1);
                        lock.unlock_exclusive();
                    } else {  // read, sometimes nested
                        if (pick == 3) {
                            if (!lock.try_lock_shared(false)) continue;
                        } else {
                            lock.lock_shared(false);
                        }
                        readers_inside.fetch_add(1);
                        if (writers_inside.load() != 0 || first != second) violations.fetch_add(1);
                        if (pick == 7) {
                            // A nested read while writers queue up must not
                            // wait behind them (that would deadlock here).
                            lock.lock_shared(true);
                            if (writers_inside.load() != 0 || first != second) violations.fetch_add(1);
                            lock.unlock_shared();
                        }
                        readers_inside.fetch_sub(1);
                        lock.unlock_shared();
                    }
                }
            });
        }
        std::this_thread::sleep_for(kRun);
        stop.store(true);
        for (auto& th : threads) th.join();
    }
    EXPECT_GT(expected_writes.load(), 0u);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(writes, expected_writes.load());
    EXPECT_EQ(first, second);
    EXPECT_TRUE(lock.is_idle()) << "contention must leave no stale bit behind";
    EXPECT_EQ(lock.queued_waiters(), 0u);
}

// ---------------------------------------------------------------------------
// Writer preference: once a writer has claimed the lock, ordinary readers
// queue behind it.

TEST(RwLockWriterPreference, ClaimedWriterBlocksNewOrdinaryReaders) {
    RawRwLock lock;
    EventLog log;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_shared(false));  // the reader already inside

    Actor writer(lock, Actor::Mode::kWrite, "writer", log);
    ASSERT_TRUE(eventually([&] { return lock.writer_flag(); }));
    EXPECT_FALSE(lock.try_lock_shared(false)) << "an ordinary reader entered past a claiming writer";

    Actor reader(lock, Actor::Mode::kRead, "late reader", log);
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 1; }));
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(reader.acquired());
    EXPECT_FALSE(writer.acquired()) << "the writer got in while a reader was still inside";

    lock.unlock_shared();
    ASSERT_TRUE(eventually([&] { return writer.acquired(); }));
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(reader.acquired()) << "a reader got in while the writer held the lock";
    writer.release();
    ASSERT_TRUE(eventually([&] { return reader.acquired(); }));
    reader.join();
    writer.join();
    EXPECT_EQ(log.snapshot(), (std::vector<std::string>{"writer", "late reader"}));
    EXPECT_TRUE(lock.is_idle());
}

TEST(RwLockWriterPreference, WriterGetsInWhileReadersKeepOverlapping) {
    // Each reader stays inside until another reader has entered after it (or
    // 2 ms pass), so without writer preference the reader count would almost
    // never touch zero and the writer would starve.
    constexpr int kReaders = 3;
    RawRwLock lock;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> entries{0};
    Watchdog dog;
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                lock.lock_shared(false);
                const std::uint64_t mine = entries.fetch_add(1) + 1;
                const auto until = Clock::now() + 2ms;
                while (entries.load() == mine && Clock::now() < until && !stop.load())
                    std::this_thread::sleep_for(50us);
                lock.unlock_shared();
            }
        });
    }
    ASSERT_TRUE(eventually([&] { return entries.load() > 100; }));

    auto writer = std::async(std::launch::async, [&] {
        lock.lock_exclusive();
        lock.unlock_exclusive();
    });
    const bool writer_done = ready_within(writer, 3s);
    stop.store(true);
    for (auto& th : readers) th.join();
    writer.get();
    EXPECT_TRUE(writer_done) << "a stream of overlapping readers starved the writer";
    EXPECT_TRUE(lock.is_idle());
}

// ---------------------------------------------------------------------------
// Recursive readers.

TEST(RwLockRecursiveRead, PassesWriterWaitingForReaders) {
    RawRwLock lock;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_shared(false));
    auto writer = std::async(std::launch::async, [&] {
        lock.lock_exclusive();
        lock.unlock_exclusive();
    });
    ASSERT_TRUE(eventually([&] { return lock.writer_flag(); }));

    EXPECT_FALSE(lock.try_lock_shared(false));
    EXPECT_TRUE(lock.try_lock_shared(true));
    lock.lock_shared(true);  // would deadlock if it queued behind the writer
    EXPECT_EQ(lock.reader_count(), 3u);
    EXPECT_FALSE(ready_within(writer, kGrace));

    lock.unlock_shared();
    lock.unlock_shared();
    EXPECT_FALSE(ready_within(writer, kGrace)) << "the writer got in with a reader still inside";
    lock.unlock_shared();
    EXPECT_TRUE(ready_within(writer, kEventually));
    EXPECT_TRUE(lock.is_idle());
}

TEST(RwLockRecursiveRead, WaitsWhileWriterHolds) {
    RawRwLock lock;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_exclusive());
    auto reader = std::async(std::launch::async, [&] {
        lock.lock_shared(true);
        lock.unlock_shared();
    });
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 1; }));
    EXPECT_FALSE(ready_within(reader, kGrace));
    lock.unlock_exclusive();
    EXPECT_TRUE(ready_within(reader, kEventually));
    EXPECT_TRUE(lock.is_idle());
}

TEST(RwLockRecursiveRead, QueuedBehindWriterIsLetInAtTheNextRelease) {
    // A recursive reader that had to sleep (a writer held the lock) must not
    // stay asleep behind a queued writer once the holder leaves: it may enter
    // as soon as a claiming writer has readers to wait for. Ordinary readers
    // keep their place behind that writer.
    RawRwLock lock;
    EventLog log;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_exclusive());
    Actor writer(lock, Actor::Mode::kWrite, "writer", log);
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 1; }));
    Actor nested(lock, Actor::Mode::kRecursiveRead, "recursive reader", log);
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 2; }));
    Actor plain(lock, Actor::Mode::kRead, "ordinary reader", log);
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 3; }));

    lock.unlock_exclusive();
    ASSERT_TRUE(eventually([&] { return nested.acquired(); }));
    ASSERT_TRUE(eventually([&] { return lock.writer_flag(); }));
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(writer.acquired());
    EXPECT_FALSE(plain.acquired());
    EXPECT_EQ(lock.queued_waiters(), 1u);

    nested.release();
    ASSERT_TRUE(eventually([&] { return writer.acquired(); }));
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(plain.acquired());
    writer.release();
    ASSERT_TRUE(eventually([&] { return plain.acquired(); }));
    plain.join();
    writer.join();
    nested.join();
    EXPECT_EQ(log.snapshot(), (std::vector<std::string>{"recursive reader", "writer", "ordinary reader"}));
    EXPECT_TRUE(lock.is_idle());
}

// ---------------------------------------------------------------------------
// Who is woken, and in which order.

TEST(RwLockWakeOrder, ExclusiveReleaseWakesReadersUpToFirstWriter) {
    RawRwLock lock;
    EventLog log;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_exclusive());

    // Queue, front to back: R1 R2 W1 R3 W2.
    std::vector<std::unique_ptr<Actor>> actors;
    const std::pair<Actor::Mode, const char*> arrivals[] = {
        {Actor::Mode::kRead, "R1"}, {Actor::Mode::kRead, "R2"}, {Actor::Mode::kWrite, "W1"},
        {Actor::Mode::kRead, "R3"}, {Actor::Mode::kWrite, "W2"},
    };
    for (const auto& [mode, label] : arrivals) {
        actors.push_back(std::make_unique<Actor>(lock, mode, label, log));
        const std::size_t n = actors.size();
        ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == n; }));
    }
    Actor& r1 = *actors[0];
    Actor& r2 = *actors[1];
    Actor& w1 = *actors[2];
    Actor& r3 = *actors[3];
    Actor& w2 = *actors[4];

    lock.unlock_exclusive();
    // R1 and R2 are in, W1 has claimed the lock and waits for them; R3 and
    // W2 stay queued behind W1.
    ASSERT_TRUE(eventually([&] { return r1.acquired() && r2.acquired(); }));
    ASSERT_TRUE(eventually([&] { return lock.writer_flag(); }));
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(w1.acquired());
    EXPECT_FALSE(r3.acquired());
    EXPECT_FALSE(w2.acquired());
    EXPECT_EQ(lock.queued_waiters(), 2u);
    EXPECT_EQ(lock.reader_count(), 2u);

    r1.release();
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(w1.acquired()) << "the writer got in before the last reader left";
    r2.release();
    ASSERT_TRUE(eventually([&] { return w1.acquired(); }));

    w1.release();
    ASSERT_TRUE(eventually([&] { return r3.acquired(); }));
    ASSERT_TRUE(eventually([&] { return lock.writer_flag(); }));  // W2's claim
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(w2.acquired());
    r3.release();
    ASSERT_TRUE(eventually([&] { return w2.acquired(); }));
    w2.release();
    actors.clear();

    const auto order = log.snapshot();
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(order.begin() + 2, order.end()), (std::vector<std::string>{"W1", "R3", "W2"}));
    EXPECT_TRUE(lock.is_idle());
    EXPECT_TRUE(lock.try_lock_exclusive());
    lock.unlock_exclusive();
}

TEST(RwLockWakeOrder, LastReaderOutWakesDrainingWriter) {
    RawRwLock lock;
    Watchdog dog;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(lock.try_lock_shared(false));
    auto writer = std::async(std::launch::async, [&] {
        lock.lock_exclusive();
        lock.unlock_exclusive();
    });
    // The writer must end up asleep, not spinning, while readers stay.
    ASSERT_TRUE(eventually([&] { return lock.writer_draining(); }));
    lock.unlock_shared();
    lock.unlock_shared();
    EXPECT_FALSE(ready_within(writer, kGrace));
    EXPECT_TRUE(lock.writer_draining());
    lock.unlock_shared();
    EXPECT_TRUE(ready_within(writer, kEventually));
    EXPECT_TRUE(lock.is_idle());
}

// A handler that does nothing, installed without SA_RESTART so that a signal
// makes an interrupted sleep return early.
extern "C" void ignore_signal(int) {}

TEST(RwLockWakeOrder, SignalsDoNotEndWaits) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

    RawRwLock lock;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_exclusive());
    std::atomic<bool> reader_in{false};
    std::atomic<bool> writer_in{false};
    std::thread reader([&] {
        lock.lock_shared(false);
        reader_in.store(true);
        lock.unlock_shared();
    });
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 1; }));
    std::thread writer([&] {
        lock.lock_exclusive();
        writer_in.store(true);
        lock.unlock_exclusive();
    });
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 2; }));
    for (int i = 0; i < 5; ++i) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        pthread_kill(writer.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(5ms);
    }
    std::this_thread::sleep_for(kGrace);
    EXPECT_FALSE(reader_in.load());
    EXPECT_FALSE(writer_in.load());
    EXPECT_EQ(lock.queued_waiters(), 2u);

    lock.unlock_exclusive();
    reader.join();
    writer.join();
    EXPECT_TRUE(reader_in.load());
    EXPECT_TRUE(writer_in.load());
    EXPECT_TRUE(lock.is_idle());
    sigaction(SIGUSR1, &previous, nullptr);
}

// ---------------------------------------------------------------------------
// try_lock_exclusive only takes an idle lock.

TEST(RwLockTry, ExclusiveTryNeedsNoHolderNoClaimNoWaiter) {
    RawRwLock lock;
    EventLog log;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_shared(false));
    EXPECT_FALSE(lock.try_lock_exclusive());  // a reader holds it

    Actor writer(lock, Actor::Mode::kWrite, "writer", log);
    ASSERT_TRUE(eventually([&] { return lock.writer_draining(); }));
    lock.unlock_shared();
    ASSERT_TRUE(eventually([&] { return writer.acquired(); }));
    Actor reader(lock, Actor::Mode::kRead, "reader", log);
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 1; }));
    Actor second_writer(lock, Actor::Mode::kWrite, "second writer", log);
    ASSERT_TRUE(eventually([&] { return lock.queued_waiters() == 2; }));
    EXPECT_FALSE(lock.try_lock_exclusive());  // a writer holds it, two wait

    writer.release();
    ASSERT_TRUE(eventually([&] { return reader.acquired(); }));
    EXPECT_FALSE(lock.try_lock_exclusive());  // a reader holds it, a writer claims or waits
    reader.release();
    ASSERT_TRUE(eventually([&] { return second_writer.acquired(); }));
    EXPECT_FALSE(lock.try_lock_exclusive());
    second_writer.join();
    reader.join();
    writer.join();

    // Everyone has left: no bit may linger that keeps the lock from idling.
    EXPECT_TRUE(lock.is_idle());
    EXPECT_EQ(lock.queued_waiters(), 0u);
    EXPECT_TRUE(lock.try_lock_exclusive());
    lock.unlock_exclusive();
}

TEST(RwLockTry, ExclusiveTryDoesNotJumpTheQueueRightAfterARelease) {
    // An exclusive release wakes the first of two queued writers. Until that
    // one claims the lock (or when the claim is not handed to it) nobody
    // holds or claims the lock, but the second writer is still queued, so the
    // lock is not idle and try_lock_exclusive must fail.
    constexpr int kRounds = 30;
    RawRwLock lock;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> entries{0};
    int jumped = 0;
    {
        Watchdog dog;
        auto writer_loop = [&] {
            lower_own_priority();
            while (!stop.load()) {
                lock.lock_exclusive();
                entries.fetch_add(1);
                lock.unlock_exclusive();
            }
        };
        std::thread first(writer_loop);
        std::thread second(writer_loop);
        for (int round = 0; round < kRounds; ++round) {
            lock.lock_exclusive();
            ASSERT_TRUE(queued_and_asleep(lock, 2));
            const std::uint64_t before = entries.load();
            lock.unlock_exclusive();
            if (lock.try_lock_exclusive()) {
                // Legitimate only if a writer got in and out in between: the
                // second writer cannot leave the queue any other way.
                if (entries.load() == before) ++jumped;
                lock.unlock_exclusive();
            }
        }
        stop.store(true);
        first.join();
        second.join();
    }
    EXPECT_EQ(jumped, 0) << "try_lock_exclusive succeeded with a writer still queued";
    EXPECT_TRUE(lock.is_idle());
}

// ---------------------------------------------------------------------------
// Bounded unfairness: every waiter gets in within a bounded time even when
// the releasing threads immediately come back for the lock.

TEST(RwLockFairness, NoWaiterIsOvertakenIndefinitely) {
    constexpr int kWriters = 4;
    constexpr int kReaders = 2;
    constexpr auto kRun = 600ms;
    // Far above what a fair hand-off every millisecond or so needs, far below
    // the run length a starved waiter would accumulate.
    constexpr auto kBound = 250ms;

    RawRwLock lock;
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> longest_wait_ns{0};
    std::vector<std::uint64_t> acquisitions(kWriters + kReaders, 0);
    std::uint64_t shared_counter = 0;
    {
        Watchdog dog;
        std::vector<std::thread> threads;
        for (int t = 0; t < kWriters + kReaders; ++t) {
            threads.emplace_back([&, t] {
                const bool writes = t < kWriters;
                std::uint64_t count = 0;
                std::int64_t longest = 0;
                while (!stop.load(std::memory_order_relaxed)) {
                    const auto start = Clock::now();
                    if (writes)
                        lock.lock_exclusive();
                    else
                        lock.lock_shared(false);
                    longest = std::max<std::int64_t>(longest, (Clock::now() - start).count());
                    if (writes) {
                        for (int i = 0; i < 50; ++i) ++shared_counter;
                        lock.unlock_exclusive();
                    } else {
                        volatile std::uint64_t seen = shared_counter;
                        (void)seen;
                        lock.unlock_shared();
                    }
                    ++count;
                }
                acquisitions[t] = count;
                std::int64_t prev = longest_wait_ns.load();
                while (prev < longest && !longest_wait_ns.compare_exchange_weak(prev, longest)) {
                }
            });
        }
        std::this_thread::sleep_for(kRun);
        stop.store(true);
        for (auto& th : threads) th.join();
    }
    const auto longest = std::chrono::nanoseconds(longest_wait_ns.load());
    for (int t = 0; t < kWriters + kReaders; ++t) EXPECT_GT(acquisitions[t], 0u) << "thread " << t << " never got in";
    EXPECT_LT(longest, kBound) << "longest wait "
                               << std::chrono::duration_cast<std::chrono::microseconds>(longest).count() << " us";
    EXPECT_TRUE(lock.is_idle());
}

TEST(RwLockFairness, QueuedWriterIsHandedTheLockOverABargingHolder) {
    // The holder releases and at once tries to take the lock back. Against a
    // writer that first has to wake up it wins that race every time, unless
    // the release hands the claim straight to the woken writer, which has to
    // happen within a millisecond or so. Repeated, so it is not just the
    // first release that hands over.
    constexpr int kEpisodes = 20;
    constexpr auto kBound = 150ms;
    RawRwLock lock;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> victim_entries{0};
    Clock::duration longest{};
    {
        Watchdog dog;
        std::thread victim([&] {
            lower_own_priority();
            while (!stop.load()) {
                lock.lock_exclusive();
                victim_entries.fetch_add(1);
                lock.unlock_exclusive();
            }
        });
        auto victim_asleep = [&] { return queued_and_asleep(lock, 1); };
        for (int episode = 0; episode < kEpisodes; ++episode) {
            lock.lock_exclusive();
            ASSERT_TRUE(victim_asleep());
            const std::uint64_t before = victim_entries.load();
            const auto start = Clock::now();
            bool handed_over = false;
            for (;;) {
                lock.unlock_exclusive();
                if (!lock.try_lock_exclusive()) {
                    handed_over = true;
                    break;
                }
                if (Clock::now() - start > kBound) {
                    lock.unlock_exclusive();
                    break;
                }
                ASSERT_TRUE(victim_asleep());
            }
            longest = std::max(longest, Clock::now() - start);
            if (!handed_over) {
                ADD_FAILURE() << "the queued writer was overtaken for " << kBound.count() << " ms in episode "
                              << episode;
                break;
            }
            ASSERT_TRUE(eventually([&] { return victim_entries.load() > before; }));
        }
        stop.store(true);
        victim.join();
    }
    EXPECT_LT(longest, kBound);
    EXPECT_TRUE(lock.is_idle());
}

// ---------------------------------------------------------------------------
// The reader-count limit.

TEST(RwLockOverflow, EnteringPastTheLimitThrowsAndChangesNothing) {
    RawRwLock lock(RawRwLock::InitialReaders{RawRwLock::kMaxReaders - 1});
    ASSERT_EQ(lock.reader_count(), RawRwLock::kMaxReaders - 1);
    ASSERT_TRUE(lock.try_lock_shared(false));  // the last one that fits
    ASSERT_EQ(lock.reader_count(), RawRwLock::kMaxReaders);

    const std::function<void()> attempts[] = {
        [&] { (void)lock.try_lock_shared(false); },
        [&] { (void)lock.try_lock_shared(true); },
        [&] { lock.lock_shared(false); },
        [&] { lock.lock_shared(true); },
    };
    for (const auto& attempt : attempts) {
        try {
            attempt();
            ADD_FAILURE() << "entering past the reader limit did not throw";
        } catch (const std::overflow_error& e) {
            EXPECT_STREQ(e.what(), "RwLock reader count overflow");
        }
        EXPECT_EQ(lock.reader_count(), RawRwLock::kMaxReaders);
        EXPECT_FALSE(lock.writer_flag());
        EXPECT_EQ(lock.queued_waiters(), 0u);
    }
    EXPECT_FALSE(lock.try_lock_exclusive());

    // One leaves, one more fits again.
    lock.unlock_shared();
    EXPECT_TRUE(lock.try_lock_shared(true));
    EXPECT_EQ(lock.reader_count(), RawRwLock::kMaxReaders);
}

// ---------------------------------------------------------------------------
// Interrupted acquisitions withdraw without a trace.

// Asks to stop once the test sets `stop`.
struct StopFlag final : vornic::Interrupt {
    std::atomic<bool> stop{false};
    bool requested() noexcept override { return stop.load(); }
};

TEST(RwLockInterrupt, WriterWithdrawingWhileDrainingLetsTheReadersQueuedBehindItIn) {
    RawRwLock lock;
    Watchdog dog;
    ASSERT_TRUE(lock.try_lock_shared(false));  // the reader the writer waits for
    StopFlag interrupt;
    auto writer = std::async(std::launch::async, [&] { return lock.lock_exclusive(&interrupt); });
    ASSERT_TRUE(eventually([&] { return lock.writer_draining(); }));
    EventLog log;
    Actor behind(lock, Actor::Mode::kRead, "r", log);  // an ordinary reader queues behind the claim
    ASSERT_TRUE(queued_and_asleep(lock, 1));
    interrupt.stop.store(true);
    EXPECT_FALSE(writer.get());
    EXPECT_TRUE(eventually([&] { return behind.acquired(); }));
    EXPECT_FALSE(lock.writer_flag());
    behind.join();
    lock.unlock_shared();
    EXPECT_TRUE(lock.is_idle());
}

// Readers and writers, half of them giving up about every other time they
// are asked (and asked early by signals), race the releases that would have
// let them in. Exclusion must hold, the patient half must never be left
// asleep by a withdrawal (the watchdog would fire), and the lock must end
// idle: no reader counted, claim or parked bit left over.
TEST(RwLockInterrupt, RandomWithdrawalsRacingReleasesLeaveNoTrace) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = ignore_signal;  // no SA_RESTART: a signal ends a sleep slice early
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    struct CoinFlip final : vornic::Interrupt {
        std::uint32_t rng;
        bool requested() noexcept override { return (rng = rng * 1103515245u + 12345u) & 0x10000; }
    };
    RawRwLock lock;
    std::atomic<int> readers_inside{0}, writers_inside{0}, violations{0}, withdrawn{0};
    std::atomic<bool> stop{false};
    {
        Watchdog dog;
        std::vector<std::thread> threads;
        for (int t = 0; t < 6; ++t) {
            threads.emplace_back([&, t] {
                CoinFlip flip;
                flip.rng = static_cast<std::uint32_t>(t);
                vornic::Interrupt* interrupt = t % 2 ? &flip : nullptr;
                for (std::uint32_t pick = t; !stop.load(std::memory_order_relaxed);) {
                    pick = pick * 1664525u + 1013904223u;
                    const bool write = (pick >> 20) % 3 == 0;
                    if (!(write ? lock.lock_exclusive(interrupt) : lock.lock_shared(false, interrupt))) {
                        withdrawn.fetch_add(1);
                        continue;
                    }
                    std::atomic<int>& mine = write ? writers_inside : readers_inside;
                    if (mine.fetch_add(1) != 0 && write) violations.fetch_add(1);
                    if ((write ? readers_inside : writers_inside).load() != 0) violations.fetch_add(1);
                    // Readers linger so that writers drain, and may nest a
                    // recursive read that passes a draining writer.
                    std::this_thread::sleep_for(write ? 50us : 100us);
                    if (!write && (pick >> 20) % 3 == 1 && lock.lock_shared(true, interrupt)) lock.unlock_shared();
                    mine.fetch_sub(1);
                    write ? lock.unlock_exclusive() : lock.unlock_shared();
                }
            });
        }
        std::thread kicker([&] {
            for (; !stop.load(); std::this_thread::sleep_for(300us))
                for (auto& th : threads) pthread_kill(th.native_handle(), SIGUSR1);
        });
        std::this_thread::sleep_for(400ms);
        stop.store(true);
        kicker.join();
        for (auto& th : threads) th.join();
    }
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_GT(withdrawn.load(), 0);
    EXPECT_EQ(violations.load(), 0);
    EXPECT_TRUE(lock.is_idle());
    EXPECT_EQ(lock.queued_waiters(), 0u);
}

// ---------------------------------------------------------------------------
// Announced readers (the biased read path), as the RwLock guards use it:
// announce if the lock is biased, else count and perhaps bring the bias back.

// One shared acquisition the way a read guard takes it. Returns the entry
// when announced, nullptr when counted.
ReaderRecord::Entry* read_lock(RawRwLock& lock, bool recursive) {
    if (ReaderRecord::Entry* e = lock.try_lock_shared_announced(ReaderRecord::mine())) return e;
    lock.lock_shared(recursive);
    lock.enable_bias_if_quiet();
    return nullptr;
}

void read_unlock(RawRwLock& lock, ReaderRecord::Entry* e) {
    e ? lock.unlock_shared_announced(*e) : lock.unlock_shared();
}

TEST(RwLockAnnounced, ReadersRacingWritersNeverSeeAHalfWrittenState) {
    // Writers change two plain fields that must always sum to zero, with a
    // pause in the middle; readers check the sum, sometimes again from a
    // nested (recursive) read. Plain fields, so that under ThreadSanitizer
    // any access the lock fails to order is reported as a race as well. The
    // writers take the lock every way there is (blocking, with a deadline,
    // by trying) and each must finish its writes however busy the readers
    // keep the lock: the watchdog ends a writer that waits forever.
    constexpr int kReaders = 3, kWriters = 2, kWrites = 100;
    RawRwLock lock;
    std::int64_t left = 0, right = 0;
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> torn{0}, announced{0}, counted{0}, gave_up{0};  // gave_up: for a debugger
    {
        Watchdog dog(std::chrono::milliseconds(60'000));
        std::vector<std::thread> readers, writers;
        for (int r = 0; r < kReaders; ++r) {
            readers.emplace_back([&, r] {
                for (std::uint32_t n = r; !stop.load(std::memory_order_relaxed); ++n) {
                    ReaderRecord::Entry* e = read_lock(lock, false);
                    (e ? announced : counted).fetch_add(1, std::memory_order_relaxed);
                    if (left + right != 0) torn.fetch_add(1);
                    if (n % 4 == 0) {
                        // A writer may be revoking right now, waiting for the
                        // read above: this one must not wait for it.
                        ReaderRecord::Entry* inner = read_lock(lock, true);
                        if (left + right != 0) torn.fetch_add(1);
                        read_unlock(lock, inner);
                    }
                    read_unlock(lock, e);
                }
            });
        }
        for (int w = 0; w < kWriters; ++w) {
            writers.emplace_back([&, w] {
                for (int i = 1; i <= kWrites; ++i) {
                    switch ((i + w) % 3) {
                        case 0:
                            if (!lock.try_lock_exclusive()) lock.lock_exclusive();
                            break;
                        case 1:
                            while (!lock.lock_exclusive(nullptr, Clock::now() + 1ms)) gave_up.fetch_add(1);
                            break;
                        default:
                            lock.lock_exclusive();
                    }
                    left = i;
                    std::this_thread::yield();
                    right = -i;
                    lock.unlock_exclusive();
                    // Room for the bias to come back before the next write.
                    std::this_thread::sleep_for(100us);
                }
            });
        }
        for (auto& th : writers) th.join();
        stop.store(true);
        for (auto& th : readers) th.join();
    }
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GT(announced.load(), 0u) << "the bias never came back";
    EXPECT_GT(counted.load(), 0u) << "writers never revoked the bias";
    EXPECT_TRUE(lock.is_idle());
    EXPECT_FALSE(lock.has_announced_readers());
    EXPECT_EQ(lock.queued_waiters(), 0u);
}

TEST(RwLockAnnounced, WriterGivingUpMidRevocationLeavesTheBiasAndNothingElse) {
    RawRwLock lock;
    Watchdog dog;
    ASSERT_EQ(read_lock(lock, false), nullptr);  // counted: turns the bias on
    lock.unlock_shared();
    ReaderRecord::Entry* e = read_lock(lock, false);
    ASSERT_NE(e, nullptr) << "a counted read with no writer about did not bias the lock";

    EXPECT_FALSE(lock.try_lock_exclusive()) << "a try got in past an announced reader";
    EXPECT_TRUE(lock.biased());
    EXPECT_FALSE(lock.lock_exclusive(nullptr, Clock::now() + kGrace)) << "a writer got in past an announced reader";
    EXPECT_TRUE(lock.biased());
    EXPECT_TRUE(lock.is_idle());

    auto writer = std::async(std::launch::async, [&] {
        lock.lock_exclusive();
        lock.unlock_exclusive();
    });
    ASSERT_TRUE(eventually([&] { return lock.writer_flag() && !lock.biased(); }));
    EXPECT_FALSE(lock.try_lock_shared(false)) << "an ordinary reader passed a revoking writer";
    // The announced reader reads again: counted, past the revoking writer.
    ReaderRecord::Entry* inner = read_lock(lock, true);
    EXPECT_EQ(inner, nullptr);
    lock.unlock_shared();
    EXPECT_FALSE(ready_within(writer, kGrace)) << "the writer got in with an announced reader inside";
    lock.unlock_shared_announced(*e);
    EXPECT_TRUE(ready_within(writer, kEventually));
    EXPECT_TRUE(lock.is_idle());
    EXPECT_FALSE(lock.has_announced_readers());
}

// ---------------------------------------------------------------------------
// Ownership handles.

TEST(RwLockAcquisition, ReleasesExactlyOnceAndKeepsTheLockAlive) {
    auto lock = std::make_shared<RawRwLock>();
    std::weak_ptr<RawRwLock> weak = lock;

    ASSERT_TRUE(lock->try_lock_shared(false));
    ASSERT_TRUE(lock->try_lock_shared(false));
    ReadAcquisition first = ReadAcquisition::adopt(lock);
    ReadAcquisition second = ReadAcquisition::adopt(lock);
    ReadAcquisition moved = std::move(first);
    EXPECT_FALSE(first);
    EXPECT_TRUE(moved);
    moved = std::move(second);  // releases the ownership `moved` had
    EXPECT_EQ(lock->reader_count(), 1u);
    first.release();  // empty: nothing to give back
    EXPECT_EQ(lock->reader_count(), 1u);

    // The last plain handle goes; the acquisition keeps the lock state alive.
    lock.reset();
    ASSERT_FALSE(weak.expired());
    {
        ReadAcquisition sink = std::move(moved);
    }
    EXPECT_TRUE(weak.expired());

    auto wlock = std::make_shared<RawRwLock>();
    ASSERT_TRUE(wlock->try_lock_exclusive());
    WriteAcquisition write = WriteAcquisition::adopt(wlock);
    EXPECT_FALSE(wlock->try_lock_shared(false));
    write.release();
    write.release();
    EXPECT_TRUE(wlock->is_idle());
    EXPECT_EQ(wlock.use_count(), 1);
}

}  // namespace
