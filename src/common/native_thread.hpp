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
#include <cstring>
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
        : id_(o.id_), claim_(std::move(o.claim_)), live_(std::exchange(o.live_, false)) {}
    NativeThread& operator=(NativeThread&& o) noexcept {
        if (this != &o) {
            detach();
            id_ = o.id_;
            claim_ = std::move(o.claim_);
            live_ = std::exchange(o.live_, false);
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
        if (live_ && claim_->take(Claim::kHandle)) pthread_join(id_, nullptr);
        live_ = false;
    }
    void detach() noexcept {
        if (live_ && claim_->take(Claim::kHandle)) pthread_detach(id_);
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
    static inline thread_local Claim* current_ = nullptr;
    pthread_t id_{};
    std::shared_ptr<Claim> claim_;
    bool live_ = false;
};

}  // namespace vornic
