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

// Full fence, then f(p, seq) for each participant other than me that is
// inside a section now, until f returns false.
template <class F>
void for_each_inside(const Participant* me, F&& f) {
    full_fence();
    for (Participant* p = registry().head.load(std::memory_order_acquire); p; p = p->next) {
        if (p == me) continue;
        const std::uint64_t s = kTsan ? p->seq.load(std::memory_order_seq_cst) : p->seq.load(std::memory_order_acquire);
        if ((s & 1) && !f(p, s)) return;
    }
}

// The participants (other than me) now inside a section.
std::vector<Wait> scan(const Participant* me) {
    std::vector<Wait> waits;
    for_each_inside(me, [&](const Participant* p, std::uint64_t s) {
        waits.push_back(Wait{p, s});
        return true;
    });
    return waits;
}

// Whether any participant other than me is inside a section now: scan()
// without building the list, for the common case where none is.
bool anyone_inside(const Participant* me) noexcept {
    bool found = false;
    for_each_inside(me, [&](const Participant*, std::uint64_t) { return !(found = true); });
    return found;
}

// Runs my non-empty bag at once. The bag is emptied before anything in it
// runs: reclaimers may retire and reclaim. One write's worth (a replaced
// value; a removed key and value; those and a block) is taken out by copy,
// which leaves the bag and its capacity where they are.
void run_own(Participant& me) noexcept {
    if (const std::size_t n = me.bag.size(); n <= 3) {
        const Retired a = me.bag[0];
        const Retired b = n > 1 ? me.bag[1] : Retired{};
        const Retired c = n > 2 ? me.bag[2] : Retired{};
        me.bag.clear();
        a.fn(a.p);
        if (n > 1) b.fn(b.p);
        if (n > 2) c.fn(c.p);
        return;
    }
    std::vector<Retired> bag = std::move(me.bag);
    me.bag = {};
    run(bag);
    if (me.bag.capacity() == 0) me.bag = std::move(bag);  // keep the capacity
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

void reclaim() noexcept {
    Participant* me = detail::tl_self;
    if (me && !me->bag.empty()) {
        std::vector<Wait> waits;
        bool scanned = true;
        try {
            if (anyone_inside(me)) waits = scan(me);  // again: some may have left
        } catch (...) {
            scanned = false;  // keep the bag; a later reclaim retries
        }
        if (scanned && waits.empty()) {
            run_own(*me);
        } else if (scanned) {
            seal(me->bag, std::move(waits));  // on failure the bag stays for a later try
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
