// NativeThread: an operating-system thread with a 2 MiB stack, joinable or
// detachable exactly once. Python-free.
//
// std::thread would do, but it gives no control of the stack size and
// terminates the process when a joinable handle is destroyed; the pool needs
// to drop handles without joining on its failure paths.
#pragma once
#include <pthread.h>

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
    NativeThread(NativeThread&& o) noexcept : id_(o.id_), live_(std::exchange(o.live_, false)) {}
    NativeThread& operator=(NativeThread&& o) noexcept {
        if (this != &o) {
            detach();
            id_ = o.id_;
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
        auto boxed = std::make_unique<std::function<void()>>(std::move(fn));
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, kStackSize);
        NativeThread t;
        const int rc = pthread_create(&t.id_, &attr, &NativeThread::entry, boxed.get());
        pthread_attr_destroy(&attr);
        if (rc != 0) throw std::runtime_error(std::string("failed to spawn thread: ") + std::strerror(rc));
        boxed.release();  // now owned by the thread
        t.live_ = true;
        return t;
    }

    // Waits for the thread to end; how it ended is not reported.
    void join() noexcept {
        if (live_) pthread_join(id_, nullptr);
        live_ = false;
    }
    void detach() noexcept {
        if (live_) pthread_detach(id_);
        live_ = false;
    }
    bool is_current() const noexcept { return live_ && pthread_equal(id_, pthread_self()); }

private:
    static void* entry(void* p) {
        std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(p));
        (*fn)();
        return nullptr;
    }
    pthread_t id_{};
    bool live_ = false;
};

}  // namespace vornic
