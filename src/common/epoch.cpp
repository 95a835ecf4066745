// Deferred reclamation: registry, scans and the pending list. Scheme and
// proof: epoch.hpp.
//
// Leaf lock: `mutex` guards the pending list only; it is held to append a bag
// or to take the ready ones out, never while a reclaimer runs.
#include "common/epoch.hpp"

#include <algorithm>
#include <mutex>
#include <new>
#include <utility>

namespace vornic::epoch {

constinit std::atomic<std::size_t> detail::pending_items{0};

namespace {

struct Wait {
    const Participant* p;
    std::uint64_t seq;  // the odd value p showed at the scan
};

struct Sealed {
    std::vector<Retired> items;
    std::vector<Wait> waits;
};

// Process-wide, and never destroyed: threads may still end (and release their
// participant) while static destructors run at exit. Constant-initialised,
// so reaching it costs no guard check.
struct Registry {
    std::atomic<Participant*> head{nullptr};
    std::mutex mutex;
    std::vector<Sealed> pending;  // guarded by mutex; its item total is detail::pending_items
};

union NeverDestroyed {
    Registry r;
    constexpr NeverDestroyed() : r() {}
    ~NeverDestroyed() {}
};
constinit NeverDestroyed g_registry;

Registry& registry() { return g_registry.r; }

bool moved_on(const Wait& w) noexcept { return w.p->seq.load(std::memory_order_acquire) != w.seq; }

void run(std::vector<Retired>& items) noexcept {
    for (const Retired& r : items) r.fn(r.p);
    items.clear();
}

// Full fence, then the participants (other than me) now inside a section.
std::vector<Wait> scan(const Participant* me) {
    full_fence();
    std::vector<Wait> waits;
    for (Participant* p = registry().head.load(std::memory_order_acquire); p; p = p->next) {
        if (p == me) continue;
        const std::uint64_t s = kTsan ? p->seq.load(std::memory_order_seq_cst) : p->seq.load(std::memory_order_acquire);
        if (s & 1) waits.push_back(Wait{p, s});
    }
    return waits;
}

// Moves `bag` to the pending list with what it waits for. Returns false (bag
// untouched) when memory runs out; the caller keeps the items for a later try.
bool seal(std::vector<Retired>& bag, std::vector<Wait>&& waits) noexcept {
    Registry& r = registry();
    try {
        std::lock_guard<std::mutex> g(r.mutex);
        r.pending.push_back(Sealed{std::move(bag), std::move(waits)});
        detail::pending_items.fetch_add(r.pending.back().items.size(), std::memory_order_relaxed);
    } catch (...) {
        return false;
    }
    bag = {};
    return true;
}

void poll_pending() noexcept {
    Registry& r = registry();
    std::vector<Sealed> ready;
    try {
        std::lock_guard<std::mutex> g(r.mutex);
        std::size_t keep = 0;
        for (std::size_t i = 0; i < r.pending.size(); ++i) {
            Sealed& s = r.pending[i];
            bool done = true;
            for (const Wait& w : s.waits) done = done && moved_on(w);
            if (done) {
                detail::pending_items.fetch_sub(s.items.size(), std::memory_order_relaxed);
                ready.push_back(std::move(s));
            } else {
                if (keep != i) r.pending[keep] = std::move(s);
                ++keep;
            }
        }
        r.pending.resize(keep);
    } catch (...) {
        return;  // out of memory: a later poll retries
    }
    for (Sealed& s : ready) run(s.items);
}

// Ends a thread's registration: whatever the thread retired and never
// reclaimed is sealed (it must not run reclaimers here: for Python references
// the thread is no longer attached), and the participant is free for reuse.
struct Registration {
    Participant* p = nullptr;
    ~Registration() {
        if (!p) return;
        if (!p->bag.empty()) {
            std::vector<Wait> waits;
            try {
                waits = scan(p);
            } catch (...) {
            }
            seal(p->bag, std::move(waits));
        }
        p->bag = {};
        detail::tl_self = nullptr;
        p->in_use.store(false, std::memory_order_release);
    }
};

thread_local Registration tl_registration;

}  // namespace

Participant& detail::register_self() {
    Registry& r = registry();
    Participant* mine = nullptr;
    for (Participant* p = r.head.load(std::memory_order_acquire); p && !mine; p = p->next) {
        bool expected = false;
        if (!p->in_use.load(std::memory_order_relaxed) &&
            p->in_use.compare_exchange_strong(expected, true, std::memory_order_acquire))
            mine = p;
    }
    if (!mine) {
        mine = new Participant();  // aligned new: alignas(128)
        mine->in_use.store(true, std::memory_order_relaxed);
        Participant* head = r.head.load(std::memory_order_relaxed);
        do {
            mine->next = head;
        } while (!r.head.compare_exchange_weak(head, mine, std::memory_order_release, std::memory_order_relaxed));
    }
    tl_registration.p = mine;
    tl_self = mine;
    return *mine;
}

void detail::grow_bag(Participant& p, std::size_t n) { p.bag.reserve(p.bag.size() + std::max<std::size_t>(n, 16)); }

// Runs my non-empty bag at once.
inline void run_own(Participant& self) noexcept {
    Participant* me = &self;
    // The bag is emptied before anything in it runs: reclaimers may retire
    // and reclaim. One write's worth (a replaced value; a removed key and
    // value; those and a block) is taken out by copy, which leaves the bag
    // and its capacity where they are.
    if (const std::size_t n = me->bag.size(); n <= 3) {
        const Retired a = me->bag[0];
        const Retired b = n > 1 ? me->bag[1] : Retired{};
        const Retired c = n > 2 ? me->bag[2] : Retired{};
        me->bag.clear();
        a.fn(a.p);
        if (n > 1) b.fn(b.p);
        if (n > 2) c.fn(c.p);
        return;
    }
    std::vector<Retired> bag = std::move(me->bag);
    me->bag = {};
    run(bag);
    if (me->bag.capacity() == 0) me->bag = std::move(bag);
}

// Full fence, then whether any participant other than me is inside a section:
// scan() without building the list, for the common case where none is.
static bool anyone_inside(const Participant* me) noexcept {
    full_fence();
    for (Participant* p = registry().head.load(std::memory_order_acquire); p; p = p->next) {
        if (p == me) continue;
        const std::uint64_t s = kTsan ? p->seq.load(std::memory_order_seq_cst) : p->seq.load(std::memory_order_acquire);
        if (s & 1) return true;
    }
    return false;
}

void reclaim() noexcept {
    Participant* me = detail::tl_self;
    if (me && !me->bag.empty()) {
        if (!anyone_inside(me)) {
            run_own(*me);
        } else {
            std::vector<Wait> waits;
            bool scanned = true;
            try {
                waits = scan(me);  // again: readers may have left meanwhile
            } catch (...) {
                scanned = false;  // keep the bag; a later reclaim retries
            }
            if (scanned) {
                // Take the bag out first: reclaimers may retire into a new one.
                std::vector<Retired> bag = std::move(me->bag);
                me->bag = {};
                if (waits.empty()) {
                    run(bag);
                    if (me->bag.capacity() == 0) me->bag = std::move(bag);  // keep the capacity
                } else if (!seal(bag, std::move(waits))) {
                    me->bag = std::move(bag);  // nothing ran since it was taken out
                }
            }
        }
    }
    if (detail::pending_items.load(std::memory_order_relaxed) != 0) poll_pending();
}

void reclaim_own() noexcept {
    if (Participant* me = detail::tl_self; me && !me->bag.empty()) run_own(*me);
}

std::size_t outstanding() noexcept {
    const Participant* p = detail::tl_self;
    return (p ? p->bag.size() : 0) + detail::pending_items.load(std::memory_order_relaxed);
}

}  // namespace vornic::epoch
