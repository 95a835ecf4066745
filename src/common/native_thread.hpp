// NativeThread: an operating-system thread with a 2 MiB stack, joinable or
// detachable exactly once. Python-free.
//
// std::thread would do, but it gives no control of the stack size and
// terminates the process when a joinable handle is destroyed; the pool needs
// to drop handles without joining on its failure paths.
//
// A thread may also let go of itself (release_self) when it ends for a reason
// its owner cannot see, such as the interpreter finalizing while a handle
// sits in an object that will never be reclaimed: the thread is then detached
// and a later join or detach of its handle does nothing. Whichever of the
// handle and the thread claims the pthread_t first is the only one to use it.
#pragma once
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace vornic {

class NativeThread {
public:
    static constexpr std::size_t kStackSize = 2u << 20;

    NativeThread() = default;
    NativeThread(NativeThread&& o) noexcept
        : id_(o.id_), claim_(std::move(o.claim_)), live_(std::exchange(o.live_, false)), owned_(o.owned_) {}
    NativeThread& operator=(NativeThread&& o) noexcept {
        if (this != &o) {
            detach();
            id_ = o.id_;
            claim_ = std::move(o.claim_);
            live_ = std::exchange(o.live_, false);
            owned_ = o.owned_;
        }
        return *this;
    }
    NativeThread(const NativeThread&) = delete;
    NativeThread& operator=(const NativeThread&) = delete;
    // A handle still live at destruction is detached: the thread runs on.
    ~NativeThread() { detach(); }

    // Starts fn on a new thread. Throws std::runtime_error with
    // "failed to spawn thread: <reason>" when the platform refuses.
    static NativeThread spawn(std::function<void()> fn) {
        auto claim = std::make_shared<Claim>();
        auto boxed = std::make_unique<Start>(Start{std::move(fn), claim});
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStackSize);
        NativeThread t;
        const int rc = pthread_create(&t.id_, &attr, &NativeThread::entry, boxed.get());
        pthread_attr_destroy(&attr);
        if (rc != 0) throw std::runtime_error(std::string("failed to spawn thread: ") + std::strerror(rc));
        boxed.release();  // now owned by the thread
        t.claim_ = std::move(claim);
        t.live_ = true;
        return t;
    }

    // Waits for the thread to end; how it ended is not reported. Returns at
    // once for a thread that let go of itself.
    void join() noexcept {
        if (live_ && own()) pthread_join(id_, nullptr);
        live_ = false;
    }
    // As join(), giving up after `limit`: true once the thread has ended (or
    // let go of itself); false when the time ran out, the handle still live
    // and still to be joined or detached.
    bool join_for(std::chrono::nanoseconds limit) noexcept {
        if (!live_) return true;
        if (own()) {
            // pthread_timedjoin_np takes the wall clock, so a clock step can
            // stretch or shorten this one slice; the callers wait in short
            // slices without a deadline of their own, so that is harmless.
            // pthread_clockjoin_np would take the monotonic clock, but race
            // detectors do not see it as a join and then take the thread for
            // one still to be joined.
            timespec until;
            clock_gettime(CLOCK_REALTIME, &until);
            const long long ns = until.tv_nsec + limit.count();
            until.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
            until.tv_nsec = static_cast<long>(ns % 1'000'000'000);
            if (pthread_timedjoin_np(id_, nullptr, &until) == ETIMEDOUT) return false;
        }
        live_ = false;
        return true;
    }
    void detach() noexcept {
        if (live_ && own()) pthread_detach(id_);
        live_ = false;
    }
    bool is_current() const noexcept { return live_ && pthread_equal(id_, pthread_self()); }

    // Called on a thread this class started: detaches it unless its handle
    // has already been joined or detached (or is being). Elsewhere a no-op.
    static void release_self() noexcept {
        if (current_ && current_->take(Claim::kThread)) pthread_detach(pthread_self());
    }

private:
    struct Claim {
        enum : int { kNobody, kHandle, kThread };
        std::atomic<int> by{kNobody};
        bool take(int who) noexcept {
            int expected = kNobody;
            return by.compare_exchange_strong(expected, who, std::memory_order_acq_rel);
        }
    };
    struct Start {
        std::function<void()> fn;
        std::shared_ptr<Claim> claim;
    };
    static void* entry(void* p) {
        std::unique_ptr<Start> start(static_cast<Start*>(p));
        current_ = start->claim.get();
        start->fn();
        return nullptr;
    }
    // Whether the pthread_t is this handle's to use: claimed now or by an
    // earlier join_for that ran out of time.
    bool own() noexcept { return owned_ || (owned_ = claim_->take(Claim::kHandle)); }

    static inline thread_local Claim* current_ = nullptr;
    pthread_t id_{};
    std::shared_ptr<Claim> claim_;
    bool live_ = false;
    bool owned_ = false;
};

}  // namespace vornic
