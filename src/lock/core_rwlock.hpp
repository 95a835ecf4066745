// Lock state behind RwLock: a reader-writer lock built on one 64-bit state
// word, with a per-lock wait queue for threads that have to sleep.
//
// Python-free on purpose: nothing here includes a Python header or calls back
// anywhere, so the blocking entry points can run while the calling thread is
// detached from the interpreter.
//
// Behaviour in short:
//   * many shared holders, or one exclusive holder;
//   * a writer that cannot enter at once waits until no other writer holds or
//     has claimed the lock, then claims it (kWriter), then waits for the
//     remaining readers to leave; new ordinary readers queue behind a claim,
//     so a stream of readers cannot starve a writer;
//   * a recursive reader (the caller already holds some read lock) may still
//     enter while a writer has claimed the lock but readers remain, so it
//     never waits behind a writer that is waiting for the caller's own read;
//     it waits only while a writer really holds the lock;
//   * releasing exclusive ownership wakes the queue from the front up to and
//     including the first writer; the woken readers are handed shared
//     ownership, the woken writer competes for the claim with new arrivals,
//     except that roughly once a millisecond the claim is handed to it
//     directly, which bounds how long anyone can be overtaken.
//   * a blocking acquisition given an Interrupt (common/interrupt.hpp) sleeps
//     in slices and, when asked to stop, withdraws without ownership and
//     without leaving a queued node, a reader count or a claim behind;
//     a deadline (common/duration.hpp) ends a wait the same way.
//
// Announced readers (the read fast path). Counting readers in the state word
// makes every read write the one cache line all readers share, so under
// reader-heavy use the lock is biased towards readers instead: while kBias is
// set, a reader announces itself by storing the lock's address in an entry of
// its own thread's ReaderRecord (a cache line no other reader writes), then
// re-reads the state word; if kBias is still set it is in, without counting.
// Leaving is clearing that entry. A writer revokes the bias once it has
// claimed the lock: in one compare-and-swap it clears kBias and counts itself
// as a stand-in reader, then waits until no record announces this lock, then
// drops the stand-in and drains the counted readers as before. Both sides
// store, then load the other side's word, all sequentially consistent, so
// either the reader sees kBias gone and backs out, or the writer sees the
// announcement and waits for it (the store-buffering pattern the C++ model
// forbids for seq_cst). The stand-in keeps the rules for counted readers
// intact while fast readers drain: ordinary readers queue behind the claim,
// recursive ones see a reader count above zero and pass. The bias comes back
// only when a counted reader enters with no writer claim, and not before a
// delay of some multiple of what the last revocation cost, so a lock that is
// written often stays unbiased and its writers do not pay a scan each time.
// A lock never given a ReaderRecord behaves exactly as a plain counted lock:
// only enable_bias_if_quiet() sets kBias.
//
// State word (state_):
//
//   bit 0       kParked        the wait queue is non-empty
//   bit 1       kWriterParked  the claiming writer sleeps until readers drain
//   bit 2       kWriter        a writer has claimed or holds the lock
//   bit 3       kBias          readers may enter by announcement alone
//   bits 4..63  reader count   counted shared holders, at most kMaxReaders
//
//   kBias is set only while kWriter is clear (by a counted reader), and is
//   cleared only by a writer holding the claim, which then revokes; a writer
//   that gives up mid-revocation sets it back. Hence: while any announced
//   reader is inside, either kBias is set or a revoking writer is waiting
//   for it.
//
//   kWriter with a reader count of 0 means a writer holds the lock (or is
//   about to notice that it does: nobody else can enter in between).
//   kWriter with readers means a writer has claimed it and waits for them.
//
// Lock rules: queue_mutex_ is a leaf lock. It guards the queue, drainer_ and
// the fairness clock, and it is the only place where kParked and
// kWriterParked change. It is held for a bounded number of steps, never while
// a thread is woken (wakes happen after it is released) and never together
// with another lock. Every other bit changes by compare-and-swap or
// fetch-and-op on the state word without it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>

#include "common/duration.hpp"
#include "common/interrupt.hpp"

namespace vornic::lock {

class RawRwLock;

// A thread's announcement entries for the read fast path: one cache line,
// written by its owning thread (announce) and by whoever releases a read that
// thread announced (clear); writers of any lock only read it. Records are
// never freed: they form one global list that revoking writers walk without
// a lock, and a thread that exits leaves its record for the next thread.
struct alignas(64) ReaderRecord {
    static constexpr int kEntries = 6;
    using Entry = std::atomic<const RawRwLock*>;

    Entry entries[kEntries] = {};
    std::atomic<bool> in_use{false};  // owned by a live thread
    ReaderRecord* next = nullptr;     // list link, fixed once published

    // The calling thread's record, claimed on first use and given back when
    // the thread exits. Entries still set by then (reads another thread will
    // release) stay set; the next owner only uses the free ones.
    static ReaderRecord& mine();
    // The first record of the global list (acquire).
    static ReaderRecord* first() noexcept;
};
static_assert(sizeof(ReaderRecord) == 64, "one record, one cache line");

class RawRwLock {
public:
    // The wait queue holds at least one thread. Set only under queue_mutex_,
    // together with the enqueue; cleared only under it, when the queue drains.
    // While set, an exclusive release must take the slow path to wake it.
    static constexpr std::uint64_t kParked = std::uint64_t{1} << 0;

    // The writer owning kWriter sleeps in drainer_ until the reader count
    // reaches 0. Implies kWriter and a reader count above 0 when it was set;
    // set and cleared only under queue_mutex_ (cleared by the last reader).
    static constexpr std::uint64_t kWriterParked = std::uint64_t{1} << 1;

    // A writer has claimed the lock. Ordinary readers may not enter while it
    // is set; with a reader count of 0 it means exclusive ownership.
    static constexpr std::uint64_t kWriter = std::uint64_t{1} << 2;

    // Readers may enter by announcing themselves in their ReaderRecord.
    // Never set together with kWriter except while a claiming writer is
    // about to revoke it (see the header comment).
    static constexpr std::uint64_t kBias = std::uint64_t{1} << 3;

    // The reader count occupies the remaining bits; one shared holder adds
    // kOneReader. The count never exceeds kMaxReaders.
    static constexpr unsigned kReaderShift = 4;
    static constexpr std::uint64_t kOneReader = std::uint64_t{1} << kReaderShift;
    static constexpr std::uint64_t kReadersMask = ~(kOneReader - 1);
    static constexpr std::uint64_t kMaxReaders = (std::uint64_t{1} << 60) - 1;
    static_assert(kMaxReaders <= (kReadersMask >> kReaderShift), "reader count must fit the state word");

    // Starts the lock with `readers` shared holders already counted, as if
    // that many read locks had been taken; each must later be released with
    // unlock_shared(). This lets the reader-count limit be reached without
    // creating that many threads. Counts above kMaxReaders are clamped.
    struct InitialReaders {
        std::uint64_t count;
    };

    RawRwLock() noexcept;
    explicit RawRwLock(InitialReaders initial) noexcept;
    ~RawRwLock();
    RawRwLock(const RawRwLock&) = delete;
    RawRwLock& operator=(const RawRwLock&) = delete;

    // Shared ownership without waiting. `recursive` says the caller already
    // holds some read lock (of any lock), which lets it enter past a claiming
    // writer as long as readers remain. Returns whether ownership was taken.
    // Throws std::overflow_error when entering would exceed kMaxReaders; the
    // state is then unchanged. Never blocks, so callable while attached.
    bool try_lock_shared(bool recursive);

    // Shared ownership, sleeping as long as needed. Same rules and overflow
    // error as try_lock_shared. May sleep: call detached.
    //
    // With an `interrupt`, a sleep is cut into slices and the interrupt asked
    // between them; when it asks to stop, the call withdraws and returns
    // false without ownership, leaving no trace: not queued, no reader
    // counted, no parked bit left behind. Returns true when ownership was
    // taken (always, without an interrupt).
    //
    // A `deadline` ends the wait the same way when it passes; the call then
    // returns false, again without a trace.
    bool lock_shared(bool recursive, Interrupt* interrupt = nullptr, const Deadline& deadline = std::nullopt);

    // The read fast path: announces the caller in a free entry of `mine` (the
    // calling thread's record) if the lock is biased. Returns the entry,
    // which stands for one shared ownership until unlock_shared_announced(),
    // or nullptr: not biased, or no free entry; then nothing changed. Never
    // blocks, never counts, writes nothing but the caller's own record.
    ReaderRecord::Entry* try_lock_shared_announced(ReaderRecord& mine) noexcept;

    // Releases a shared ownership taken by try_lock_shared_announced. Any
    // thread may release; wakes a writer waiting for announced readers.
    void unlock_shared_announced(ReaderRecord::Entry& entry) noexcept;

    // Called by a thread holding a counted shared ownership: sets kBias if no
    // writer has claimed the lock and the pause after the last revocation
    // has passed. Returns immediately when the lock is already biased.
    void enable_bias_if_quiet() noexcept;

    // Releases one shared ownership; wakes the claiming writer when the last
    // reader leaves. Any thread may release.
    void unlock_shared() noexcept;

    // Exclusive ownership only if the lock is idle: no holder, no claim and
    // no queued thread. Never blocks. On a biased lock it revokes the bias
    // and succeeds if no announced reader is inside either; if one is, it
    // gives the claim back (the bias too) and fails.
    bool try_lock_exclusive() noexcept;

    // Exclusive ownership, sleeping as long as needed. Not reentrant: a
    // thread holding this lock in any mode must not call it. May sleep.
    // An `interrupt` works as for lock_shared; a writer that withdraws after
    // claiming the lock gives the claim back and wakes whoever queued behind
    // it, exactly as an exclusive release does.
    // A `deadline` works as for lock_shared.
    bool lock_exclusive(Interrupt* interrupt = nullptr, const Deadline& deadline = std::nullopt);

    // Releases exclusive ownership and wakes the front of the queue.
    void unlock_exclusive() noexcept;

    // Observers. Each is one relaxed read of a word other threads keep
    // changing, so the answer can be stale as soon as it returns; they exist
    // for diagnostics and tests, never for decisions.
    std::uint64_t reader_count() const noexcept { return readers_of(state_.load(std::memory_order_relaxed)); }
    bool writer_flag() const noexcept { return (state_.load(std::memory_order_relaxed) & kWriter) != 0; }
    bool writer_draining() const noexcept { return (state_.load(std::memory_order_relaxed) & kWriterParked) != 0; }
    bool biased() const noexcept { return (state_.load(std::memory_order_relaxed) & kBias) != 0; }
    // No holder, no claim, nobody queued; the bias does not count, and an
    // announced reader is not seen here.
    bool is_idle() const noexcept { return (state_.load(std::memory_order_relaxed) & ~kBias) == 0; }
    // Whether some record announces a reader of this lock (a full walk).
    bool has_announced_readers() const noexcept;
    std::size_t queued_waiters() const noexcept { return queued_.load(std::memory_order_relaxed); }

private:
    struct Waiter;  // a sleeping thread's queue node, on that thread's stack
    enum class Park : std::uint8_t { kBack, kFront, kDrain };

    static constexpr std::uint64_t readers_of(std::uint64_t s) noexcept { return s >> kReaderShift; }

    // An ordinary reader needs the writer flag clear; a recursive one also
    // passes a claiming writer while readers remain in.
    static constexpr bool shared_allowed(std::uint64_t s, bool recursive) noexcept {
        return (s & kWriter) == 0 || (recursive && readers_of(s) != 0);
    }

    [[noreturn]] static void throw_reader_overflow();

    bool lock_shared_slow(bool recursive, Interrupt* interrupt, const Deadline& deadline);
    bool lock_exclusive_slow(Interrupt* interrupt, const Deadline& deadline);
    bool try_lock_exclusive_biased() noexcept;
    // With the claim held: if kBias is set, revokes it and waits until no
    // announced reader is inside. False when the wait was given up (the
    // bias is then set again); the claim stays ours either way.
    bool revoke_bias(Interrupt* interrupt, const Deadline& deadline);
    // Waits until no record announces this lock; false if given up.
    bool wait_for_announced_readers(Interrupt* interrupt, const Deadline& deadline);
    // Gives up the stand-in reader count of a revocation and restores kBias.
    void abandon_revocation() noexcept;
    void wake_revoker() noexcept;
    void unlock_shared_slow() noexcept;
    void unlock_exclusive_slow() noexcept;
    // Gives up kWriter, held or only claimed (readers may still be inside),
    // and wakes the queue as an exclusive release does.
    void release_claim() noexcept;
    // Takes kWriter if nobody has; readers may be inside.
    bool try_claim() noexcept;
    // An interrupted sleeper leaves the queue (or the drain slot). Returns
    // true when it was still there; false when a waker had already taken it
    // out, in which case the waker's decision (w.outcome) stands and has
    // been published by the time this returns.
    bool withdraw(Waiter& w) noexcept;

    // Under queue_mutex_: re-checks `must_wait` against the current state and,
    // if it still holds, sets the matching parked bit and links `w` where
    // `where` says. Returns false (nothing linked) when the wait is no longer
    // needed.
    template <class MustWait>
    bool park_if(Waiter& w, Park where, MustWait must_wait);
    void link(Waiter& w, Park where) noexcept;
    void unlink(Waiter& w) noexcept;
    std::int64_t next_fair_interval_ns() noexcept;

    std::atomic<std::uint64_t> state_;

    // Guarded by queue_mutex_ (see the lock rules above).
    std::mutex queue_mutex_;
    Waiter* head_ = nullptr;
    Waiter* tail_ = nullptr;
    Waiter* drainer_ = nullptr;              // the writer sleeping until readers drain
    std::size_t queued_recursive_ = 0;       // recursive readers in the queue
    std::int64_t next_fair_ns_ = 0;          // steady-clock time of the next hand-off
    std::uint64_t fair_jitter_ = 0;          // xorshift state spreading hand-off times
    std::atomic<std::size_t> queued_{0};     // queue length, written under the mutex

    // Revocation: read by every releasing announced reader, written only by
    // the writer holding the claim, so on a cache line of their own, apart
    // from the state word and the queue that the counted paths write.
    alignas(64) std::atomic<std::uint32_t> revoking_{0};  // a writer waits for announced readers
    std::atomic<std::uint32_t> revoke_wakes_{0};          // futex word: bumped to wake that writer
    std::atomic<std::int64_t> bias_after_ns_{0};          // steady-clock time the bias may return
};

inline bool RawRwLock::try_lock_shared(bool recursive) {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    for (;;) {
        if (!shared_allowed(s, recursive)) return false;
        if (readers_of(s) == kMaxReaders) throw_reader_overflow();
        if (state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
}

inline bool RawRwLock::lock_shared(bool recursive, Interrupt* interrupt, const Deadline& deadline) {
    return try_lock_shared(recursive) || lock_shared_slow(recursive, interrupt, deadline);
}

inline ReaderRecord::Entry* RawRwLock::try_lock_shared_announced(ReaderRecord& mine) noexcept {
    // Unbiased: skip the announcement and its fence altogether.
    if ((state_.load(std::memory_order_relaxed) & kBias) == 0) return nullptr;
    for (ReaderRecord::Entry& e : mine.entries) {
        // Only this thread sets entries of its record, so a null seen here
        // stays null until the store below.
        if (e.load(std::memory_order_relaxed) != nullptr) continue;
        e.store(this, std::memory_order_seq_cst);
        if ((state_.load(std::memory_order_seq_cst) & kBias) != 0) return &e;
        unlock_shared_announced(e);  // a writer is revoking: back out
        return nullptr;
    }
    return nullptr;
}

inline void RawRwLock::unlock_shared_announced(ReaderRecord::Entry& entry) noexcept {
    entry.store(nullptr, std::memory_order_seq_cst);
    if (revoking_.load(std::memory_order_seq_cst) != 0) [[unlikely]]
        wake_revoker();
}

inline void RawRwLock::unlock_shared() noexcept {
    const std::uint64_t prev = state_.fetch_sub(kOneReader, std::memory_order_release);
    // Only the last reader out with a writer asleep waiting for it has work.
    if ((prev & (kReadersMask | kWriterParked)) == (kOneReader | kWriterParked)) unlock_shared_slow();
}

inline bool RawRwLock::try_lock_exclusive() noexcept {
    std::uint64_t idle = 0;
    if (state_.compare_exchange_strong(idle, kWriter, std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    return idle == kBias && try_lock_exclusive_biased();
}

inline bool RawRwLock::lock_exclusive(Interrupt* interrupt, const Deadline& deadline) {
    std::uint64_t idle = 0;
    return state_.compare_exchange_strong(idle, kWriter, std::memory_order_acquire, std::memory_order_relaxed) ||
           lock_exclusive_slow(interrupt, deadline);
}

inline void RawRwLock::unlock_exclusive() noexcept {
    // Held exclusively the word is exactly kWriter unless someone is queued.
    std::uint64_t held = kWriter;
    if (!state_.compare_exchange_strong(held, 0, std::memory_order_release, std::memory_order_relaxed))
        unlock_exclusive_slow();
}

// One shared (Read) or exclusive (Write) ownership of a lock, together with a
// handle that keeps the lock alive for as long as the ownership lasts.
// Move-only; releases the ownership on destruction unless released before.
// It does not acquire anything: it adopts an ownership the caller already
// took with try_lock_* / lock_*.
template <bool Exclusive>
class LockAcquisition {
public:
    LockAcquisition() noexcept = default;
    static LockAcquisition adopt(std::shared_ptr<RawRwLock> lock) noexcept { return LockAcquisition(std::move(lock)); }

    LockAcquisition(LockAcquisition&& other) noexcept : lock_(std::move(other.lock_)) {}
    LockAcquisition& operator=(LockAcquisition&& other) noexcept {
        if (this != &other) {
            release();
            lock_ = std::move(other.lock_);
        }
        return *this;
    }
    LockAcquisition(const LockAcquisition&) = delete;
    LockAcquisition& operator=(const LockAcquisition&) = delete;
    ~LockAcquisition() { release(); }

    // Gives the ownership back to the lock and drops the handle; idempotent.
    void release() noexcept {
        if (std::shared_ptr<RawRwLock> lock = std::move(lock_)) {
            if constexpr (Exclusive)
                lock->unlock_exclusive();
            else
                lock->unlock_shared();
        }
    }

    explicit operator bool() const noexcept { return lock_ != nullptr; }

private:
    explicit LockAcquisition(std::shared_ptr<RawRwLock> lock) noexcept : lock_(std::move(lock)) {}
    std::shared_ptr<RawRwLock> lock_;
};

using ReadAcquisition = LockAcquisition<false>;
using WriteAcquisition = LockAcquisition<true>;

}  // namespace vornic::lock
