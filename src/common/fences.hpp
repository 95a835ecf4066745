// Stand-alone memory fences and the spin-wait hint, and the one place that
// knows ThreadSanitizer does not model fences (GCC even warns about them
// under -fsanitize=thread).
// Under the sanitizer the fences compile to nothing and the code around them
// makes the neighbouring atomic accesses sequentially consistent instead
// (see kTsan at each use), which is stronger on every platform it runs on.
#pragma once
#include <atomic>

namespace vornic {

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kTsan = true;
inline void full_fence() noexcept {}
inline void acquire_fence() noexcept {}
inline void release_fence() noexcept {}
#else
inline constexpr bool kTsan = false;
inline void full_fence() noexcept { std::atomic_thread_fence(std::memory_order_seq_cst); }
inline void acquire_fence() noexcept { std::atomic_thread_fence(std::memory_order_acquire); }
inline void release_fence() noexcept { std::atomic_thread_fence(std::memory_order_release); }
#endif

// A spin-wait hint: lets the sibling hardware thread run and saves power
// while a loop waits for another core's store.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield" ::: "memory");
#endif
}

}  // namespace vornic
