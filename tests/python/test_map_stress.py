"""ConcurrentMap under many threads: mixed operations on a small key space
whose keys mostly share hash values, so comparisons (Python code, run with no
lock held) interleave with other threads' writes to the same buckets."""
import gc
import random
import sys
import threading
import time

import pytest

from _vornic import ConcurrentMap
from conftest import run_threads

THREADS = 8
SECONDS = 3.0


@pytest.fixture(autouse=True)
def frequent_switches():
    """On a build with a GIL, switch threads often so that they meet inside
    each other's comparisons."""
    saved = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(saved)


class K:
    """Equal by number. The churned keys (n < 100) have only four hash values;
    the raced ones sixteen, four of them shared with the churned keys."""
    __slots__ = ("n",)

    def __init__(self, n):
        self.n = n

    def __hash__(self):
        return self.n % 4 if self.n < 100 else self.n % 16

    def __eq__(self, other):
        return isinstance(other, K) and self.n == other.n


def assert_no_duplicates(m):
    # Each shard is copied at one instant and equal keys share a shard, so a
    # repeated key in a snapshot was really stored twice at that instant.
    numbers = [k.n for k in m.keys()]
    assert len(numbers) == len(set(numbers)), "a key is stored twice"


@pytest.mark.timeout(60)
def test_mixed_operations_keep_the_map_consistent():
    m = ConcurrentMap(2)
    churn = list(range(24))           # set / get / delete / pop_val
    shared = [K(n) for n in churn]    # reused objects exercise the identity paths
    # get_or_insert races: every 50 ms a fresh set of 8 keys that only
    # get_or_insert touches, so each has exactly one winner.
    start = time.monotonic()
    winners = {}
    lock = threading.Lock()

    def worker(i):
        rng = random.Random(i)
        seen = {}
        ops = 0
        while (elapsed := time.monotonic() - start) < SECONDS:
            ops += 1
            r = rng.random()
            n = rng.choice(churn)
            key = shared[n] if rng.random() < 0.3 else K(n)
            if r < 0.25:
                m.set(key, (i, ops))
            elif r < 0.4:
                v = m.get(key)
                assert v is None or type(v) is tuple
            elif r < 0.55:
                m.delete(key)
            elif r < 0.65:
                found, v = m.pop_val(key)
                assert found == (v is not None)
            elif r < 0.7:
                m.contains_key(key)
            elif r < 0.995:
                rn = 100 + 8 * int(elapsed / 0.05) + rng.randrange(8)
                seen.setdefault(rn, []).append(m.get_or_insert(K(rn), object()))
            else:
                assert_no_duplicates(m)
        with lock:
            for rn, got in seen.items():
                winners.setdefault(rn, []).extend(got)

    run_threads(worker, THREADS, timeout=SECONDS + 30)

    keys = m.keys()
    assert len(m) == m.len() == len(keys) == len(m.items())
    assert_no_duplicates(m)
    contested = 0
    for rn, got in winners.items():
        assert all(v is got[0] for v in got), f"get_or_insert racers disagree on {rn}"
        assert m.get(K(rn)) is got[0]
        contested += len(got) > 1
    assert contested > 10


@pytest.mark.timeout(60)
def test_concurrent_inserts_and_removals_balance():
    m = ConcurrentMap()
    per_thread = 2000

    def worker(i):
        mine = [(i, j) for j in range(per_thread)]
        for k in mine:
            m.set(k, i)
        for k in mine[::2]:
            assert m.pop_val(k) == (True, i)
        for k in mine[1::2]:
            assert m.get(k) == i

    run_threads(worker, THREADS, timeout=45)
    assert len(m) == THREADS * per_thread // 2
    assert sorted(m.keys()) == sorted((i, j) for i in range(THREADS) for j in range(1, per_thread, 2))


@pytest.mark.timeout(60)
def test_sweeps_run_alongside_writers():
    m = ConcurrentMap(4)
    stop = threading.Event()
    for n in range(50):
        m.set(n, n)

    def writer(i):
        rng = random.Random(i)
        while not stop.is_set():
            n = rng.randrange(50)
            m.set(n, n)                  # keys 0..49: only ever re-set to themselves
            m.delete(100 + n)            # keys 100..149: churn
            m.set(100 + n, i)

    def sweeper():
        try:
            for _ in range(300):
                items = m.items()
                assert {k for k, _ in items} >= set(range(50))
                assert all(k == v for k, v in items if k < 50)
                assert len(m) >= 50 and len(m.keys()) >= 50
                m.clear()
                for n in range(50):
                    m.set(n, n)
        finally:
            stop.set()

    run_threads(lambda i: writer(i) if i < 4 else sweeper(), 5, timeout=45)


@pytest.mark.timeout(120)
def test_shared_values_keep_exact_reference_counts():
    # Every thread stores, reads, replaces and removes the same few value
    # objects, so their reference counts are changed from all threads at
    # once; on a free-threaded build a count the map gets wrong shows up as a
    # count that does not come back (or as a freed object read by items()).
    m = ConcurrentMap(4)
    values = [object() for _ in range(4)]
    base = [sys.getrefcount(v) for v in values]
    ids = {id(v) for v in values}
    counts = [0] * THREADS

    def worker(i):
        rng = random.Random(i)
        for step in range(40_000):
            k = rng.randrange(64)
            v = values[rng.randrange(4)]
            r = rng.random()
            if r < 0.3:
                m.set(k, v)
            elif r < 0.55:
                got = m.get(k)
                assert got is None or id(got) in ids
            elif r < 0.7:
                m.delete(k)
            elif r < 0.85:
                assert id(m.get_or_insert(k, v)) in ids
            elif r < 0.95:
                found, got = m.pop_val(k)
                assert found == (got is not None)
            elif step % 8 == 0:
                assert all(id(got) in ids for _, got in m.items())
            counts[i] += 1

    run_threads(worker, THREADS, timeout=100)
    assert len(m.items()) == len(m)
    m.clear()
    gc.collect()
    print(f"{sum(counts)} operations; reference counts {[sys.getrefcount(v) for v in values]} vs {base}")
    assert [sys.getrefcount(v) for v in values] == base


@pytest.mark.timeout(180)
def test_reads_race_replace_delete_and_resize_with_exact_counts():
    # Readers look up hot keys while writers replace and delete them and a
    # grower keeps emptying and regrowing the very tables they read (two
    # shards, so every key shares them). Keys come in the three shapes a read
    # treats differently: int and run-time str (compared natively) and
    # tuples (compared by Python code after the read took references). A
    # value or key released while a reader can still reach it shows up as a
    # wrong object, a crash, or (under the race detector) a report; one
    # released twice or never, as a count that does not come back.
    m = ConcurrentMap(2)
    values = [object() for _ in range(6)]
    keys = [*range(8), *["".join(("hot", str(i))) for i in range(8)], *[(i, "t") for i in range(8)]]
    base = [sys.getrefcount(o) for o in values + keys]
    ids = {id(v) for v in values}
    stop = threading.Event()
    seen = [0, 0]

    def reader(i):
        rng = random.Random(i)
        while not stop.is_set():
            k = keys[rng.randrange(len(keys))]
            got = m.get(k)
            assert got is None or id(got) in ids
            found, got = m.get_val(k)
            assert found == (got is not None) and (got is None or id(got) in ids)
            m.contains_key(k)
            seen[i] += got is not None

    def writer(i):
        rng = random.Random(100 + i)
        for _ in range(6000):
            k = keys[rng.randrange(len(keys))]
            r = rng.random()
            if r < 0.5:
                m.set(k, values[rng.randrange(len(values))])
            elif r < 0.7:
                assert id(m.get_or_insert(k, values[0])) in ids
            elif r < 0.85:
                m.delete(k)
            else:
                found, got = m.pop_val(k)
                assert found == (got is not None)

    def grower():
        for rnd in range(30):
            for n in range(1000, 1400):
                m.set(n, n)
            if rnd % 3 == 2:
                m.clear()
            else:
                for n in range(1000, 1400):
                    m.delete(n)

    busy = [3]
    busy_lock = threading.Lock()

    def role(i):
        if i < 2:
            return reader(i)
        try:
            writer(i) if i < 4 else grower()
        finally:
            with busy_lock:
                busy[0] -= 1
                if busy[0] == 0:
                    stop.set()

    run_threads(role, 5, timeout=170)
    assert sum(seen) > 0
    m.clear()
    gc.collect()
    assert [sys.getrefcount(o) for o in values + keys] == base
