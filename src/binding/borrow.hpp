// The receiver's borrow flag: shared and exclusive holds that fail at once
// instead of waiting.
//
// One 64-bit word: 0 free, n > 0 held shared by n calls, all-ones held
// exclusively by one call.
#pragma once
#include "binding/errors.hpp"

#include <atomic>
#include <cstdint>

namespace vornic {

class BorrowFlag {
public:
    static constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

    bool try_shared() noexcept {
        std::uint64_t cur = word_.load(std::memory_order_relaxed);
        do {
            if (cur == kExclusive || cur == kExclusive - 1) return false;
        } while (!word_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() noexcept {
        std::uint64_t expected = 0;
        return word_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { word_.store(0, std::memory_order_release); }
    std::uint64_t load() const noexcept { return word_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> word_{0};
};

class SharedHold {
public:
    explicit SharedHold(BorrowFlag& f) : f_(&f) {
        if (!f.try_shared()) throw RuntimeError(msg::kMutablyBorrowed);
    }
    ~SharedHold() {
        if (f_) f_->release_shared();
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;

private:
    BorrowFlag* f_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(BorrowFlag& f) : f_(&f) {
        if (!f.try_exclusive()) throw RuntimeError(msg::kBorrowed);
    }
    ~ExclusiveHold() {
        if (f_) f_->release_exclusive();
    }
    // Gives the hold back early (the guards do so before a blocking wait).
    void release() noexcept {
        if (f_) f_->release_exclusive();
        f_ = nullptr;
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;

private:
    BorrowFlag* f_;
};

}  // namespace vornic
