"""The main job: every primitive of _vornic in one realistic workload.

Each section runs a small multi-threaded job, checks its totals exactly and
prints one line. The process exits non-zero if any check fails.
"""
import functools
import sys
import threading
import time

import _vornic
from _vornic import AtomicInteger, Channel, RwLock, select


def run_timed(targets):
    """Runs each zero-argument callable on its own thread; returns the seconds
    until the last one finished."""
    t0 = time.perf_counter()
    workers = [threading.Thread(target=t) for t in targets]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return time.perf_counter() - t0


def demo_atomics(threads=4, per_thread=200_000):
    """Several threads hammer one counter; a lock-guarded int runs side by side."""
    counter = AtomicInteger()

    def hammer():
        inc = counter.increment_relaxed
        for _ in range(per_thread):
            inc()

    atomic_time = run_timed([hammer] * threads)

    lock = threading.Lock()
    box = [0]

    def locked():
        for _ in range(per_thread):
            with lock:
                box[0] += 1

    lock_time = run_timed([locked] * threads)

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

    elapsed = run_timed([functools.partial(count, p) for p in parts])

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


def demo_pool(chunks=48, lines_per_chunk=2_000, workers=4, aggregators=2):
    """Request logs analysed the way a service would: a ThreadPool fans the
    log chunks out to its workers, which parse them while reading a route ->
    service table under RwLock.read() and record each finished chunk in that
    table under write(); per-chunk tallies come back through a Channel to two
    aggregating threads, which add them into a ConcurrentMap of AtomicInteger
    counters. Checked against a sequential count, and timed against the same
    job on ThreadPoolExecutor, queue.Queue and lock-guarded dicts."""
    import collections
    import concurrent.futures as cf
    import queue
    import random

    rng = random.Random(11)
    routes = [f"/api/{name}" for name in ("users", "orders", "items", "search", "cart", "login", "stats")]
    statuses = ["200"] * 8 + ["404", "500"]
    logs = ["\n".join(f"{rng.choice(('GET', 'POST'))} {rng.choice(routes)} {rng.choice(statuses)} "
                      f"{rng.randint(1, 250)}" for _ in range(lines_per_chunk))
            for _ in range(chunks)]

    def analyse(i, read_lock, write_lock, table, emit):
        tally = collections.Counter()
        latency = 0
        with read_lock():
            services = table["services"]
            for line in logs[i].split("\n"):
                _, route, status, ms = line.split()
                tally[(services[route], status)] += 1
                latency += int(ms)
        with write_lock():
            table["finished"].append(i)
        emit((tally, latency))

    def fresh_table():
        return {"services": {r: f"svc-{k % 3}" for k, r in enumerate(routes)}, "finished": []}

    # _vornic: ThreadPool -> Channel -> ConcurrentMap of AtomicInteger, RwLock table.
    table = fresh_table()
    lock = RwLock()
    results = Channel()
    counts = _vornic.ConcurrentMap()
    latency_total = AtomicInteger()

    def aggregate():
        for tally, latency in results:
            for key, n in tally.items():
                counts.get_or_insert(key, AtomicInteger()).add_and_get_relaxed(n)
            latency_total.add_and_get_relaxed(latency)

    t0 = time.perf_counter()
    sinks = [threading.Thread(target=aggregate) for _ in range(aggregators)]
    for t in sinks:
        t.start()
    pool = _vornic.ThreadPool(workers)
    futures = [pool.submit(analyse, i, lock.read, lock.write, table, results.send) for i in range(chunks)]
    pool.shutdown()  # waits for every chunk
    results.close()
    for t in sinks:
        t.join()
    ours = time.perf_counter() - t0
    for f in futures:
        f.result()  # re-raises a task's failure, if any

    # The standard library doing the same job.
    std_table = fresh_table()
    std_lock = threading.Lock()
    std_results = queue.Queue()
    std_counts = {}
    std_counts_lock = threading.Lock()
    std_latency = [0]
    done = object()

    def std_aggregate():
        while (got := std_results.get()) is not done:
            tally, latency = got
            with std_counts_lock:
                for key, n in tally.items():
                    std_counts[key] = std_counts.get(key, 0) + n
                std_latency[0] += latency

    t0 = time.perf_counter()
    std_sinks = [threading.Thread(target=std_aggregate) for _ in range(aggregators)]
    for t in std_sinks:
        t.start()
    with cf.ThreadPoolExecutor(workers) as executor:
        std_futures = [executor.submit(analyse, i, lambda: std_lock, lambda: std_lock, std_table,
                                       std_results.put) for i in range(chunks)]
    for _ in std_sinks:
        std_results.put(done)
    for t in std_sinks:
        t.join()
    theirs = time.perf_counter() - t0
    for f in std_futures:
        f.result()

    expected = collections.Counter()
    expected_latency = 0
    services = fresh_table()["services"]
    for text in logs:
        for line in text.split("\n"):
            _, route, status, ms = line.split()
            expected[(services[route], status)] += 1
            expected_latency += int(ms)
    got = {key: counter.get() for key, counter in counts.items()}
    assert got == dict(expected) == std_counts, (got, dict(expected), std_counts)
    assert latency_total.get() == expected_latency == std_latency[0]
    assert sorted(table["finished"]) == sorted(std_table["finished"]) == list(range(chunks))
    errors = sum(n for (_, status), n in got.items() if status != "200")
    print(f"pool: {workers} workers parsed {chunks} log chunks ({sum(got.values())} requests, "
          f"{errors} errors, mean latency {latency_total.get() / sum(got.values()):.1f} ms) "
          f"into {len(got)} counters via a Channel ({ours:.3f}s; ThreadPoolExecutor + Queue + locks "
          f"{theirs:.3f}s)")


SECTIONS = [demo_atomics, demo_map, demo_channels, demo_rwlock, demo_pool]


def main():
    print(f"_vornic demo on Python {sys.version.split()[0]}"
          f"{' (free-threaded)' if not getattr(sys, '_is_gil_enabled', lambda: True)() else ''}")
    for section in SECTIONS:
        section()
    print("all checks passed")


if __name__ == "__main__":
    main()
