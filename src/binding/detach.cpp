#include "binding/detach.hpp"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mutex>

namespace vornic {

void hang_forever() noexcept {
    for (;;) pause();
}

bool is_main_thread() noexcept {
    return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

namespace {
// -1 until this thread has asked; reset in a forked child, where the thread
// that forked becomes the main thread.
thread_local signed char t_signal_thread = -1;
void forget_after_fork() noexcept { t_signal_thread = -1; }
}  // namespace

bool on_signal_thread() noexcept {
    if (t_signal_thread < 0) [[unlikely]] {
        static std::once_flag hooked;
        std::call_once(hooked, [] { pthread_atfork(nullptr, nullptr, &forget_after_fork); });
        t_signal_thread = is_main_thread() ? 1 : 0;
    }
    return t_signal_thread > 0;
}

}  // namespace vornic
