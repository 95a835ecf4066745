"""AtomicInteger against a no-argument built-in method call and a locked int."""
import threading

from common import best_of, table

import _vornic


def main():
    n = 200_000
    a = _vornic.AtomicInteger()
    lst = []
    lock = threading.Lock()
    box = [0]

    def calls(method, args=""):
        # A plain loop around one call, written out so no *args unpacking
        # is measured.
        ns = {"m": method}
        exec(f"def run(k):\n    for _ in range(k):\n        m({args})\n", ns)
        return ns["run"]

    def locked(k):
        for _ in range(k):
            with lock:
                box[0] += 1

    # Every case runs the same plain loop, so the loop cancels out of the ratios.
    floor = best_of(calls(lst.clear), n)
    inc = best_of(calls(a.increment), n)
    inc_relaxed = best_of(calls(a.increment_relaxed), n)
    get = best_of(calls(a.get), n)
    fa = best_of(calls(a.fetch_add, '1, ordering="relaxed"'), n)
    cas = best_of(calls(a.compare_and_set, "0, 0"), n)
    lock_t = best_of(locked, n)
    table("AtomicInteger (single thread)", [
        ("increment()", inc, "list.clear() (call floor)", floor, "<= 2.5x"),
        ("increment()", inc, "with lock: n += 1", lock_t, "<= 0.2x"),
        ("increment_relaxed()", inc_relaxed, "list.clear() (call floor)", floor),
        ("get()", get, "list.clear() (call floor)", floor),
        ('fetch_add(1, ordering="relaxed")', fa, "list.clear() (call floor)", floor),
        ("compare_and_set(0, 0)", cas, "list.clear() (call floor)", floor),
    ])


if __name__ == "__main__":
    main()
