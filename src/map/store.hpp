// The shard store behind ConcurrentMap: a fixed array of shards, each one
// lock and one table from Python hash value to a bucket of (key, value)
// pairs, and the protocols that compare keys with no lock held.
//
// Lock rule (every shard lock; leaf lock):
//   While a shard lock is held, a thread only probes and changes that shard's
//   table, takes new references (Py_INCREF) and allocates native memory. It
//   never calls into Python (__hash__, __eq__, truth tests), never releases a
//   reference (a release can run a finalizer, which can run Python code that
//   uses this very map), never creates a Python object, and never takes a
//   second shard lock. References that must go are moved out and released
//   after unlocking.
//
// Why comparisons happen unlocked: a key's __eq__ is arbitrary Python code. It
// may use the same map, block, or raise. So reads copy what they need under
// the lock and compare afterwards; writes compare first and then commit under
// the lock after checking, by object identity, that the bucket holds nothing
// they have not compared yet (otherwise they run another pass over just the
// new keys).
//
// Table memory comes from the interpreter's allocator (PyMem_*), so it is
// fast for the small spill blocks and shows up in tracemalloc next to a
// dict's. Every function here requires an attached thread state.
//
// Reads without the lock (find, contains, and the first pass of
// get_or_insert). A read writes no memory another reader writes:
//
//   1. Hash the key (may run __hash__), with no lock and no read section.
//   2. Open a read section (common/epoch.hpp: one store to this thread's own
//      padded slot and a fence), and peek at the bucket through the shard
//      table's seqlock (table.hpp): version, atomic loads of the slot (and of
//      the spill block, after validating the slot), version again. A change
//      that overlapped is retried a few times; a writer that keeps changing
//      the shard, or a bucket too big to copy, sends the read to the locked
//      protocol instead.
//   3. The copied pairs are one state the bucket really had, and everything
//      they point to stays alive until the section closes, because nothing a
//      change removes is released at once: replaced slot arrays and spill
//      blocks, and the table's references to removed keys and replaced or
//      removed values, are retired to the epoch scheme and released only
//      after every read section that could have seen them has closed.
//   4. If the caller's key and every copied key are of the same exact type
//      among str, int, bytes and float, the comparisons are made right there
//      (their equality runs no Python code, takes no reference and gives the
//      answer their __eq__ gives); on a hit the value's reference count is
//      incremented - safe, since the table's own reference cannot be dropped
//      before the section closes. Otherwise the section takes a reference to
//      every copied key and value (same argument), closes, and the keys are
//      compared with Python code, unlocked, in bucket order, exactly as a
//      locked copy would have been. Either way the read takes effect at the
//      instant of the validated copy.
//
// What a read writes, free-threaded build: its own participant's line (the
// section's two stores) and, on a hit, the returned value's reference count
// (nothing for an immortal value; any design that returns a new reference
// pays it). Nothing on the shard, the table, the stored keys or the map
// object. Keys of other types add one increment and one decrement on each
// stored key and value of the bucket, as the locked copy did. A read that
// meets a change in progress retries; one that keeps meeting changes takes
// the lock once, like any writer.
//
// On a build with the GIL none of this is needed: the GIL is held from the
// probe to the increment, and every change is made in one lock hold that
// never lets the GIL go, so the probe itself is the consistent copy.
//
// Writers keep the lock rule above; in addition, at the end of each
// map-changing operation (lock released, attached), they run the reclaimers
// that are due (epoch::reclaim), which is where a replaced value's
// finalizer runs - at once when no reader is in a read section.
#pragma once
#include <cstdint>

#include "binding/ref.hpp"
#include "common/epoch.hpp"
#include "map/table.hpp"

namespace vornic::map {

struct PyMemAlloc {
    static void* allocate(std::size_t n) noexcept { return PyMem_Malloc(n); }
    static void deallocate(void* p) noexcept { PyMem_Free(p); }
    static void free_block(void* p) noexcept { PyMem_Free(p); }
    // Requires: an epoch::reserve() that covers it (see Store).
    static void retire(void* p) noexcept { epoch::retire(&free_block, p); }
};
using ShardTable = Table<PyMemAlloc>;

// One cache line per shard, so that threads working on neighbouring shards do
// not pass the line back and forth. All-zero bits are a valid empty,
// unlocked shard (see Store::Store).
struct alignas(64) Shard {
    std::uint32_t lock;
    ShardTable table;
};
static_assert(sizeof(Shard) == 64);

class Store {
public:
    // Throws std::bad_alloc when the shard array cannot be allocated.
    explicit Store(std::uint64_t shard_count);
    Store(Store&& o) noexcept;
    Store& operator=(Store&&) = delete;
    // Releases every stored key and value.
    ~Store();

    std::uint64_t shard_count() const noexcept { return count_; }

    struct Found {
        bool found = false;
        Ref value;  // set when found
    };

    // Each operation below that takes a key hashes it exactly once, before any
    // lock, and may throw PythonError with the exception of the key's
    // __hash__, __eq__ or truth test; the map-changing ones then change nothing.

    // Lookup protocol: the value of the first stored key equal to key.
    Found find(PyObject* key);
    bool contains(PyObject* key);
    // Replace-or-insert protocol. key and value stay owned by the caller.
    void put(PyObject* key, PyObject* value);
    // Removal protocol; the removed value's reference passes to the caller.
    Found remove(PyObject* key);
    // Get-or-insert protocol: a new reference to the existing or inserted value.
    Ref get_or_insert(PyObject* key, PyObject* dflt);

    // Sweeps, shard by shard, never two shard locks at once.
    std::uint64_t count();
    enum class Part { Keys, Values, Items };
    // A new list of keys, values or (key, value) tuples.
    Ref collect(Part part);
    void clear();

    // For the mapping protocol and the cyclic garbage collector (store.cpp's
    // last section).
    //
    // A new reference to some stored key (the first one found from shard 0
    // on), or an empty Ref when the map is empty.
    Ref any_key();
    // Calls visit(key, arg) and visit(value, arg) for every stored pair,
    // shard by shard under each shard's lock; stops at, and returns, the
    // first non-zero result. visit must not run Python code (the collector's
    // visit functions do not).
    int for_each_entry(visitproc visit, void* arg);

private:
    // Where a key lives: its hash value as a table key, and its shard.
    struct Target {
        std::uint64_t hash;
        Shard* shard;
    };
    // Hashes key (once); throws PythonError if that fails.
    Target locate(PyObject* key);
    // Gives an empty table its placing keys before an insert.
    void seed(Shard& s) const noexcept;
    // Adds a one-pair bucket; called under s's lock with no bucket for hash,
    // with the hole of the find (same hold) that showed it.
    void insert_new(Shard& s, std::uint64_t hash, PyObject* key, PyObject* value, std::uint64_t hole);

    void* raw_ = nullptr;       // the allocation behind shards_
    Shard* shards_ = nullptr;   // count_ shards, 64-byte aligned within raw_
    std::uint64_t count_ = 0;
    bool pow2_ = false;  // count_ is a power of two: the index is a mask, not a division
    std::uint64_t secret0_ = 0;  // per-map secrets the tables' keys derive from
    std::uint64_t secret1_ = 0;
};

}  // namespace vornic::map
