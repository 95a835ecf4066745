"""AtomicInteger against a no-argument built-in method call and a locked int."""
import threading

from common import best_of, table

import _vornic


def main():
    n = 200_000
    a = _vornic.AtomicInteger()
    lst = []
    floor = best_of(lambda k: [lst.clear() for _ in range(k)], n)
    lock = threading.Lock()
    box = [0]

    def locked(k):
        for _ in range(k):
            with lock:
                box[0] += 1

    inc = best_of(lambda k: [a.increment() for _ in range(k)], n)
    inc_relaxed = best_of(lambda k: [a.increment_relaxed() for _ in range(k)], n)
    get = best_of(lambda k: [a.get() for _ in range(k)], n)
    fa = best_of(lambda k: [a.fetch_add(1, ordering="relaxed") for _ in range(k)], n)
    cas = best_of(lambda k: [a.compare_and_set(0, 0) for _ in range(k)], n)
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
