"""The main job: every primitive of _vornic in one realistic workload.

Each section runs a small multi-threaded job, checks its totals exactly and
prints one line. The process exits non-zero if any check fails.
"""
import sys
import threading
import time

import _vornic
from _vornic import AtomicInteger


def demo_atomics(threads=4, per_thread=200_000):
    """Several threads hammer one counter; a lock-guarded int runs side by side."""
    counter = AtomicInteger()

    def hammer():
        inc = counter.increment_relaxed
        for _ in range(per_thread):
            inc()

    t0 = time.perf_counter()
    workers = [threading.Thread(target=hammer) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    atomic_time = time.perf_counter() - t0

    lock = threading.Lock()
    box = [0]

    def locked():
        for _ in range(per_thread):
            with lock:
                box[0] += 1

    t0 = time.perf_counter()
    workers = [threading.Thread(target=locked) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    lock_time = time.perf_counter() - t0

    expected = threads * per_thread
    assert counter.get() == expected, (counter.get(), expected)
    assert box[0] == expected, (box[0], expected)
    print(f"atomics: {threads} threads x {per_thread} increments = {counter.get()} "
          f"(AtomicInteger {atomic_time:.3f}s, threading.Lock {lock_time:.3f}s)")


SECTIONS = [demo_atomics]


def main():
    print(f"_vornic demo on Python {sys.version.split()[0]}"
          f"{' (free-threaded)' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}")
    for section in SECTIONS:
        section()
    print("all checks passed")


if __name__ == "__main__":
    main()
