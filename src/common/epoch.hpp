// Deferred reclamation for lock-free readers: memory blocks and object
// references that a reader may still be looking at are handed here instead of
// being freed, and are reclaimed once every reader that could have seen them
// has left its read section. Python-free: a retired thing is a function and a
// pointer; what reclaiming it means (free a block, drop a reference) is the
// caller's business.
//
// The scheme (a quiescent-state scheme with an explicit "inside" bit, i.e.
// epoch-based reclamation with one epoch counter per thread):
//
// * Every thread that reads or retires owns one Participant, registered on
//   first use in a process-wide list and reused after the thread exits. Its
//   `seq` word is odd while the thread is inside a read section and even
//   otherwise; only the owner writes it, and the Participant is padded to 128
//   bytes (two lines: adjacent-line prefetchers pull pairs), so entering and
//   leaving a section writes no cache line another thread writes.
//
// * Read section (ReadSection): seq += 1 (now odd), then a full fence (on
//   x86 the store is a locked exchange, which is one), then
//   the reader loads shared pointers; on leaving, a release store of seq + 1.
//   Sections nest through a thread-private depth count.
//
// * Writer: unlinks a thing (under whatever lock guards the structure), then
//   retire()s it into its own thread's bag. At a reclaim point (reclaim(),
//   called with no lock held and outside any read section) it issues a full
//   fence and reads every participant's seq: the bag is safe to reclaim once
//   each participant that was odd at that scan has moved on (its seq differs).
//   When nobody was inside, that is immediate - a single-threaded program sees
//   reclaimers run before reclaim() returns. Otherwise the bag, with the list
//   of (participant, seq) it waits for, goes to the shared pending list, which
//   every later reclaim() polls.
//
// Why that is safe. Let W unlink X, then fence F_w, then scan; let R enter
// with its odd store, fence F_r, then load a pointer. The two fences are
// ordered in the single total order of sequentially consistent operations.
// If F_w comes first, R's load after F_r sees the unlink (or something newer)
// and cannot reach X. If F_r comes first, W's scan after F_w sees R's odd seq,
// and X waits until R's seq changes, i.e. until R has left that section; the
// release store on leaving and the acquire load in the scan order every read
// R made before the reclaimer runs.
//
// Rules for users:
//   - a read section never blocks, never waits for another thread and runs
//     no code that could retire or reclaim (no Python code for the map);
//   - reserve() before taking the lock under which retire() is called, so that
//     retire() itself cannot fail once the structure has been changed;
//   - reclaim() runs the reclaimers on the calling thread, so call it only
//     where they may run (for Python references: attached, no lock held).
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/fences.hpp"

namespace vornic::epoch {

using Reclaimer = void (*)(void*) noexcept;

struct Retired {
    Reclaimer fn;
    void* p;
};

using vornic::kTsan;

struct alignas(128) Participant {
    std::atomic<std::uint64_t> seq{0};  // odd: inside a read section. Owner writes.
    std::atomic<bool> in_use{false};    // claimed by a live thread
    Participant* next = nullptr;        // registry link; set before publication
    // Owner-private.
    std::uint32_t depth = 0;
    std::vector<Retired> bag;
};

namespace detail {
// Initial-exec (a fixed offset from the thread pointer, not a call per
// access): every read section and every map write looks it up.
inline thread_local constinit Participant* tl_self __attribute__((tls_model("initial-exec"))) = nullptr;
Participant& register_self();
}  // namespace detail

// The calling thread's participant, registered on the thread's first call
// (which may throw std::bad_alloc); released for reuse when the thread ends.
inline Participant& self() {
    if (Participant* p = detail::tl_self) return *p;
    return detail::register_self();
}

// A read section: pointers loaded from shared structures while it is open
// stay valid (if they were reachable at the time of the load) until it closes.
class ReadSection {
public:
    ReadSection() : p_(self()) { enter(p_); }
    explicit ReadSection(Participant& p) noexcept : p_(p) { enter(p_); }
    ~ReadSection() { leave(p_); }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

    static void enter(Participant& p) noexcept {
        if (p.depth++ != 0) return;
        const std::uint64_t s = p.seq.load(std::memory_order_relaxed) + 1;
#if defined(__x86_64__) || defined(__i386__)
        // A locked exchange is a full barrier on x86 and costs less than the
        // fence instruction; the signal fence stops the compiler from moving
        // the section's loads above it.
        p.seq.exchange(s, std::memory_order_seq_cst);
        std::atomic_signal_fence(std::memory_order_seq_cst);
#else
        if constexpr (kTsan) {
            p.seq.exchange(s, std::memory_order_seq_cst);
        } else {
            p.seq.store(s, std::memory_order_relaxed);
            full_fence();
        }
#endif
    }
    static void leave(Participant& p) noexcept {
        if (--p.depth != 0) return;
        p.seq.store(p.seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }

private:
    Participant& p_;
};

namespace detail {
void grow_bag(Participant& p, std::size_t n);
}  // namespace detail

// Makes room for n more retire() calls on this thread. Throws std::bad_alloc.
// Inline: every map write calls it, and the bag nearly always has room.
inline void reserve(std::size_t n) {
    Participant& p = self();
    if (p.bag.capacity() - p.bag.size() < n) [[unlikely]]
        detail::grow_bag(p, n);
}

// Hands p to the calling thread's bag: fn(p) runs once no reader can still be
// looking at it. Requires a reserve() that covers this call.
inline void retire(Reclaimer fn, void* p) noexcept { self().bag.push_back(Retired{fn, p}); }

namespace detail {
// The number of items on the pending list (bags sealed with readers to
// outwait), readable without its lock.
extern constinit std::atomic<std::size_t> pending_items;
}  // namespace detail

// Whether reclaim() has anything to look at: this thread's bag, or the
// pending list. Reads only; inline, since every map write asks.
inline bool has_work() noexcept {
    const Participant* p = detail::tl_self;
    return (p && !p->bag.empty()) || detail::pending_items.load(std::memory_order_relaxed) != 0;
}

// Runs the reclaimers that are safe now (see above). Requires: not inside a
// read section, no lock held that a reclaimer might take. Reentrant: a
// reclaimer may retire and reclaim.
void reclaim() noexcept;

// Runs this thread's bag at once, without looking at readers: for callers
// that know no read section is ever opened (a build where a global lock
// serialises every reader with every writer).
void reclaim_own() noexcept;

// Number of retired things not yet reclaimed (this thread's bag and the
// pending list); for tests.
std::size_t outstanding() noexcept;

}  // namespace vornic::epoch
