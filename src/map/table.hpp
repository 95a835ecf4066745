// One shard's hash table: 64-bit hash value -> bucket of (key, value) pairs.
// Python-free: keys and values are opaque non-null pointers whose low bit is
// clear; what they point to and who owns it is the caller's business.
//
// Layout. Open addressing with linear probing over an array of 24-byte slots
// {table key, bucket}; the probe start is a keyed hash of the table key (see
// place(): groups of 4 neighbouring keys are placed together), so
// inputs chosen to collide (Python's int hash is the identity on small ints)
// do not pile up in one run. Capacity is a power of two, at most 3/4 full;
// deletion shifts later members of the run back (no tombstones), so lookups
// never slow down after churn.
//
// Buckets. Nearly every bucket holds one pair, so a bucket is the pair
// itself, stored inline in the slot. When a second key with the same hash
// value arrives, the pairs move to a separate block ("spill") and the slot's
// key field holds the tag kSpilled while its value field points at the block.
// Order within a bucket is insertion order, and removal keeps it.
//
// Order. for_each and take() visit slots in array order, which the keyed
// placement scrambles; only the order within a bucket is meaningful.
//
// Memory. A slot is 24 bytes, so a table between 3/8 and 3/4 full costs 32 to
// 64 bytes per single-pair bucket; a zero-filled Table is empty and owns no
// memory (the shard array is obtained zero-filled and never constructed).
//
// Errors. Operations that allocate throw std::bad_alloc on failure and then
// leave the table exactly as it was. Nothing else throws.
//
// Thread safety: the owning shard's lock serialises every change; readers
// without the lock use the seqlock below.
//
// Reading without the lock (peek). Every change runs between two increments
// of `version_` (odd while changing), and every word a lock-free reader may
// load - the slot array pointer, a slot's fields, a spill's size and pairs -
// is written with an atomic store. A reader loads the version, loads what it
// needs with atomic loads, and checks the version again: unchanged and even
// means what it read is one state the table really had. Memory the reader
// walks through is never freed under it: the slot array and spill blocks a
// change replaces go to Alloc::retire (when the policy has one), which must
// keep them until every reader that could have loaded them is done; the
// capacity of a slot array lives in its own header, so a reader never pairs
// one array with another's size. A reader dereferences a spill block only
// after validating the slot that pointed to it, and clamps the spill's size
// to the block's own capacity, so torn reads never run outside live memory.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "common/fences.hpp"

namespace vornic::map {

struct Pair {
    void* key;
    void* value;
};

namespace detail {
template <class T>
T load(const T& x, std::memory_order o = std::memory_order_relaxed) noexcept {
    return std::atomic_ref<T>(const_cast<T&>(x)).load(o);
}
template <class T>
void store(T& x, T v, std::memory_order o = std::memory_order_relaxed) noexcept {
    std::atomic_ref<T>(x).store(v, o);
}
}  // namespace detail

// Alloc: static void* allocate(std::size_t) noexcept (nullptr on failure)
//        static void deallocate(void*) noexcept
template <class Alloc>
class Table {
    // The block a bucket's pairs move to once it holds two or more.
    struct Spill {
        std::uint64_t size;
        std::uint64_t cap;
        Pair* pairs() noexcept { return reinterpret_cast<Pair*>(this + 1); }
    };
    static void* kSpilled() noexcept { return reinterpret_cast<void*>(std::uintptr_t{1}); }

    // Hands a replaced block to the policy's retire (lock-free readers may
    // still be in it), or frees it when the policy has no readers to wait for.
    static void retire_block(void* p) noexcept {
        if constexpr (requires { Alloc::retire(p); }) {
            Alloc::retire(p);
        } else {
            Alloc::deallocate(p);
        }
    }

public:
    static constexpr unsigned kGroupBits = 2;
    // The keyed hash that places a table key. Table keys are first divided
    // by the shard count (a shift: `shift` is its log2 when it is a power of
    // two, else 0), since every key of one shard shares the remainder. Then
    // runs of 4 consecutive quotients form a group: the group is placed by a
    // folded 64x64->128-bit multiply with per-table secrets in both operands
    // (and a second, unkeyed one to spread the bits the first left
    // correlated), and the quotient's low 2 bits pick the slot within the
    // group's 4. So keys chosen to collide (Python's int hash is the identity
    // on small ints) cannot pile up - at most 4 share a group - while keys
    // that arrive in order, as counters and ids do, land on neighbouring
    // slots (a group is 96 bytes), and an insert often finds its slot's line
    // already in cache. Why 4: a group is a clump of linear probing, and
    // clumps of g keys make the probe runs about g times longer (over a
    // table's growth an insert walked 21 occupied slots on average with
    // groups of 8, against 2.7 with single keys); 4 keeps most of the
    // locality for about half the walking.
    static std::uint64_t place(std::uint64_t h, std::uint64_t k0, std::uint64_t k1, std::uint64_t shift) noexcept {
        const std::uint64_t q = h >> (shift & 63);
        return (fold_mul(fold_mul((q >> kGroupBits) ^ k0, k1), 0x9e3779b97f4a7c15ULL) << kGroupBits) |
               (q & ((std::uint64_t{1} << kGroupBits) - 1));
    }

    struct Slot {
        std::uint64_t hash;  // the table key; meaningless while pair.key is null
        Pair pair;           // key null: empty slot; key kSpilled: value is a Spill*
    };

private:
    // Every slot array starts with its capacity, so a lock-free reader that
    // loaded one array pointer bounds its probe by that array's own size.
    struct alignas(16) ArrayHead {
        std::uint64_t cap;
        std::uint64_t unused;
    };
    static ArrayHead* head_of(Slot* slots) noexcept { return reinterpret_cast<ArrayHead*>(slots) - 1; }
    static Slot* slots_of(void* block) noexcept { return reinterpret_cast<Slot*>(static_cast<ArrayHead*>(block) + 1); }

public:

    // A bucket seen through its slot: pairs in insertion order.
    class BucketView {
    public:
        explicit BucketView(Slot* s) noexcept : s_(s) {}
        std::size_t size() const noexcept { return spilled() ? spill()->size : 1; }
        Pair* begin() const noexcept { return spilled() ? spill()->pairs() : &s_->pair; }
        Pair* end() const noexcept { return begin() + size(); }
        Pair& operator[](std::size_t i) const noexcept { return begin()[i]; }

    private:
        bool spilled() const noexcept { return s_->pair.key == kSpilled(); }
        Spill* spill() const noexcept { return static_cast<Spill*>(s_->pair.value); }
        Slot* s_;
    };

    // Contents taken out of a table (clear, destruction): the caller visits
    // the pairs, releases what they point to, and the memory goes with this.
    class Taken {
    public:
        Taken() noexcept = default;
        Taken(Slot* slots, std::uint64_t cap) noexcept : slots_(slots), cap_(cap) {}
        Taken(Taken&& o) noexcept : slots_(std::exchange(o.slots_, nullptr)), cap_(std::exchange(o.cap_, 0)) {}
        Taken& operator=(Taken&&) = delete;
        ~Taken() {
            for (std::uint64_t i = 0; i < cap_; ++i)
                if (slots_[i].pair.key == kSpilled()) Alloc::deallocate(slots_[i].pair.value);
            if (slots_) Alloc::deallocate(head_of(slots_));
        }
        // The whole contents as one pointer (nullptr when empty), for handing
        // to a deferred reclaimer that later adopt()s it.
        void* release() noexcept {
            cap_ = 0;
            Slot* s = std::exchange(slots_, nullptr);
            return s ? static_cast<void*>(head_of(s)) : nullptr;
        }
        static Taken adopt(void* block) noexcept {
            Slot* s = slots_of(block);
            return Taken(s, head_of(s)->cap);
        }
        template <class F>
        void for_each(F&& f) const {
            for (std::uint64_t i = 0; i < cap_; ++i)
                if (slots_[i].pair.key)
                    for (Pair& p : BucketView(&slots_[i])) f(p);
        }

    private:
        Slot* slots_ = nullptr;
        std::uint64_t cap_ = 0;
    };

    // ---- queries -----------------------------------------------------------

    std::uint64_t buckets() const noexcept { return used_; }
    std::uint64_t pairs() const noexcept { return pairs_; }
    // The pair count, readable without the owner's lock: every change to it
    // is a single atomic store made under the lock, so an unlocked reader sees
    // the count as it stood after some lock hold - what a reader holding the
    // lock would have seen at that instant.
    std::uint64_t pairs_unlocked() const noexcept {
        return std::atomic_ref<std::uint64_t>(const_cast<std::uint64_t&>(pairs_)).load(std::memory_order_relaxed);
    }
    std::uint64_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }
    // The slot holding h's bucket, or nullptr. Valid until the next change.
    Slot* find(std::uint64_t h) const noexcept {
        std::uint64_t hole;
        return find(h, hole);
    }

    // find(), which on a miss also gives the empty slot that ends h's run:
    // where insert() would put h's bucket unless the table grows first
    // (kNoHole when there is no array yet). Valid until the next change.
    static constexpr std::uint64_t kNoHole = ~std::uint64_t{0};
    Slot* find(std::uint64_t h, std::uint64_t& hole) const noexcept {
        hole = kNoHole;
        if (!slots_) return nullptr;
        for (std::uint64_t i = home(h);; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.pair.key) {
                hole = i;
                return nullptr;
            }
            if (s.hash == h) return &s;
        }
    }

    // Every bucket in table order: f(std::uint64_t hash, BucketView).
    template <class F>
    void for_each(F&& f) const {
        for (std::uint64_t i = 0; i < capacity(); ++i)
            if (slots_[i].pair.key) f(slots_[i].hash, BucketView(&slots_[i]));
    }

    // ---- lock-free reading -------------------------------------------------

    enum class Peek {
        Absent,  // no bucket for h in a consistent state
        Copied,  // the bucket's pairs, in order, from a consistent state
        TooBig,  // the bucket holds more pairs than the caller can take
        Torn,    // a change overlapped the read: try again
    };

    // A version to validate against; odd means a change is under way.
    std::uint32_t read_begin() const noexcept {
        return kTsan ? detail::load(version_, std::memory_order_seq_cst) : detail::load(version_, std::memory_order_acquire);
    }
    // Whether nothing changed since read_begin() returned v (even).
    bool read_valid(std::uint32_t v) const noexcept {
        acquire_fence();
        return (kTsan ? detail::load(version_, std::memory_order_seq_cst) : detail::load(version_)) == v;
    }

    // Copies h's bucket into out[0..n) without the lock; v is an even value
    // from read_begin(). Loads only words the protocol above allows, and
    // follows a pointer only after validating where it came from. The caller
    // keeps the retired memory alive while it peeks.
    Peek peek(std::uint32_t v, std::uint64_t h, Pair* out, std::size_t max, std::size_t& n) const noexcept {
        Slot* slots = detail::load(slots_, std::memory_order_acquire);
        if (!slots) return read_valid(v) ? Peek::Absent : Peek::Torn;
        const std::uint64_t mask = detail::load(head_of(slots)->cap) - 1;
        std::uint64_t i = place(h, detail::load(k0_), detail::load(k1_), detail::load(shift_)) & mask;
        for (std::uint64_t step = 0; step <= mask; ++step, i = (i + 1) & mask) {
            const Slot& s = slots[i];
            void* key = detail::load(s.pair.key);
            if (!key) break;
            if (detail::load(s.hash) != h) continue;
            void* value = detail::load(s.pair.value);
            if (!read_valid(v)) return Peek::Torn;
            if (key != kSpilled()) {
                out[0] = Pair{key, value};
                n = 1;
                return Peek::Copied;
            }
            Spill* sp = static_cast<Spill*>(value);
            const std::uint64_t size = std::min(detail::load(sp->size), detail::load(sp->cap));
            if (size > max) return read_valid(v) ? Peek::TooBig : Peek::Torn;
            const Pair* ps = sp->pairs();
            for (std::uint64_t j = 0; j < size; ++j) out[j] = Pair{detail::load(ps[j].key), detail::load(ps[j].value)};
            n = size;
            return read_valid(v) ? Peek::Copied : Peek::Torn;
        }
        return read_valid(v) ? Peek::Absent : Peek::Torn;
    }

    // Starts loading the line of the slot where h's bucket starts, before the
    // caller takes the lock (no lock needed: a stale guess only prefetches
    // the wrong line, and a prefetch never faults). In a large table that
    // line is a cache miss, which would otherwise be paid inside the hold,
    // making every other thread that wants the shard wait for it.
    void prefetch(std::uint64_t h) const noexcept {
        Slot* slots = detail::load(slots_);
        if (!slots) return;
        const std::uint64_t i =
            place(h, detail::load(k0_), detail::load(k1_), detail::load(shift_)) & detail::load(mask_);
        __builtin_prefetch(&slots[i], 1);
    }

    // ---- changes -----------------------------------------------------------

    // Replaces the value of pair i of s's bucket; returns the old one.
    void* set_value(Slot* s, std::size_t i, void* value) noexcept {
        Writing w(*this);
        Pair& p = BucketView(s)[i];
        void* old = p.value;
        detail::store(p.value, value);
        return old;
    }

    // The keys of the placing hash. Takes effect only while the table owns no
    // memory (placement must not change under existing members); callers set
    // it before every insert into a table that may be empty.
    void seed(std::uint64_t k0, std::uint64_t k1, std::uint32_t shift = 0) noexcept {
        if (!slots_) {
            detail::store(k0_, k0);
            detail::store(k1_, k1 | 1);  // an even multiplier would waste the low bit
            detail::store(shift_, shift);
        }
    }

    // Adds a bucket for h (which must have none) holding one pair.
    // Throws std::bad_alloc with the table unchanged.
    void insert(std::uint64_t h, Pair p) {
        Writing w(*this);
        if (!slots_ || (used_ + 1) * 4 > (mask_ + 1) * 3) grow();
        std::uint64_t i = home(h);
        while (slots_[i].pair.key) i = (i + 1) & mask_;
        fill(i, h, p);
    }

    // insert(), given the hole of a find(h, hole) with no change since: a
    // miss already walked h's run, and unless the table grows first the
    // bucket goes where that walk ended.
    void insert(std::uint64_t h, Pair p, std::uint64_t hole) {
        if (hole == kNoHole || (used_ + 1) * 4 > (mask_ + 1) * 3) return insert(h, p);
        Writing w(*this);
        fill(hole, h, p);
    }

    // Appends a pair to an existing bucket. Throws std::bad_alloc with the
    // table unchanged.
    void append(Slot* s, Pair p) {
        if (s->pair.key != kSpilled()) {
            Spill* sp = new_spill(2);
            sp->pairs()[0] = s->pair;
            sp->pairs()[1] = p;
            sp->size = 2;
            Writing w(*this);
            put_pair(s->pair, Pair{kSpilled(), sp});
        } else {
            Spill* sp = static_cast<Spill*>(s->pair.value);
            if (sp->size == sp->cap) {
                Spill* bigger = new_spill(sp->cap * 2);
                std::memcpy(static_cast<void*>(bigger->pairs()), sp->pairs(), sp->size * sizeof(Pair));
                bigger->size = sp->size;
                bigger->pairs()[bigger->size++] = p;
                Writing w(*this);
                detail::store(s->pair.value, static_cast<void*>(bigger));
                retire_block(sp);
            } else {
                Writing w(*this);
                put_pair(sp->pairs()[sp->size], p);
                detail::store(sp->size, sp->size + 1);
            }
        }
        set_pairs(pairs_ + 1);
    }

    // Removes pair i of s's bucket, keeping the others in order; removes the
    // bucket when it empties (s is then invalid). Returns the removed pair.
    Pair remove(Slot* s, std::size_t i) noexcept {
        Writing w(*this);
        set_pairs(pairs_ - 1);
        if (s->pair.key != kSpilled()) {
            const Pair out = s->pair;
            erase_slot(static_cast<std::uint64_t>(s - slots_));
            return out;
        }
        Spill* sp = static_cast<Spill*>(s->pair.value);
        Pair* ps = sp->pairs();
        const Pair out = ps[i];
        const std::uint64_t size = sp->size - 1;
        if (size == 1) {
            // Back to the inline form: a bucket that collided once should not
            // keep paying for a block.
            put_pair(s->pair, ps[1 - i]);
            retire_block(sp);
            return out;
        }
        for (std::uint64_t j = i; j < size; ++j) put_pair(ps[j], ps[j + 1]);
        detail::store(sp->size, size);
        return out;
    }

    // Empties the table; the caller releases the contents after unlocking.
    // Lock-free readers may still be in the returned memory: hand it to a
    // deferred reclaimer (Taken::release) when there are any.
    Taken take() noexcept {
        Writing w(*this);
        Taken t(slots_, capacity());
        detail::store(slots_, static_cast<Slot*>(nullptr), std::memory_order_release);
        detail::store(mask_, std::uint64_t{0});
        used_ = 0;
        set_pairs(0);
        return t;
    }

private:
    // One change, as the lock-free readers see it: the version is odd from
    // before the first store of the change until after the last.
    class Writing {
    public:
        explicit Writing(Table& t) noexcept : t_(t), v_(t.version_ + 1) {
            if constexpr (kTsan) {
                std::atomic_ref<std::uint32_t>(t_.version_).exchange(v_, std::memory_order_seq_cst);
            } else {
                detail::store(t_.version_, v_);
                release_fence();
            }
        }
        ~Writing() { detail::store(t_.version_, v_ + 1, std::memory_order_release); }
        Writing(const Writing&) = delete;
        Writing& operator=(const Writing&) = delete;

    private:
        Table& t_;
        std::uint32_t v_;
    };

    std::uint64_t home(std::uint64_t h) const noexcept { return place(h, k0_, k1_, shift_) & mask_; }

    // Puts a new one-pair bucket in empty slot i (inside a Writing).
    void fill(std::uint64_t i, std::uint64_t h, Pair p) noexcept {
        put_slot(slots_[i], Slot{h, p});
        ++used_;
        set_pairs(pairs_ + 1);
    }

    static void put_pair(Pair& to, Pair p) noexcept {
        detail::store(to.value, p.value);
        detail::store(to.key, p.key);
    }
    static void put_slot(Slot& to, const Slot& s) noexcept {
        detail::store(to.hash, s.hash);
        put_pair(to.pair, s.pair);
    }

    static std::uint64_t fold_mul(std::uint64_t a, std::uint64_t b) noexcept {
        const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
    }

    void set_pairs(std::uint64_t n) noexcept {
        std::atomic_ref<std::uint64_t>(pairs_).store(n, std::memory_order_relaxed);
    }

    static std::uint64_t spill_bytes(std::uint64_t cap) noexcept { return sizeof(Spill) + cap * sizeof(Pair); }

    static Spill* new_spill(std::uint64_t cap) {
        void* m = Alloc::allocate(spill_bytes(cap));
        if (!m) throw std::bad_alloc();
        Spill* sp = static_cast<Spill*>(m);
        sp->size = 0;
        sp->cap = cap;
        return sp;
    }

    void grow() {
        constexpr std::uint64_t kMinCapacity = 8;
        const std::uint64_t old_cap = capacity();
        const std::uint64_t cap = old_cap ? old_cap * 2 : kMinCapacity;
        if (cap > (std::uint64_t{1} << 58)) throw std::bad_alloc();
        void* m = Alloc::allocate(sizeof(ArrayHead) + cap * sizeof(Slot));
        if (!m) throw std::bad_alloc();
        std::memset(m, 0, sizeof(ArrayHead) + cap * sizeof(Slot));
        static_cast<ArrayHead*>(m)->cap = cap;
        Slot* fresh = slots_of(m);
        const std::uint64_t mask = cap - 1;
        for (std::uint64_t j = 0; j < old_cap; ++j) {
            if (!slots_[j].pair.key) continue;
            std::uint64_t i = place(slots_[j].hash, k0_, k1_, shift_) & mask;
            while (fresh[i].pair.key) i = (i + 1) & mask;
            fresh[i] = slots_[j];
        }
        Slot* old = slots_;
        detail::store(slots_, fresh, std::memory_order_release);
        detail::store(mask_, mask);
        if (old) retire_block(head_of(old));
    }

    // Backward-shift deletion: walk the run after the hole and move back each
    // member whose home position does not lie cyclically in (hole, member].
    void erase_slot(std::uint64_t hole) noexcept {
        for (std::uint64_t j = (hole + 1) & mask_;; j = (j + 1) & mask_) {
            Slot& s = slots_[j];
            if (!s.pair.key) break;
            const std::uint64_t home = this->home(s.hash);
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (!stays) {
                put_slot(slots_[hole], s);
                hole = j;
            }
        }
        detail::store(slots_[hole].pair.key, static_cast<void*>(nullptr));
        detail::store(slots_[hole].pair.value, static_cast<void*>(nullptr));
        --used_;
    }

    Slot* slots_ = nullptr;
    std::uint64_t mask_ = 0;
    std::uint64_t used_ = 0;   // buckets
    alignas(8) std::uint64_t pairs_ = 0;  // pairs over all buckets; written only by set_pairs
    std::uint64_t k0_ = 0;
    std::uint64_t k1_ = 0;
    std::uint32_t version_ = 0;  // odd while a change is under way (see Writing)
    std::uint32_t shift_ = 0;    // see place()
};

}  // namespace vornic::map
