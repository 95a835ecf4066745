// Slow paths of the lock state: spinning briefly, queueing, sleeping and
// waking. The inline fast paths and the state word are described in
// core_rwlock.hpp.
//
// Who waits where:
//   * the queue (head_ .. tail_, kParked): readers that found kWriter set
//     (recursive ones: kWriter set and no readers) and writers that found
//     another writer's claim. Everyone in it waits for an exclusive release,
//     which is why only unlock_exclusive ever wakes it;
//   * drainer_ (kWriterParked): the one writer that owns kWriter and waits
//     for the reader count to reach 0. The last reader out wakes it.
//
// Why nobody sleeps forever: a thread links itself only after re-checking,
// under queue_mutex_, that it must wait, and after setting the parked bit by
// compare-and-swap against that very state. Any release that could let it in
// sees that bit, fails its fast path and takes the mutex, so it finds the
// sleeper. Every queued thread sits behind a writer that holds kWriter, or
// behind a woken writer that will either claim kWriter or queue again, so an
// exclusive release always follows.
//
// Sleeping is a per-waiter futex word on the sleeper's own stack. The waker
// decides the outcome under the mutex, then, after dropping it, publishes it
// with a release store and a futex wake.
//
// Interrupted waits (an Interrupt that asks to stop between sleep slices)
// withdraw under the mutex. A sleeper still queued (or still the drainer)
// unlinks itself and clears the parked bit it no longer justifies; nothing
// else changed on its account. A sleeper a waker already took out has an
// outcome it must honour before leaving: it waits for the waker's imminent
// store (its node must outlive it), then gives back what it was handed. A
// reader is always handed shared ownership, which it releases. A writer
// handed the claim, or still draining readers under its own claim, releases
// the claim as an exclusive release would, waking whoever queued behind it.
// A writer woken only to compete takes the claim if it is free and gives it
// back the same way: the threads queued behind it wait for the release that
// its claim would have led to, and if another writer took the claim first,
// that writer's release wakes them.
//
// Deadlines end a wait exactly as an interrupt does: the sleeper withdraws.
//
// Revocation (see core_rwlock.hpp for the protocol) happens right after a
// writer has the claim, whether it took it or was handed it: kBias may still
// be set then, and only the claim holder clears it. The writer walks every
// ReaderRecord and, for each entry naming this lock, waits until it changes.
// A reader leaving clears its entry and then looks at revoking_; the writer
// sets revoking_ before it looks at the entries, so a reader it still sees
// inside will see revoking_ when it leaves and wake it through
// revoke_wakes_.

#include "lock/core_rwlock.hpp"

#include "common/fences.hpp"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <stdexcept>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vornic::lock {

namespace {

// A short, bounded busy wait before sleeping: a lock held for a few hundred
// nanoseconds is cheaper to wait out than to sleep on. About 130 pause
// instructions in total, then the caller sleeps.
class Spinner {
public:
    bool spin() noexcept {
        if (round_ >= kRounds) return false;
        for (int i = 0; i < (2 << round_); ++i) cpu_relax();
        ++round_;
        return true;
    }

private:
    static constexpr int kRounds = 6;
    int round_ = 0;
};

std::int64_t now_ns() noexcept {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Hand-offs happen every 0.5 to 1 ms; the jitter keeps threads that release
// in lockstep from always landing on the same side of the deadline.
constexpr std::int64_t kFairBaseNs = 500'000;
constexpr std::int64_t kFairJitterNs = 500'000;

// After a revocation the bias stays off for this many times what the
// revocation took, so that revoking costs writers at most about a tenth of
// their time however often they come.
constexpr std::int64_t kBiasPauseFactor = 9;

// The length of the next sleep: a slice when an interrupt must be asked
// between sleeps, else what is left until the deadline, else no limit
// (nullptr). False when the deadline has passed.
bool next_sleep(Interrupt* interrupt, const Deadline& deadline, timespec& ts, timespec*& limit) noexcept {
    limit = nullptr;
    std::chrono::nanoseconds len = std::chrono::nanoseconds::max();
    if (interrupt) len = kInterruptSlice;
    if (deadline) {
        const auto left = *deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) return false;
        len = std::min(len, std::chrono::duration_cast<std::chrono::nanoseconds>(left) + std::chrono::nanoseconds(1));
    }
    if (len != std::chrono::nanoseconds::max()) {
        ts.tv_sec = static_cast<time_t>(len.count() / 1'000'000'000);
        ts.tv_nsec = static_cast<long>(len.count() % 1'000'000'000);
        limit = &ts;
    }
    return true;
}

void futex_wait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* limit) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, limit, nullptr, 0);
}

// The global record list, and the calling thread's claim on one of them.
std::atomic<ReaderRecord*> g_records{nullptr};
// Initial-exec: a fixed offset from the thread pointer rather than a call per
// access; every announced read looks its record up.
thread_local constinit ReaderRecord* t_record __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local constinit bool t_record_gone __attribute__((tls_model("initial-exec"))) = false;

struct RecordOwner {
    ReaderRecord* record = nullptr;
    ~RecordOwner() {
        t_record = nullptr;
        t_record_gone = true;
        if (record) record->in_use.store(false, std::memory_order_release);
    }
};

}  // namespace

ReaderRecord* ReaderRecord::first() noexcept { return g_records.load(std::memory_order_acquire); }

ReaderRecord& ReaderRecord::mine() {
    if (ReaderRecord* r = t_record) [[likely]]
        return *r;
    ReaderRecord* r = nullptr;
    for (ReaderRecord* c = first(); c != nullptr && r == nullptr; c = c->next) {
        bool free = false;
        if (!c->in_use.load(std::memory_order_relaxed) &&
            c->in_use.compare_exchange_strong(free, true, std::memory_order_acquire, std::memory_order_relaxed))
            r = c;
    }
    if (r == nullptr) {
        r = new ReaderRecord;
        r->in_use.store(true, std::memory_order_relaxed);
        ReaderRecord* head = g_records.load(std::memory_order_relaxed);
        do {
            r->next = head;
        } while (!g_records.compare_exchange_weak(head, r, std::memory_order_release, std::memory_order_relaxed));
    }
    // A thread past its own teardown keeps the record it takes now for good.
    if (!t_record_gone) {
        thread_local RecordOwner owner;
        owner.record = r;
        t_record = r;
    }
    return *r;
}

// What a woken thread finds when it wakes up.
enum class Outcome : std::uint8_t {
    kRetry,  // compete again from scratch
    kOwned,  // the waker acquired on our behalf: shared ownership for a
             // reader, the writer claim for a writer (drain wait still to do)
};

struct RawRwLock::Waiter {
    Waiter(bool is_writer, bool is_recursive) noexcept : writer(is_writer), recursive(is_recursive) {}

    // Sleeps until unpark(). EINTR and spurious returns re-check the word, so
    // signals alone never end the wait. With an interrupt the sleep is cut
    // into slices and the interrupt asked after each (and after any early
    // return); false when it asks to stop, the node perhaps still queued.
    // A deadline that passes first also returns false.
    bool park(Interrupt* interrupt, const Deadline& deadline = std::nullopt) noexcept {
        while (asleep.load(std::memory_order_acquire) != 0) {
            timespec ts;
            timespec* limit;
            if (!next_sleep(interrupt, deadline, ts, limit)) return false;
            futex_wait(&asleep, 1u, limit);
            if (interrupt && asleep.load(std::memory_order_acquire) != 0 && interrupt->requested()) return false;
        }
        return true;
    }

    // Requires: `outcome` already written, queue_mutex_ released. Once the
    // store lands the sleeper may return and its frame be reused; the wake
    // only names the address, which at worst gives some later futex user of
    // that address a spurious wake-up, which every futex user tolerates.
    void unpark() noexcept {
        std::uint32_t* word = futex_word();
        asleep.store(0, std::memory_order_release);
        syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

    std::uint32_t* futex_word() noexcept { return reinterpret_cast<std::uint32_t*>(&asleep); }

    // Queue links: guarded by queue_mutex_.
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
    bool linked = false;  // in the queue (not the drain slot)
    // The waker's private list of threads to wake once the mutex is released.
    Waiter* wake_next = nullptr;
    const bool writer;
    const bool recursive;
    // Written by the waker before unpark(), read by the sleeper after park().
    Outcome outcome = Outcome::kRetry;
    std::atomic<std::uint32_t> asleep{1};
};

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit integer");

RawRwLock::RawRwLock() noexcept : RawRwLock(InitialReaders{0}) {}

RawRwLock::RawRwLock(InitialReaders initial) noexcept
    : state_((initial.count < kMaxReaders ? initial.count : kMaxReaders) << kReaderShift),
      fair_jitter_(reinterpret_cast<std::uintptr_t>(this) | 1) {}

RawRwLock::~RawRwLock() {
    // A sleeper always holds a reference to the lock it waits for.
    assert(head_ == nullptr && drainer_ == nullptr);
}

void RawRwLock::throw_reader_overflow() { throw std::overflow_error("RwLock reader count overflow"); }

std::int64_t RawRwLock::next_fair_interval_ns() noexcept {
    fair_jitter_ ^= fair_jitter_ << 13;
    fair_jitter_ ^= fair_jitter_ >> 7;
    fair_jitter_ ^= fair_jitter_ << 17;
    return kFairBaseNs + static_cast<std::int64_t>(fair_jitter_ % kFairJitterNs);
}

void RawRwLock::link(Waiter& w, Park where) noexcept {
    if (where == Park::kDrain) {
        assert(drainer_ == nullptr);
        drainer_ = &w;
        return;
    }
    w.linked = true;
    if (where == Park::kFront) {
        w.next = head_;
        (head_ ? head_->prev : tail_) = &w;
        head_ = &w;
    } else {
        w.prev = tail_;
        (tail_ ? tail_->next : head_) = &w;
        tail_ = &w;
    }
    if (w.recursive && !w.writer) ++queued_recursive_;
    queued_.fetch_add(1, std::memory_order_relaxed);
}

void RawRwLock::unlink(Waiter& w) noexcept {
    (w.prev ? w.prev->next : head_) = w.next;
    (w.next ? w.next->prev : tail_) = w.prev;
    w.prev = w.next = nullptr;
    w.linked = false;
    if (w.recursive && !w.writer) --queued_recursive_;
    queued_.fetch_sub(1, std::memory_order_relaxed);
}

template <class MustWait>
bool RawRwLock::park_if(Waiter& w, Park where, MustWait must_wait) {
    const std::uint64_t bit = where == Park::kDrain ? kWriterParked : kParked;
    std::lock_guard<std::mutex> guard(queue_mutex_);
    // The compare-and-swap pins the state we decided on: whatever could make
    // the wait unnecessary after it has to get past this bit, and so past
    // this mutex.
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    do {
        if (!must_wait(s)) return false;
    } while (!state_.compare_exchange_weak(s, s | bit, std::memory_order_relaxed, std::memory_order_relaxed));
    link(w, where);
    return true;
}

bool RawRwLock::withdraw(Waiter& w) noexcept {
    {
        std::lock_guard<std::mutex> guard(queue_mutex_);
        if (drainer_ == &w) {
            drainer_ = nullptr;
            state_.fetch_and(~kWriterParked, std::memory_order_relaxed);
            return true;
        }
        if (w.linked) {
            unlink(w);
            if (head_ == nullptr) state_.fetch_and(~kParked, std::memory_order_relaxed);
            return true;
        }
    }
    w.park(nullptr);
    return false;
}

bool RawRwLock::lock_shared_slow(bool recursive, Interrupt* interrupt, const Deadline& deadline) {
    for (;;) {
        Spinner spinner;
        for (;;) {
            std::uint64_t s = state_.load(std::memory_order_relaxed);
            if (shared_allowed(s, recursive)) {
                if (readers_of(s) == kMaxReaders) throw_reader_overflow();
                if (state_.compare_exchange_weak(s, s + kOneReader, std::memory_order_acquire,
                                                 std::memory_order_relaxed))
                    return true;
                continue;
            }
            // Once others sleep, spinning only delays joining them in order.
            if ((s & kParked) == 0 && spinner.spin()) continue;
            break;
        }
        Waiter self(/*is_writer=*/false, recursive);
        if (!park_if(self, Park::kBack, [recursive](std::uint64_t s) { return !shared_allowed(s, recursive); }))
            continue;
        if (!self.park(interrupt, deadline)) {
            // Taken out by a waker: that came with shared ownership.
            if (!withdraw(self)) unlock_shared();
            return false;
        }
        // Readers are always woken with shared ownership already counted.
        assert(self.outcome == Outcome::kOwned);
        if (self.outcome == Outcome::kOwned) return true;
    }
}

bool RawRwLock::lock_exclusive_slow(Interrupt* interrupt, const Deadline& deadline) {
    // Phase 1: claim kWriter. A writer that was woken but lost the claim to a
    // newcomer queues again at the front, where it was, so it is not pushed
    // behind threads that arrived after it.
    Park where = Park::kBack;
    for (;;) {
        Spinner spinner;
        bool claimed = false;
        for (;;) {
            std::uint64_t s = state_.load(std::memory_order_relaxed);
            if ((s & kWriter) == 0) {
                if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
                    claimed = true;
                    break;
                }
                continue;
            }
            if ((s & kParked) == 0 && spinner.spin()) continue;
            break;
        }
        if (claimed) break;
        Waiter self(/*is_writer=*/true, /*is_recursive=*/false);
        if (!park_if(self, where, [](std::uint64_t s) { return (s & kWriter) != 0; })) continue;
        if (!self.park(interrupt, deadline)) {
            if (withdraw(self)) return false;
            if (self.outcome == Outcome::kOwned || try_claim()) release_claim();
            return false;
        }
        if (self.outcome == Outcome::kOwned) break;  // the claim was handed to us
        where = Park::kFront;
    }

    // Phase 1b: kWriter is ours, perhaps with kBias still set; take the bias
    // back and wait for the announced readers.
    if (!revoke_bias(interrupt, deadline)) {
        release_claim();
        return false;
    }

    // Phase 2: kWriter is ours; wait until the readers inside have left. No
    // ordinary reader can enter any more, and recursive ones only while the
    // count is above 0, so once it reads 0 it stays 0.
    Spinner spinner;
    for (;;) {
        if (readers_of(state_.load(std::memory_order_acquire)) == 0) return true;
        if (spinner.spin()) continue;
        Waiter self(/*is_writer=*/true, /*is_recursive=*/false);
        if (!park_if(self, Park::kDrain, [](std::uint64_t s) { return readers_of(s) != 0; })) continue;
        if (!self.park(interrupt, deadline)) {
            withdraw(self);  // drained or not, the claim is still ours
            release_claim();
            return false;
        }
    }
}

bool RawRwLock::try_claim() noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    while ((s & kWriter) == 0) {
        if (state_.compare_exchange_weak(s, s | kWriter, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
    return false;
}

void RawRwLock::unlock_shared_slow() noexcept {
    Waiter* writer;
    {
        std::lock_guard<std::mutex> guard(queue_mutex_);
        // kWriterParked and drainer_ are set together under this mutex and
        // cleared together by the last reader, or by a drainer that withdrew
        // before that reader got here: then there is no one to wake (or a
        // later drainer, for which an early wake-up is harmless: it re-checks).
        writer = drainer_;
        drainer_ = nullptr;
        state_.fetch_and(~kWriterParked, std::memory_order_relaxed);
    }
    if (writer) writer->unpark();
}

void RawRwLock::unlock_exclusive_slow() noexcept { release_claim(); }

void RawRwLock::release_claim() noexcept {
    Waiter* wake_head = nullptr;
    Waiter** wake_tail = &wake_head;
    auto to_wake = [&wake_tail](Waiter* w, Outcome outcome) {
        w->outcome = outcome;
        *wake_tail = w;
        wake_tail = &w->wake_next;
    };
    {
        std::lock_guard<std::mutex> guard(queue_mutex_);
        // kWriter is ours, and nobody drains (the drainer would be us). Held
        // exclusively, no one else changes the word while we are here; a
        // claim given up by a withdrawing writer may still have readers
        // inside, who leave (and recursive ones enter) meanwhile, which is why
        // the word is updated by compare-and-swap below.
        assert((state_.load(std::memory_order_relaxed) & (kWriter | kWriterParked)) == kWriter);

        // Front of the queue up to and including the first writer. The
        // readers get shared ownership right away.
        std::uint64_t readers = 0;
        Waiter* writer = nullptr;
        while (head_ != nullptr && writer == nullptr) {
            Waiter* w = head_;
            unlink(*w);
            if (w->writer) {
                writer = w;
            } else {
                ++readers;
                to_wake(w, Outcome::kOwned);
            }
        }
        // Recursive readers further back may enter whatever happens next
        // (either kWriter is clear, or the claim goes to a writer that has
        // readers to wait for), so none stays asleep past this release.
        for (Waiter* w = head_; w != nullptr && queued_recursive_ != 0;) {
            Waiter* next = w->next;
            if (!w->writer && w->recursive) {
                unlink(*w);
                ++readers;
                to_wake(w, Outcome::kOwned);
            }
            w = next;
        }

        // The woken writer normally races new arrivals for the claim; a new
        // writer that slips in first saves a sleep/wake round trip. From time
        // to time the claim is handed over instead, so a queued writer cannot
        // lose that race forever.
        bool hand_over = false;
        if (writer != nullptr) {
            const std::int64_t now = now_ns();
            hand_over = now >= next_fair_ns_;
            if (hand_over) next_fair_ns_ = now + next_fair_interval_ns();
            to_wake(writer, hand_over ? Outcome::kOwned : Outcome::kRetry);
        }

        // kBias is kept: it is set here only when a writer gave up its
        // revocation, and then announced readers may still be inside, so
        // whoever claims next must revoke it again.
        std::uint64_t s = state_.load(std::memory_order_relaxed);
        std::uint64_t next_state;
        do {
            next_state = (s & (kReadersMask | kBias)) + (readers << kReaderShift);
            if (hand_over) next_state |= kWriter;
            if (head_ != nullptr) next_state |= kParked;
        } while (!state_.compare_exchange_weak(s, next_state, std::memory_order_release, std::memory_order_relaxed));
    }
    // Wake only after the mutex is released; read each link before waking
    // its owner, whose node dies with the wake.
    for (Waiter* w = wake_head; w != nullptr;) {
        Waiter* next = w->wake_next;
        w->unpark();
        w = next;
    }
}

}  // namespace vornic::lock

namespace vornic::lock {

bool RawRwLock::has_announced_readers() const noexcept {
    for (const ReaderRecord* r = ReaderRecord::first(); r != nullptr; r = r->next)
        for (const ReaderRecord::Entry& e : r->entries)
            if (e.load(std::memory_order_seq_cst) == this) return true;
    return false;
}

void RawRwLock::wake_revoker() noexcept {
    revoke_wakes_.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&revoke_wakes_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
            0);
}

void RawRwLock::enable_bias_if_quiet() noexcept {
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    if ((s & (kBias | kWriter)) != 0) return;
    if (now_ns() < bias_after_ns_.load(std::memory_order_relaxed)) return;
    // Only with no claim: a claiming writer may already have revoked, and a
    // bias set behind its back would let readers in unseen.
    while ((s & (kBias | kWriter)) == 0) {
        if (state_.compare_exchange_weak(s, s | kBias, std::memory_order_acq_rel, std::memory_order_relaxed)) return;
    }
}

bool RawRwLock::wait_for_announced_readers(Interrupt* interrupt, const Deadline& deadline) {
    revoking_.store(1, std::memory_order_seq_cst);
    bool done = true;
    for (ReaderRecord* r = ReaderRecord::first(); r != nullptr && done; r = r->next) {
        for (ReaderRecord::Entry& e : r->entries) {
            Spinner spinner;
            for (;;) {
                // Read the wake count before the entry: a reader that clears
                // the entry after this look bumps the count, so the sleep
                // below returns at once instead of missing it.
                const std::uint32_t wakes = revoke_wakes_.load(std::memory_order_acquire);
                if (e.load(std::memory_order_seq_cst) != this) break;
                if (spinner.spin()) continue;
                timespec ts;
                timespec* limit;
                if (!next_sleep(interrupt, deadline, ts, limit)) {
                    done = false;
                    break;
                }
                futex_wait(&revoke_wakes_, wakes, limit);
                if (interrupt && e.load(std::memory_order_seq_cst) == this && interrupt->requested()) {
                    done = false;
                    break;
                }
            }
            if (!done) break;
        }
    }
    revoking_.store(0, std::memory_order_relaxed);
    return done;
}

bool RawRwLock::revoke_bias(Interrupt* interrupt, const Deadline& deadline) {
    // Clear kBias and count a stand-in reader in one step. The stand-in lets
    // recursive readers (who may be the very announced readers waited for
    // below) pass the claim as counted readers while it lasts. At the reader
    // limit there is no room for it, but then readers are inside anyway.
    std::uint64_t s = state_.load(std::memory_order_relaxed);
    std::uint64_t stand_in;
    do {
        if ((s & kBias) == 0) return true;
        stand_in = readers_of(s) < kMaxReaders ? kOneReader : 0;
    } while (!state_.compare_exchange_weak(s, (s & ~kBias) + stand_in, std::memory_order_seq_cst,
                                           std::memory_order_relaxed));
    const std::int64_t start = now_ns();
    if (!wait_for_announced_readers(interrupt, deadline)) {
        // Announced readers may still be inside: the bias goes back, so the
        // next claim holder revokes again.
        s = state_.load(std::memory_order_relaxed);
        while (!state_.compare_exchange_weak(s, (s - stand_in) | kBias, std::memory_order_relaxed,
                                             std::memory_order_relaxed)) {
        }
        return false;
    }
    const std::int64_t end = now_ns();
    bias_after_ns_.store(end + kBiasPauseFactor * (end - start), std::memory_order_relaxed);
    // Never the last reader out with a drainer asleep: the drainer would be us.
    state_.fetch_sub(stand_in, std::memory_order_relaxed);
    return true;
}

bool RawRwLock::try_lock_exclusive_biased() noexcept {
    // A reader visibly inside fails the try without touching the bias.
    if (has_announced_readers()) return false;
    std::uint64_t s = kBias;
    if (!state_.compare_exchange_strong(s, kWriter + kOneReader, std::memory_order_seq_cst,
                                        std::memory_order_relaxed))
        return false;
    // kBias is gone (with a stand-in reader counted, as in revoke_bias): now
    // an announced reader is either seen here or backs out.
    if (has_announced_readers()) {
        s = state_.load(std::memory_order_relaxed);
        while (!state_.compare_exchange_weak(s, (s - kOneReader) | kBias, std::memory_order_relaxed,
                                             std::memory_order_relaxed)) {
        }
        release_claim();
        return false;
    }
    s = state_.fetch_sub(kOneReader, std::memory_order_acquire) - kOneReader;
    if (readers_of(s) == 0) return true;
    // Recursive readers came in under the stand-in: not idle after all.
    release_claim();
    return false;
}

}  // namespace vornic::lock
