"""The main job: every primitive of _vornic in one realistic workload.

Each section runs a small multi-threaded job, checks its totals exactly and
prints one line. The process exits non-zero if any check fails.
"""
import sys
import threading
import time

import _vornic
from _vornic import AtomicInteger, Channel, RwLock, select


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


def demo_map(threads=4, words_per_thread=50_000):
    """A parallel word count: threads split one generated text and count its
    words into a shared ConcurrentMap of AtomicInteger counters, each counter
    created at most once through get_or_insert; checked against Counter."""
    import collections
    import random

    rng = random.Random(3)
    letters = "etaoinshrdlcumwfgypbvk"
    vocab = ["".join(rng.choices(letters, k=rng.randint(2, 8))) for _ in range(3000)]
    weights = [1 / (rank + 1) for rank in range(len(vocab))]  # Zipf-like: a few very common words
    words = rng.choices(vocab, weights=weights, k=threads * words_per_thread)
    text = " ".join(words)

    counts = _vornic.ConcurrentMap()

    def count(part):
        get, get_or_insert = counts.get, counts.get_or_insert
        for word in part.split():
            counter = get(word)
            if counter is None:  # first sighting here: one racer's counter wins
                counter = get_or_insert(word, AtomicInteger())
            counter.increment_relaxed()

    # Split on word boundaries into one slice of the text per thread.
    cuts = [0]
    for i in range(1, threads):
        cut = text.index(" ", len(text) * i // threads)
        cuts.append(cut + 1)
    parts = [text[a:b] for a, b in zip(cuts, cuts[1:] + [len(text)])]

    t0 = time.perf_counter()
    workers = [threading.Thread(target=count, args=(p,)) for p in parts]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    elapsed = time.perf_counter() - t0

    expected = collections.Counter(text.split())
    got = {word: counter.get() for word, counter in counts.items()}
    if got != expected or len(counts) != len(expected):
        raise SystemExit(f"map: word counts differ from collections.Counter "
                         f"({len(got)} words counted, {len(expected)} expected)")
    top, n = expected.most_common(1)[0]
    print(f"map: {threads} threads counted {sum(got.values())} words, {len(got)} distinct, "
          f"most common {top!r} x {n} ({elapsed:.3f}s)")


def demo_channels(number_producers=2, per_producer=10_000, words=2_000, consumers=3):
    """A three-stage pipeline of threads joined by channels. Producers fill two
    bounded channels; a merging stage selects over both with a timeout and
    forwards tagged items; consumers drain the merged channel until it is
    closed. Shutdown runs front to back by close()."""
    numbers = Channel(64)
    texts = Channel(16)
    merged = Channel(128)
    idle_ticks = [0]

    def produce_numbers(first):
        for n in range(first, number_producers * per_producer, number_producers):
            numbers.send(n)

    def produce_words():
        for i in range(words):
            texts.send(f"w{i}")
            if i % 500 == 499:
                time.sleep(0.1)  # a lull: once the numbers are done the merger idles

    def merge():
        ops = [numbers.recv_op(), texts.recv_op()]
        sources = ["number", "word"]
        while ops:
            try:
                index, item = select(ops, timeout=0.01)
            except TimeoutError:
                idle_ticks[0] += 1
                continue
            except ValueError:
                # That input is closed and drained. select does not say which,
                # so ask each remaining one without waiting.
                for i in reversed(range(len(ops))):
                    try:
                        merged.send((sources[i], select([ops[i]], timeout=0)[1]))
                    except TimeoutError:
                        pass
                    except ValueError:
                        del ops[i], sources[i]
                continue
            merged.send((sources[index], item))
        merged.close()

    totals = [[0, 0, 0] for _ in range(consumers)]  # numbers, words, sum of numbers

    def consume(c):
        mine = totals[c]
        for kind, item in merged:
            if kind == "number":
                mine[0] += 1
                mine[2] += item
            else:
                mine[1] += 1

    t0 = time.perf_counter()
    stages = ([threading.Thread(target=produce_numbers, args=(i,)) for i in range(number_producers)]
              + [threading.Thread(target=produce_words)])
    merger = threading.Thread(target=merge)
    sinks = [threading.Thread(target=consume, args=(c,)) for c in range(consumers)]
    for t in stages + [merger] + sinks:
        t.start()
    for t in stages[:number_producers]:
        t.join()
    numbers.close()
    stages[-1].join()
    texts.close()
    merger.join()
    for t in sinks:
        t.join()
    elapsed = time.perf_counter() - t0

    n_total = number_producers * per_producer
    got_numbers = sum(t[0] for t in totals)
    got_words = sum(t[1] for t in totals)
    got_sum = sum(t[2] for t in totals)
    assert got_numbers == n_total, (got_numbers, n_total)
    assert got_words == words, (got_words, words)
    assert got_sum == n_total * (n_total - 1) // 2, got_sum
    print(f"channels: {number_producers}+1 producers -> select stage -> {consumers} consumers moved "
          f"{got_numbers + got_words} items ({got_numbers} numbers, {got_words} words, sums match; "
          f"{idle_ticks[0]} select timeouts) in {elapsed:.3f}s")


def demo_rwlock(readers=4, reads_per_reader=50_000):
    """A configuration table read by several threads under read() while one
    thread rewrites it under write(); a reader that saw fields from two
    different versions counts a torn read."""
    lock = RwLock()
    config = {"version": 0, "host": "db-0.internal", "port": 5400, "replicas": 0}
    done = threading.Event()
    torn = [0] * readers
    updates = [0]

    def consistent(c):
        v = c["version"]
        return c["host"] == f"db-{v}.internal" and c["port"] == 5400 + v and c["replicas"] == v % 3

    def reader(i):
        for _ in range(reads_per_reader):
            with lock.read():
                if not consistent(config):
                    torn[i] += 1

    def writer():
        v = 0
        while not done.is_set():
            v += 1
            with lock.write():
                # Field by field, with a thread switch invited half way: a
                # reader let in now would see two versions at once.
                config["version"] = v
                config["host"] = f"db-{v}.internal"
                time.sleep(0)
                config["port"] = 5400 + v
                config["replicas"] = v % 3
            updates[0] += 1
            time.sleep(0)

    t0 = time.perf_counter()
    w = threading.Thread(target=writer)
    w.start()
    workers = [threading.Thread(target=reader, args=(i,)) for i in range(readers)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    done.set()
    w.join()
    elapsed = time.perf_counter() - t0

    assert sum(torn) == 0, torn
    assert updates[0] > 0
    with lock.read():
        assert consistent(config) and config["version"] == updates[0]
    print(f"rwlock: {readers} readers x {reads_per_reader} reads of a config table, 1 writer x "
          f"{updates[0]} updates, {sum(torn)} torn reads ({elapsed:.3f}s)")


SECTIONS = [demo_atomics, demo_map, demo_channels, demo_rwlock]


def main():
    print(f"_vornic demo on Python {sys.version.split()[0]}"
          f"{' (free-threaded)' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}")
    for section in SECTIONS:
        section()
    print("all checks passed")


if __name__ == "__main__":
    main()
