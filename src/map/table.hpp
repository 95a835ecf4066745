// One shard's hash table: 64-bit hash value -> bucket of (key, value) pairs.
// Python-free: keys and values are opaque non-null pointers whose low bit is
// clear; what they point to and who owns it is the caller's business.
//
// Layout. Open addressing with linear probing over an array of 24-byte slots
// {table key, bucket}; the probe start is a keyed hash of the table key, so
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
// Thread safety: the owning shard's lock guards every member; only
// pairs_unlocked() may be called without it.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

namespace vornic::map {

struct Pair {
    void* key;
    void* value;
};

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

public:
    // The keyed hash that places a table key. A folded 64x64->128-bit multiply
    // with per-table secrets in both operands, then a second, unkeyed one to
    // spread the bits the first left correlated.
    static std::uint64_t place(std::uint64_t h, std::uint64_t k0, std::uint64_t k1) noexcept {
        return fold_mul(fold_mul(h ^ k0, k1), 0x9e3779b97f4a7c15ULL);
    }

    struct Slot {
        std::uint64_t hash;  // the table key; meaningless while pair.key is null
        Pair pair;           // key null: empty slot; key kSpilled: value is a Spill*
    };

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
            if (slots_) Alloc::deallocate(slots_);
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
        if (!slots_) return nullptr;
        for (std::uint64_t i = place(h, k0_, k1_) & mask_;; i = (i + 1) & mask_) {
            Slot& s = slots_[i];
            if (!s.pair.key) return nullptr;
            if (s.hash == h) return &s;
        }
    }

    // Every bucket in table order: f(std::uint64_t hash, BucketView).
    template <class F>
    void for_each(F&& f) const {
        for (std::uint64_t i = 0; i < capacity(); ++i)
            if (slots_[i].pair.key) f(slots_[i].hash, BucketView(&slots_[i]));
    }

    // ---- changes -----------------------------------------------------------

    // The keys of the placing hash. Takes effect only while the table owns no
    // memory (placement must not change under existing members); callers set
    // it before every insert into a table that may be empty.
    void seed(std::uint64_t k0, std::uint64_t k1) noexcept {
        if (!slots_) {
            k0_ = k0;
            k1_ = k1 | 1;  // an even multiplier would waste the low bit
        }
    }

    // Adds a bucket for h (which must have none) holding one pair.
    // Throws std::bad_alloc with the table unchanged.
    void insert(std::uint64_t h, Pair p) {
        if (!slots_ || (used_ + 1) * 4 > (mask_ + 1) * 3) grow();
        std::uint64_t i = place(h, k0_, k1_) & mask_;
        while (slots_[i].pair.key) i = (i + 1) & mask_;
        slots_[i] = Slot{h, p};
        ++used_;
        set_pairs(pairs_ + 1);
    }

    // Appends a pair to an existing bucket. Throws std::bad_alloc with the
    // table unchanged.
    void append(Slot* s, Pair p) {
        if (s->pair.key != kSpilled()) {
            Spill* sp = new_spill(2);
            sp->pairs()[0] = s->pair;
            sp->pairs()[1] = p;
            sp->size = 2;
            s->pair = Pair{kSpilled(), sp};
        } else {
            Spill* sp = static_cast<Spill*>(s->pair.value);
            if (sp->size == sp->cap) {
                Spill* bigger = new_spill(sp->cap * 2);
                std::memcpy(static_cast<void*>(bigger->pairs()), sp->pairs(), sp->size * sizeof(Pair));
                bigger->size = sp->size;
                Alloc::deallocate(sp);
                sp = bigger;
                s->pair.value = sp;
            }
            sp->pairs()[sp->size++] = p;
        }
        set_pairs(pairs_ + 1);
    }

    // Removes pair i of s's bucket, keeping the others in order; removes the
    // bucket when it empties (s is then invalid). Returns the removed pair.
    Pair remove(Slot* s, std::size_t i) noexcept {
        set_pairs(pairs_ - 1);
        if (s->pair.key != kSpilled()) {
            const Pair out = s->pair;
            erase_slot(static_cast<std::uint64_t>(s - slots_));
            return out;
        }
        Spill* sp = static_cast<Spill*>(s->pair.value);
        Pair* ps = sp->pairs();
        const Pair out = ps[i];
        std::memmove(static_cast<void*>(ps + i), ps + i + 1, (sp->size - i - 1) * sizeof(Pair));
        if (--sp->size == 1) {
            // Back to the inline form: a bucket that collided once should not
            // keep paying for a block.
            s->pair = ps[0];
            Alloc::deallocate(sp);
        }
        return out;
    }

    // Empties the table; the caller releases the contents after unlocking.
    Taken take() noexcept {
        Taken t(slots_, capacity());
        slots_ = nullptr;
        mask_ = used_ = 0;
        set_pairs(0);
        return t;
    }

private:
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
        void* m = Alloc::allocate(cap * sizeof(Slot));
        if (!m) throw std::bad_alloc();
        std::memset(m, 0, cap * sizeof(Slot));
        Slot* fresh = static_cast<Slot*>(m);
        const std::uint64_t mask = cap - 1;
        for (std::uint64_t j = 0; j < old_cap; ++j) {
            if (!slots_[j].pair.key) continue;
            std::uint64_t i = place(slots_[j].hash, k0_, k1_) & mask;
            while (fresh[i].pair.key) i = (i + 1) & mask;
            fresh[i] = slots_[j];
        }
        if (slots_) Alloc::deallocate(slots_);
        slots_ = fresh;
        mask_ = mask;
    }

    // Backward-shift deletion: walk the run after the hole and move back each
    // member whose home position does not lie cyclically in (hole, member].
    void erase_slot(std::uint64_t hole) noexcept {
        for (std::uint64_t j = (hole + 1) & mask_;; j = (j + 1) & mask_) {
            Slot& s = slots_[j];
            if (!s.pair.key) break;
            const std::uint64_t home = place(s.hash, k0_, k1_) & mask_;
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (!stays) {
                slots_[hole] = s;
                hole = j;
            }
        }
        slots_[hole].pair = Pair{nullptr, nullptr};
        --used_;
    }

    Slot* slots_ = nullptr;
    std::uint64_t mask_ = 0;
    std::uint64_t used_ = 0;   // buckets
    alignas(8) std::uint64_t pairs_ = 0;  // pairs over all buckets; written only by set_pairs
    std::uint64_t k0_ = 0;
    std::uint64_t k1_ = 0;
};

}  // namespace vornic::map
