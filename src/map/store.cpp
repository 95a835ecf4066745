// The protocols of the shard store. Lock rule and rationale: store.hpp.
//
// Shape shared by every function below: owning holders (Ref, SmallVec of
// Refs, Compared) are declared before the block that holds a shard lock, and
// the lock guard inside the block, so that on every path - including a
// std::bad_alloc thrown under the lock - the lock is released before any
// holder releases a reference. Inside a locked block, references are moved
// around as raw pointers and only ever incremented.
#include "map/store.hpp"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <utility>
#include <vector>

#include "binding/errors.hpp"
#include "common/epoch.hpp"
#include "map/shard_lock.hpp"

namespace vornic::map {
namespace {

using Slot = ShardTable::Slot;
using BucketView = ShardTable::BucketView;

class Locked {
public:
    explicit Locked(Shard& s) noexcept : s_(s) { ShardLock::lock(s_.lock); }
    ~Locked() { ShardLock::unlock(s_.lock); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Shard& s_;
};

PyObject* obj(void* p) noexcept { return static_cast<PyObject*>(p); }

// Requires: attached (under a shard lock is fine: it only increments).
Ref copy(void* p) noexcept { return Ref::borrow(obj(p)); }

// A vector whose first N elements live inline: almost every bucket holds one
// pair, so copying a bucket should not cost a heap allocation. The inline
// elements are constructed only as they are pushed: a lookup declares one of
// these on every call, and zero-filling the whole inline array each time was
// a measurable share of a lookup's cost.
template <class T, std::size_t N>
class SmallVec {
public:
    SmallVec() noexcept {}
    ~SmallVec() { clear(); }
    SmallVec(const SmallVec&) = delete;
    SmallVec& operator=(const SmallVec&) = delete;

    // Makes room for n elements in all; may throw std::bad_alloc.
    void reserve(std::size_t n) {
        if (n > N && n - N > tail_.capacity()) tail_.reserve(std::max(n - N, 2 * tail_.capacity()));
    }
    // Never throws once reserve(size() + 1) succeeded.
    void push_back(T&& v) {
        if (n_ < N) {
            new (static_cast<void*>(head() + n_)) T(std::move(v));
        } else {
            tail_.push_back(std::move(v));
        }
        ++n_;
    }
    std::size_t size() const noexcept { return n_; }
    // Releases the elements: never under a shard lock.
    void clear() noexcept {
        for (std::size_t i = 0; i < n_ && i < N; ++i) head()[i].~T();
        tail_.clear();
        n_ = 0;
    }
    T& operator[](std::size_t i) noexcept { return i < N ? head()[i] : tail_[i - N]; }
    const T& operator[](std::size_t i) const noexcept { return i < N ? head()[i] : tail_[i - N]; }

private:
    T* head() noexcept { return std::launder(reinterpret_cast<T*>(buf_)); }
    const T* head() const noexcept { return std::launder(reinterpret_cast<const T*>(buf_)); }

    alignas(T) unsigned char buf_[N * sizeof(T)];
    std::vector<T> tail_;
    std::size_t n_ = 0;
};

struct OwnedPair {
    Ref key;
    Ref value;
};

// The keys one operation has compared with the caller's key. It owns a
// reference to each, so no compared key can be freed and its address reused
// by a new key while the operation runs; membership is by identity.
class Compared {
public:
    // Safe under a shard lock: no allocation, no Python.
    bool contains(void* k) const noexcept {
        if (index_) return index_->count(k) != 0;
        for (std::size_t i = 0; i < keys_.size(); ++i)
            if (keys_[i].get() == k) return true;
        return false;
    }
    // Requires: no shard lock held (may allocate and, on failure, release).
    void add(Ref k) {
        void* p = k.get();
        keys_.reserve(keys_.size() + 1);
        keys_.push_back(std::move(k));
        if (index_) {
            index_->insert(p);
        } else if (keys_.size() > kLinear) {
            // Many keys with one hash value (an adversary, or a poor __hash__):
            // keep membership tests O(1) so a pass stays linear in the bucket.
            auto idx = std::make_unique<std::unordered_set<void*>>();
            for (std::size_t i = 0; i < keys_.size(); ++i) idx->insert(keys_[i].get());
            index_ = std::move(idx);
        }
    }

private:
    static constexpr std::size_t kLinear = 16;
    SmallVec<Ref, 4> keys_;
    std::unique_ptr<std::unordered_set<void*>> index_;
};

constexpr std::size_t kAbsent = ~std::size_t{0};

// The position of the pair whose key is k (identity), or kAbsent.
std::size_t index_of(BucketView b, void* k) noexcept {
    for (std::size_t i = 0; i < b.size(); ++i)
        if (b[i].key == k) return i;
    return kAbsent;
}

// ---- deferred releases ---------------------------------------------------------
//
// What a change removes from a table may still be in use by a lock-free
// reader (store.hpp), so the table's references are not released under the
// lock and then after it, as before, but retired; settle() at the end of the
// operation releases whatever is due - at once when no reader is inside a
// read section.

void drop_ref(void* p) noexcept { Py_DECREF(obj(p)); }

void drop_table(void* block) noexcept {
    ShardTable::Taken t = ShardTable::Taken::adopt(block);
    t.for_each([](Pair& p) {
        Py_DECREF(obj(p.key));
        Py_DECREF(obj(p.value));
    });
}

// The most one operation retires: a replaced block and a pair's two references.
constexpr std::size_t kRetirePerOp = 3;

// Under the lock, covered by an epoch::reserve(kRetirePerOp) made before it.
void retire_ref(void* p) noexcept { epoch::retire(&drop_ref, p); }

// Requires: attached, no shard lock held, not in a read section. Runs the
// releases that are due (finalizers may run here and use this map).
void settle() noexcept {
#ifdef Py_GIL_DISABLED
    if (epoch::has_work()) epoch::reclaim();
#else
    // With the GIL no read section is ever opened (see peek): what was
    // retired can go at once, without the fence and scan of reclaim().
    epoch::reclaim_own();
#endif
}

// Under the lock: stores value in pair i of s's bucket and retires the value
// it replaces.
void replace_value(ShardTable& table, Slot* s, std::size_t i, PyObject* value) noexcept {
    Py_INCREF(value);
    retire_ref(table.set_value(s, i, value));
}

// Under the lock: a pair just removed from the table. Its key and the
// table's reference to its value are retired; returns a new reference to the
// value for the caller.
PyObject* take_removed(Pair p) noexcept {
    Py_INCREF(obj(p.value));
    retire_ref(p.key);
    retire_ref(p.value);
    return obj(p.value);
}

// Requires: attached, no shard lock held. Whether stored == probe: the stored
// key is the left operand, and the result's truth value decides. Throws
// PythonError if the comparison or the truth test raises.
bool keys_equal(PyObject* stored, PyObject* probe) {
    PyObject* r = PyObject_RichCompare(stored, probe, Py_EQ);
    if (!r) throw PythonError{};
    int truth;
    if (r == Py_True) {
        truth = 1;
    } else if (r == Py_False) {
        truth = 0;
    } else {
        truth = PyObject_IsTrue(r);
    }
    Py_DECREF(r);
    if (truth < 0) throw PythonError{};
    return truth != 0;
}

// Under the lock: copies the keys (or pairs) of b that c does not hold yet,
// in bucket order. Returns whether there were any; none means this operation
// has compared every key now in the bucket.
bool copy_uncompared(BucketView b, const Compared& c, SmallVec<Ref, 4>& out) {
    out.reserve(b.size());
    const std::size_t before = out.size();
    for (const Pair& p : b)
        if (!c.contains(p.key)) out.push_back(copy(p.key));
    return out.size() != before;
}

bool copy_uncompared(BucketView b, const Compared& c, SmallVec<OwnedPair, 4>& out) {
    out.reserve(b.size());
    const std::size_t before = out.size();
    for (const Pair& p : b)
        if (!c.contains(p.key)) out.push_back(OwnedPair{copy(p.key), copy(p.value)});
    return out.size() != before;
}

// Compares candidates with key in order. Returns a reference to the first
// equal one, or an empty Ref; the unequal ones go into c. The equal key is
// deliberately not added to c: c holds only keys known to differ from key,
// and an equal key that leaves the bucket and comes back before the commit
// must be compared again, not skipped as "compared" (that would store key a
// second time). Empties cands either way: those after an equal one are
// dropped uncompared.
Ref first_equal(SmallVec<Ref, 4>& cands, PyObject* key, Compared& c) {
    Ref found;
    for (std::size_t i = 0; i < cands.size() && !found; ++i) {
        if (keys_equal(cands[i].get(), key)) {
            found = std::move(cands[i]);
        } else {
            c.add(std::move(cands[i]));
        }
    }
    cands.clear();
    return found;
}

// After unlocking: the result of a removal that took out `value` (a new
// reference, or nullptr for none).
Store::Found removed(PyObject* value) noexcept {
    settle();
    return value ? Store::Found{true, Ref::steal(value)} : Store::Found{};
}

// ---- lock-free lookup (protocol: store.hpp) ---------------------------------------

// Buckets are copied onto the stack; a bigger one (many keys with one hash
// value) is read under the lock.
constexpr std::size_t kPeekPairs = 8;
// Overlapping changes tolerated before falling back to the lock.
constexpr int kPeekTries = 4;

bool native_type(PyTypeObject* t) noexcept {
    return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyBytes_Type || t == &PyFloat_Type;
}

// Requires: stored and probe of the same type, native_type(). The answer of
// that type's __eq__, computed without running Python code, raising, or
// taking a reference. Identity proves equality for these types except float
// (NaN); lookups keep no identity rule of their own.
// Inline: the one-pair lookup's identity test then costs no call.
[[gnu::always_inline]] inline bool native_equal(PyObject* stored, PyObject* probe) noexcept {
    PyTypeObject* t = Py_TYPE(probe);
    if (t == &PyFloat_Type) return PyFloat_AS_DOUBLE(stored) == PyFloat_AS_DOUBLE(probe);
    if (stored == probe) return true;
    if (t == &PyUnicode_Type) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(stored);
        const int kind = PyUnicode_KIND(stored);
        return n == PyUnicode_GET_LENGTH(probe) && kind == static_cast<int>(PyUnicode_KIND(probe)) &&
               std::memcmp(PyUnicode_DATA(stored), PyUnicode_DATA(probe), static_cast<std::size_t>(n) * kind) == 0;
    }
    if (t == &PyBytes_Type) {
        const Py_ssize_t n = PyBytes_GET_SIZE(stored);
        return n == PyBytes_GET_SIZE(probe) &&
               std::memcmp(PyBytes_AS_STRING(stored), PyBytes_AS_STRING(probe), static_cast<std::size_t>(n)) == 0;
    }
    // int: its comparison returns one of the immortal booleans.
    PyObject* r = PyLong_Type.tp_richcompare(stored, probe, Py_EQ);
    const bool eq = r == Py_True;
    Py_XDECREF(r);
    return eq;
}

enum class Peeked { Hit, Miss, Copied };

// Decides a lookup over a consistent copy of the bucket, ps[0..n), whose
// objects are kept alive by the caller (a read section, the GIL, or the
// lock). Native keys: decided here, and on a hit `hit` gets the value (when
// want_value). Otherwise every pair is copied (value only when want_value)
// for comparing with no section open and no lock held.
Peeked decide(const Pair* ps, std::size_t n, PyObject* key, bool want_value, Ref& hit,
              SmallVec<OwnedPair, 4>& copies) {
    PyTypeObject* t = Py_TYPE(key);
    if (n == 1 && Py_TYPE(obj(ps[0].key)) == t && native_type(t)) [[likely]] {
        // The usual bucket: one pair, a native key of the probe's type.
        if (!native_equal(obj(ps[0].key), key)) return Peeked::Miss;
        if (want_value) hit = copy(ps[0].value);
        return Peeked::Hit;
    }
    bool native = native_type(t);
    for (std::size_t i = 0; i < n && native; ++i) native = Py_TYPE(obj(ps[i].key)) == t;
    if (native) {
        for (std::size_t i = 0; i < n; ++i) {
            if (native_equal(obj(ps[i].key), key)) {
                if (want_value) hit = copy(ps[i].value);
                return Peeked::Hit;
            }
        }
        return Peeked::Miss;
    }
    copies.reserve(n);
    for (std::size_t i = 0; i < n; ++i) copies.push_back(OwnedPair{copy(ps[i].key), want_value ? copy(ps[i].value) : Ref{}});
    return Peeked::Copied;
}

// The first pass of a lookup, without the lock when it can be (store.hpp).
Peeked peek(Shard& sh, std::uint64_t hash, PyObject* key, bool want_value, Ref& hit, SmallVec<OwnedPair, 4>& copies) {
#ifdef Py_GIL_DISABLED
    {
        epoch::ReadSection section;
        Pair buf[kPeekPairs];
        std::size_t n = 0;
        for (int attempt = 0; attempt < kPeekTries; ++attempt) {
            const std::uint32_t v = sh.table.read_begin();
            if (v & 1) {
                cpu_relax();
                continue;
            }
            const ShardTable::Peek r = sh.table.peek(v, hash, buf, kPeekPairs, n);
            if (r == ShardTable::Peek::Absent) return Peeked::Miss;
            if (r == ShardTable::Peek::Copied) return decide(buf, n, key, want_value, hit, copies);
            if (r == ShardTable::Peek::TooBig) break;
        }
    }
    // Under the lock: copy only, as the locked protocol does.
    Locked g(sh);
    Slot* s = sh.table.find(hash);
    if (!s) return Peeked::Miss;
    BucketView b(s);
    copies.reserve(b.size());
    for (const Pair& p : b) copies.push_back(OwnedPair{copy(p.key), want_value ? copy(p.value) : Ref{}});
    return Peeked::Copied;
#else
    // The GIL is held throughout and no change lets it go mid-way: the table
    // is consistent and nothing in it can be released under us.
    Slot* s = sh.table.find(hash);
    if (!s) return Peeked::Miss;
    BucketView b(s);
    return decide(b.begin(), b.size(), key, want_value, hit, copies);
#endif
}

std::uint64_t splitmix(std::uint64_t x) noexcept {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Two secret words per map. getrandom never blocks once the pool is seeded
// (always true long before an interpreter runs); the fallback only guards
// against an exotic kernel without the call.
void random_words(std::uint64_t (&out)[2]) noexcept {
    if (getrandom(out, sizeof(out), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(out))) return;
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    out[0] = splitmix(now ^ reinterpret_cast<std::uintptr_t>(&out));
    out[1] = splitmix(out[0] + counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace

// ---- construction ------------------------------------------------------------

Store::Store(std::uint64_t shard_count) : count_(shard_count), pow2_((shard_count & (shard_count - 1)) == 0) {
    constexpr std::uint64_t kAlign = alignof(Shard);
    constexpr auto kMax = static_cast<std::uint64_t>(PY_SSIZE_T_MAX);
    if (shard_count == 0 || shard_count > (kMax - kAlign) / sizeof(Shard)) throw std::bad_alloc();
    // Zero-filled and not constructed shard by shard: all-zero bits are an
    // empty, unlocked shard, and a large shard array only costs memory as
    // its shards are used.
    raw_ = PyMem_Calloc(1, static_cast<std::size_t>(shard_count * sizeof(Shard) + kAlign));
    if (!raw_) throw std::bad_alloc();
    const auto base = reinterpret_cast<std::uintptr_t>(raw_);
    shards_ = reinterpret_cast<Shard*>((base + kAlign - 1) & ~std::uintptr_t{kAlign - 1});
    std::uint64_t secret[2];
    random_words(secret);
    secret0_ = secret[0];
    secret1_ = secret[1];
}

Store::Store(Store&& o) noexcept
    : raw_(std::exchange(o.raw_, nullptr)),
      shards_(std::exchange(o.shards_, nullptr)),
      count_(std::exchange(o.count_, 0)),
      pow2_(o.pow2_),
      secret0_(o.secret0_),
      secret1_(o.secret1_) {}

Store::~Store() {
    if (!raw_) return;
    // No other thread can reach a map being destroyed, so no locks. Shards
    // that never held anything are only read, never written, so the pages of
    // a mostly unused shard array stay untouched.
    for (std::uint64_t i = 0; i < count_; ++i) {
        if (shards_[i].table.capacity() == 0) continue;
        ShardTable::Taken taken = shards_[i].table.take();
        taken.for_each([](Pair& p) {
            Py_DECREF(obj(p.key));
            Py_DECREF(obj(p.value));
        });
    }
    PyMem_Free(raw_);
}

Store::Target Store::locate(PyObject* key) {
    // A small exact int hashes to its value (-1, the error marker, to -2):
    // the answer of its own hash function, without the call.
    Py_hash_t h;
    if (PyLong_CheckExact(key) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(key))) [[likely]] {
        h = static_cast<Py_hash_t>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(key)));
        if (h == -1) h = -2;
    } else {
        h = PyObject_Hash(key);
    }
    if (h == -1 && PyErr_Occurred()) throw PythonError{};
    const auto u = static_cast<std::uint64_t>(h);  // two's complement reinterpretation
    return Target{u, &shards_[pow2_ ? (u & (count_ - 1)) : (u % count_)]};
}

void Store::seed(Shard& s) const noexcept {
    if (s.table.capacity() != 0) return;
    // A keyed function of the shard's index: every shard of a map gets its
    // own keys, and re-seeding after clear gives the same ones.
    const auto i = static_cast<std::uint64_t>(&s - shards_);
    const std::uint64_t k0 = splitmix(secret0_ ^ splitmix(i));
    // Keys of one shard share their remainder by the shard count: divide it
    // out (when the count is a power of two, a shift) before placing.
    s.table.seed(k0, splitmix(secret1_ ^ k0), pow2_ ? static_cast<std::uint32_t>(__builtin_ctzll(count_)) : 0);
}

void Store::insert_new(Shard& s, std::uint64_t hash, PyObject* key, PyObject* value, std::uint64_t hole) {
    seed(s);
    s.table.insert(hash, Pair{key, value}, hole);  // may throw: then nothing was taken
    Py_INCREF(key);
    Py_INCREF(value);
}

// ---- lookup ------------------------------------------------------------------

Store::Found Store::find(PyObject* key) {
    const Target t = locate(key);
    Ref hit;
    SmallVec<OwnedPair, 4> copies;
    switch (peek(*t.shard, t.hash, key, true, hit, copies)) {
    case Peeked::Hit:
        return Found{true, std::move(hit)};
    case Peeked::Miss:
        return Found{};
    case Peeked::Copied:
        break;
    }
    // No identity shortcut: a stored key that is not equal to itself (NaN)
    // is not found, even through the very same object.
    for (std::size_t i = 0; i < copies.size(); ++i)
        if (keys_equal(copies[i].key.get(), key)) return Found{true, std::move(copies[i].value)};
    return Found{};
}

bool Store::contains(PyObject* key) {
    const Target t = locate(key);
    Ref hit;
    SmallVec<OwnedPair, 4> copies;
    switch (peek(*t.shard, t.hash, key, false, hit, copies)) {
    case Peeked::Hit:
        return true;
    case Peeked::Miss:
        return false;
    case Peeked::Copied:
        break;
    }
    for (std::size_t i = 0; i < copies.size(); ++i)
        if (keys_equal(copies[i].key.get(), key)) return true;
    return false;
}

// ---- replace-or-insert -------------------------------------------------------
//
// The lock holds of the written protocol are merged where nothing observable
// can tell: the fast path's hold also copies the first pass's candidates, and
// a commit that finds uncompared keys copies them for the next pass in the
// same hold, and the check that an equal key found by a pass is still stored
// is made in the commit's hold. Each merged hold is what the separate holds
// would have been had no other thread run in between.

void Store::put(PyObject* key, PyObject* value) {
    const Target t = locate(key);
    Shard& sh = *t.shard;
    Compared compared;
    SmallVec<Ref, 4> cands;
    epoch::reserve(kRetirePerOp);
    sh.table.prefetch(t.hash);
    bool done = false;
    {
        // Fast path: no bucket yet, or the caller's very key object is stored.
        Locked g(sh);
        std::uint64_t hole;
        Slot* s = sh.table.find(t.hash, hole);
        if (!s) {
            insert_new(sh, t.hash, key, value, hole);
            done = true;
        } else if (const std::size_t i = index_of(BucketView(s), key); i != kAbsent) {
            replace_value(sh.table, s, i, value);
            done = true;
        } else {
            copy_uncompared(BucketView(s), compared, cands);
        }
    }
    while (!done) {
        Ref eq = first_equal(cands, key, compared);
        // Commit: an equal key found by this pass is replaced if it is still
        // stored (identity); otherwise the write is valid only once this
        // operation compared every stored key.
        Locked g(sh);
        std::uint64_t hole;
        Slot* s = sh.table.find(t.hash, hole);
        std::size_t i = kAbsent;
        if (!s) {
            insert_new(sh, t.hash, key, value, hole);
        } else if (eq && (i = index_of(BucketView(s), eq.get())) != kAbsent) {
            replace_value(sh.table, s, i, value);
        } else if (copy_uncompared(BucketView(s), compared, cands)) {
            continue;
        } else if ((i = index_of(BucketView(s), key)) != kAbsent) {
            replace_value(sh.table, s, i, value);
        } else {
            sh.table.append(s, Pair{key, value});  // may throw: nothing taken
            Py_INCREF(key);
            Py_INCREF(value);
        }
        done = true;
    }
    settle();
}

// ---- removal -------------------------------------------------------------------

Store::Found Store::remove(PyObject* key) {
    const Target t = locate(key);
    Shard& sh = *t.shard;
    Compared compared;
    SmallVec<Ref, 4> cands;
    epoch::reserve(kRetirePerOp);
    PyObject* out = nullptr;
    {
        Locked g(sh);
        Slot* s = sh.table.find(t.hash);
        if (!s) return Found{};
        if (const std::size_t i = index_of(BucketView(s), key); i != kAbsent) {
            out = take_removed(sh.table.remove(s, i));
        } else {
            copy_uncompared(BucketView(s), compared, cands);
        }
    }
    if (out) return removed(out);
    for (;;) {
        Ref eq = first_equal(cands, key, compared);
        {
            // As in put: an equal key still stored goes; otherwise every
            // stored key must have been compared before deciding.
            Locked g(sh);
            Slot* s = sh.table.find(t.hash);
            if (!s) return Found{};  // nothing is created
            std::size_t i = kAbsent;
            if (eq && (i = index_of(BucketView(s), eq.get())) != kAbsent) {
                out = take_removed(sh.table.remove(s, i));
            } else if (copy_uncompared(BucketView(s), compared, cands)) {
                continue;
            } else if ((i = index_of(BucketView(s), key)) != kAbsent) {
                out = take_removed(sh.table.remove(s, i));
            }
        }
        return removed(out);
    }
}

// ---- get-or-insert -------------------------------------------------------------

Ref Store::get_or_insert(PyObject* key, PyObject* dflt) {
    const Target t = locate(key);
    Shard& sh = *t.shard;
    Compared compared;
    SmallVec<OwnedPair, 4> cands;
    Ref hit;
    // First pass without the lock: the hit path ends here.
    if (peek(sh, t.hash, key, true, hit, cands) == Peeked::Hit) return hit;
    epoch::reserve(kRetirePerOp);
    PyObject* result = nullptr;
    for (;;) {
        for (std::size_t i = 0; i < cands.size(); ++i) {
            // An equal key settles it: its value as copied, with no re-check.
            if (keys_equal(cands[i].key.get(), key)) return std::move(cands[i].value);
            compared.add(std::move(cands[i].key));
        }
        cands.clear();
        {
            Locked g(sh);
            std::uint64_t hole;
            Slot* s = sh.table.find(t.hash, hole);
            if (!s) {
                insert_new(sh, t.hash, key, dflt, hole);
                result = dflt;
            } else {
                BucketView b(s);
                if (copy_uncompared(b, compared, cands)) continue;
                if (const std::size_t i = index_of(b, key); i != kAbsent) {
                    result = obj(b[i].value);
                } else {
                    sh.table.append(s, Pair{key, dflt});  // may throw: nothing taken
                    Py_INCREF(key);
                    Py_INCREF(dflt);
                    result = dflt;
                }
            }
            Py_INCREF(result);
        }
        settle();
        return Ref::steal(result);
    }
}

// ---- sweeps ----------------------------------------------------------------------

std::uint64_t Store::count() {
    // Each shard's count is one word that changes only inside a lock hold, so
    // reading it without the lock sees it exactly as some lock hold left it -
    // the same per-shard snapshot a locked read would take, without making
    // len() contend with writers for every shard's lock.
    std::uint64_t n = 0;
    for (std::uint64_t i = 0; i < count_; ++i) n += shards_[i].table.pairs_unlocked();
    return n;
}

Ref Store::collect(Part part) {
    const std::size_t per_pair = part == Part::Items ? 2 : 1;
    std::vector<Ref> refs;
    for (std::uint64_t i = 0; i < count_; ++i) {
        Shard& sh = shards_[i];
        // An empty shard needs no visit under its lock (see count()).
        if (sh.table.pairs_unlocked() == 0) continue;
        Locked g(sh);
        const std::size_t need = refs.size() + per_pair * sh.table.pairs();
        if (need > refs.capacity()) refs.reserve(std::max(need, 2 * refs.capacity()));
        sh.table.for_each([&](std::uint64_t, BucketView b) {
            for (const Pair& p : b) {
                if (part != Part::Values) refs.push_back(copy(p.key));
                if (part != Part::Keys) refs.push_back(copy(p.value));
            }
        });
    }
    // Every shard is unlocked again: now build the Python objects.
    const std::size_t n = refs.size() / per_pair;
    Ref list = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(n))));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item;
        if (part == Part::Items) {
            item = check(PyTuple_New(2));
            PyTuple_SET_ITEM(item, 0, refs[2 * i].release());
            PyTuple_SET_ITEM(item, 1, refs[2 * i + 1].release());
        } else {
            item = refs[i].release();
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

void Store::clear() {
    for (std::uint64_t i = 0; i < count_; ++i) {
        Shard& sh = shards_[i];
        if (sh.table.pairs_unlocked() == 0) continue;  // nothing to release (see count())
        epoch::reserve(1);
        {
            Locked g(sh);
            if (void* block = sh.table.take().release()) epoch::retire(&drop_table, block);
        }
        // Unlocked: finalizers run by these releases may use this map.
        settle();
    }
}

// ---- mapping protocol and collector support -----------------------------------

Ref Store::any_key() {
    for (std::uint64_t i = 0; i < count_; ++i) {
        Shard& sh = shards_[i];
        if (sh.table.pairs_unlocked() == 0) continue;  // see count()
        PyObject* key = nullptr;
        {
            Locked g(sh);
            sh.table.for_each([&](std::uint64_t, BucketView b) {
                if (!key && b.size() != 0) key = obj(b[0].key);
            });
            if (key) Py_INCREF(key);
        }
        if (key) return Ref::steal(key);
    }
    return Ref{};
}

int Store::for_each_entry(visitproc visit, void* arg) {
    // The collector calls this with every other thread stopped at a point
    // where it holds no shard lock, so the locks are free; they are taken
    // anyway for callers that do not stop the world (gc.get_referents).
    for (std::uint64_t i = 0; i < count_; ++i) {
        Shard& sh = shards_[i];
        if (sh.table.pairs_unlocked() == 0) continue;
        Locked g(sh);
        int r = 0;
        sh.table.for_each([&](std::uint64_t, BucketView b) {
            for (const Pair& p : b) {
                if (r == 0) r = visit(obj(p.key), arg);
                if (r == 0) r = visit(obj(p.value), arg);
            }
        });
        if (r != 0) return r;
    }
    return 0;
}

}  // namespace vornic::map
