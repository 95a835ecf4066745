"""ConcurrentMap against a dict guarded by a threading.Lock (the thread-safe
way to share a dict without this module) and against a bare dict, single
thread; then memory per entry at 1,000,000 int entries (tracemalloc)."""
import gc
import threading
import tracemalloc

from common import best_of, table

import _vornic

N_ITEMS = 100_000


def timed(stmt, setup_names, number):
    """Best time per iteration of `stmt` inside a plain for loop; every case
    (ours, locked dict, bare dict) is timed through the same loop shape."""
    src = f"def run(k):\n    for _ in range(k):\n        {stmt}\n"
    ns = dict(setup_names)
    exec(src, ns)
    return best_of(ns["run"], number, repeat=9)


def timings():
    n = 200_000
    m = _vornic.ConcurrentMap()
    d = {}
    for k in range(1000):
        m.set(k, k)
        d[k] = k  # the same key objects as the map's
    stored = next(k for k in m.keys() if k == 500)  # the very key object both maps hold
    assert next(k for k in d if k == 500) is stored
    names = dict(
        m=m, d=d, lock=threading.Lock(), val=object(),
        hit=stored, miss=10**6,
        equal_key=int("500"),  # equal to the stored 500, another object
    )
    assert names["equal_key"] is not stored
    locked = "with lock: "
    cases = [
        # name, ours, dict statement, goal vs locked dict
        ("get hit", "m.get(hit)", "d.get(hit)", "<= 0.4x"),
        ("get miss", "m.get(miss)", "d.get(miss)", ""),
        ("set, same key object", "m.set(hit, val)", "d[hit] = val", "<= 0.4x"),
        ("set, equal key object", "m.set(equal_key, val)", "d[equal_key] = val", "<= 0.4x"),
        ("get_or_insert, present", "m.get_or_insert(hit, val)", "d.setdefault(hit, val)", ""),
        ("len", "len(m)", "len(d)", ""),
    ]
    rows = []
    for name, ours, theirs, goal in cases:
        o = timed(ours, names, n)
        rows.append((name, o, "with lock: dict", timed(locked + theirs, names, n), goal))
        rows.append((name, o, "bare dict", timed(theirs, names, n)))
    # delete + set: two operations, so the locked dict takes the lock twice.
    o = timed("m.delete(777); m.set(777, val)", names, n)
    rows.append(("delete + set", o, "with lock: dict",
                 timed("with lock: del d[777]\n        with lock: d[777] = val", names, n)))
    rows.append(("delete + set", o, "bare dict", timed("del d[777]; d[777] = val", names, n)))

    big = dict(m=_vornic.ConcurrentMap(), d={}, lock=names["lock"])
    for i in range(N_ITEMS):
        big["m"].set(i, i)
        big["d"][i] = i
    o = timed("m.items()", big, 20)
    rows.append((f"items, {N_ITEMS:,} entries", o, "with lock: list(dict.items())",
                 timed("with lock: list(d.items())", big, 20)))
    rows.append((f"items, {N_ITEMS:,} entries", o, "bare list(dict.items())", timed("list(d.items())", big, 20)))
    table(f"ConcurrentMap, one thread, {m.shard_count} shards (goal: ours / locked dict)", rows)


def bytes_per_entry(build, n):
    keys = list(range(n))
    vals = list(range(n, 2 * n))  # preallocated: only the container is measured
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    container = build(keys, vals)
    used = tracemalloc.get_traced_memory()[0] - base
    tracemalloc.stop()
    del container
    return used / n


def build_dict(keys, vals):
    return dict(zip(keys, vals))


def build_map(keys, vals):
    m = _vornic.ConcurrentMap()
    for k, v in zip(keys, vals):
        m.set(k, v)
    return m


def memory():
    n = 1_000_000
    ours = bytes_per_entry(build_map, n)
    base = bytes_per_entry(build_dict, n)
    print(f"\n## Memory per entry at {n:,} int entries (tracemalloc, container only)\n")
    print("| container | bytes per entry | ratio to dict | goal |")
    print("|---|---|---|---|")
    print(f"| dict | {base:.1f} | 1.00x | |")
    print(f"| ConcurrentMap | {ours:.1f} | {ours / base:.2f}x | <= 2x |")


def main():
    timings()
    memory()


if __name__ == "__main__":
    main()
