"""RwLock, uncontended: `with lock.read():` and `with lock.write():` against
`with` on a threading.Lock and against the pure-Python reader-writer lock of
the readerwriterlock package (pip install readerwriterlock, or the bench extra).

Each of our cases makes a fresh guard per iteration, as real code does; the
package's gen_rlock()/gen_wlock() likewise make a fresh lock object per call.
"""
import threading

from common import best_of, table

import _vornic


def with_each(make):
    """fn(number): `with make(): pass`, number times."""
    def run(number):
        for _ in range(number):
            with make():
                pass
    return run


def main():
    n = 200_000
    lock = _vornic.RwLock()
    std = threading.Lock()

    def std_lock(number):
        for _ in range(number):
            with std:
                pass

    read = best_of(with_each(lock.read), n)
    write = best_of(with_each(lock.write), n)
    base = best_of(std_lock, n)
    rows = [
        ("with lock.read():", read, "with lk: (one threading.Lock)", base, "<= 3x"),
        ("with lock.write():", write, "with lk: (one threading.Lock)", base, "<= 3x"),
    ]
    try:
        from readerwriterlock import rwlock
    except ImportError:
        print("\nreaderwriterlock is not installed (pip install readerwriterlock): "
              "skipping the comparison with it")
    else:
        # The writer-preferring flavour: the same policy as ours.
        other = rwlock.RWLockWrite()
        m = n // 10
        other_read = best_of(with_each(other.gen_rlock), m)
        other_write = best_of(with_each(other.gen_wlock), m)
        rows += [
            ("with lock.read():", read, "readerwriterlock RWLockWrite gen_rlock()", other_read, "<= 0.2x"),
            ("with lock.write():", write, "readerwriterlock RWLockWrite gen_wlock()", other_write, "<= 0.2x"),
        ]
    table("RwLock (uncontended, one thread)", rows)


if __name__ == "__main__":
    main()
