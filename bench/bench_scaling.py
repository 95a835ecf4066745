"""Throughput at 1 and at N threads (run it on a free-threaded build).

Each case runs the same operation loop in T threads at once and reports the
operations per second of all threads together, for ours, a standard-library
baseline and the free-threading peers that are installed (ft_utils,
cereggii). Ratios only: scaling is ours at T threads over ours at one thread,
and "vs" is ours over the other at the same thread count (above 1.00x means
ours is faster).

"eff" puts scaling in proportion to what the machine gives: the same run
first measures an embarrassingly parallel loop (each thread reading its own
private dict), and eff is a case's scaling divided by that loop's. 1.00 means
the case scales as well as work that shares nothing; on a loaded or small
machine the calibration itself may reach well under T.

    python bench/bench_scaling.py [--threads 1,2] [--scale K] [--rounds R]

--scale multiplies every loop's length (default 1: each timed run lasts
10-50 ms); longer runs and more rounds (best of R) steady the figures on a
noisy machine.
"""
import argparse
import concurrent.futures as cf
import itertools
import queue
import sys
import threading
import time

from _vornic import AtomicInteger, Channel, ConcurrentMap, RwLock, ThreadPool

try:
    from ft_utils.concurrency import AtomicInt64 as FtAtomic, ConcurrentDict as FtDict, ConcurrentQueue as FtQueue
    from ft_utils.synchronization import RWLock as FtRWLock, RWReadContext as FtRead
except ImportError:  # not installed for this interpreter
    FtDict = None
try:
    import cereggii
except ImportError:
    cereggii = None

OPS = 200_000  # per thread and round, scaled down for the slow cases
HOT = 64


def run_threads(n, make_body):
    """Runs make_body(i)() in n threads started together; returns seconds.

    make_body(i) may instead return a pair (prepare, body): each thread then
    runs prepare() before the start, untimed, and times body(prepare())."""
    bodies = [make_body(i) for i in range(n)]
    start = threading.Barrier(n)
    began, done = [], []

    # The clock starts in the threads themselves: a main thread that took
    # the time after the barrier could be left without a processor until a
    # worker finished, and then time almost nothing.
    def wrap(body):
        prepare, run = body if isinstance(body, tuple) else (lambda: None, lambda _: body())
        state = prepare()
        start.wait()
        began.append(time.perf_counter())
        run(state)
        done.append(time.perf_counter())

    threads = [threading.Thread(target=wrap, args=(b,)) for b in bodies]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return max(done) - min(began)


ROUNDS = 3


def throughput(n, make_body, ops_per_thread, rounds=None):
    """Best operations per second of `rounds` runs of n threads."""
    return max(n * ops_per_thread / run_threads(n, make_body) for _ in range(rounds or ROUNDS))


def measure(n, setups, rounds=None):
    """setups: {kind: () -> (make_body, ops_per_thread)}. Every round runs each
    kind once, in turn, each time on a freshly set-up object, so that a machine
    whose speed drifts during the run (shared or throttled cores) weighs on
    all kinds alike. Returns each kind's best operations per second."""
    best = dict.fromkeys(setups, 0.0)
    for _ in range(rounds or ROUNDS):
        for kind, setup in setups.items():
            make, ops = setup()
            best[kind] = max(best[kind], n * ops / run_threads(n, make))
    return best


# ---- cases: each returns make_body(i) for a given implementation -------------
# Each thread binds its own method objects (`bind()`) before its loop, as code
# that calls `obj.method(...)` in its own loop would: a bound method shared by
# every thread would be the hottest reference count in the run and measure
# that, not the object under test.

def calibration(kind):
    # Nothing shared: each thread reads its own dict with its own keys.
    def make(i):
        d = {k: k for k in range(HOT)}
        ks = list(d) * (OPS // HOT)

        def body():
            get = d.get
            for k in ks:
                get(k)
        return body
    return make, HOT * (OPS // HOT)


def str_keys():
    """HOT distinct str objects built at run time (mortal, not interned)."""
    return ["".join(("key-", str(k))) for k in range(HOT)]


def map_get(kind, key_type=int):
    # With str keys each thread looks up with its own equal-but-distinct key
    # objects, and the map holds yet other equal objects: the loop itself
    # then writes no shared reference count, and what is measured is whether
    # the lookup does.
    stored = list(range(HOT)) if key_type is int else str_keys()
    if kind == "ours":
        m = ConcurrentMap()
        for n, k in enumerate(stored):
            m.set(k, n)
        bind = lambda: m.get  # noqa: E731
    elif kind == "dict":
        d = {k: n for n, k in enumerate(stored)}
        bind = lambda: d.get  # noqa: E731
    elif kind == "lock+dict":
        d, lock = {k: n for n, k in enumerate(stored)}, threading.Lock()

        def get(k):
            with lock:
                return d.get(k)
        bind = lambda: get  # noqa: E731
    elif kind == "ft_utils":
        d = FtDict()
        for n, k in enumerate(stored):
            d[k] = n
        bind = lambda: d.__getitem__  # noqa: E731
    else:
        d = cereggii.AtomicDict({k: n for n, k in enumerate(stored)})
        bind = lambda: d.__getitem__  # noqa: E731

    def make(i):
        # Each thread builds its own probe keys, untimed: keys built by
        # another thread would be owned by it, so that every reference the
        # loop takes on one is an atomic write, and keys built in turn for
        # each thread land interleaved on neighbouring cache lines -- the
        # loop itself would then write lines the other threads write (a
        # private dict read that way loses a fifth of its scaling).
        # Each thread walks the hot keys from its own starting point, so
        # threads are not in step on the same key.
        start = (i * HOT) // 2 % HOT

        def prepare():
            keys = list(range(HOT)) if key_type is int else str_keys()
            return (keys[start:] + keys[:start]) * (OPS // HOT)

        def body(ks):
            get = bind()
            for k in ks:
                get(k)
        return prepare, body
    return make, HOT * (OPS // HOT)


def map_get_str(kind):
    return map_get(kind, str)


def map_set(kind):
    per = OPS // 2
    if kind == "ours":
        m = ConcurrentMap()
        bind = lambda: m.set  # noqa: E731
    elif kind == "dict":
        d = {}
        bind = lambda: d.__setitem__  # noqa: E731
    elif kind == "lock+dict":
        d, lock = {}, threading.Lock()

        def put(k, v):
            with lock:
                d[k] = v
        bind = lambda: put  # noqa: E731
    elif kind == "ft_utils":
        d = FtDict()
        bind = lambda: d.__setitem__  # noqa: E731
    else:
        d = cereggii.AtomicDict()
        bind = lambda: d.__setitem__  # noqa: E731

    def make(i):
        ks = range(i * per, (i + 1) * per)

        def body():
            put = bind()
            for k in ks:
                put(k, k)
        return body
    return make, per


def counter(kind):
    if kind == "ours":
        a = AtomicInteger()
        bind = lambda: a.increment_relaxed  # noqa: E731
    elif kind == "lock+int":
        box, lock = [0], threading.Lock()

        def inc():
            with lock:
                box[0] += 1
        bind = lambda: inc  # noqa: E731
    elif kind == "ft_utils":
        a = FtAtomic()
        bind = lambda: a.incr  # noqa: E731
    else:
        a = cereggii.AtomicInt64()
        bind = lambda: a.increment_and_get  # noqa: E731

    def make(i):
        def body():
            inc = bind()
            for _ in itertools.repeat(None, OPS):
                inc()
        return body
    return make, OPS


def channel_mpmc(kind):
    # Every thread both produces and consumes: sends a batch, receives a batch.
    per, batch = OPS // 4, 64
    if kind == "ours":
        ch = Channel()
        bind = lambda: (ch.send, ch.recv)  # noqa: E731
    elif kind == "queue.Queue":
        q = queue.Queue()
        bind = lambda: (q.put, q.get)  # noqa: E731
    else:
        q = FtQueue()
        bind = lambda: (q.push, q.pop)  # noqa: E731

    def make(i):
        def body():
            put, get = bind()
            for _ in range(per // batch):
                for x in range(batch):
                    put(x)
                for _ in range(batch):
                    get()
        return body
    return make, 2 * (per // batch) * batch


def rwlock_read(kind):
    if kind == "ours":
        lock = RwLock()
        bind = lambda: lock.read  # noqa: E731
    elif kind == "threading.Lock":
        lock = threading.Lock()
        bind = lambda: lambda: lock  # noqa: E731
    else:
        lock = FtRWLock()
        bind = lambda: lambda: FtRead(lock)  # noqa: E731

    def make(i):
        def body():
            enter = bind()
            for _ in itertools.repeat(None, OPS // 2):
                with enter():
                    pass
        return body
    return make, OPS // 2


def rwlock_rows(counts, ft):
    """The read lock against a shared threading.Lock, with "eff": the case's
    T-thread/1-thread ratio over that of the private-dict loop in the same
    run (1.00 scales as well as a loop that shares nothing)."""
    kinds = ["ours", "threading.Lock"] + ["ft_utils"] * ft
    names = {"ours": "with RwLock.read()", "threading.Lock": "with threading.Lock() (shared)",
             "ft_utils": "ft_utils RWReadContext"}
    rates = {}
    for n in counts:
        setups = {"calibration": lambda: calibration(None)}
        setups.update({kind: (lambda kind=kind: rwlock_read(kind)) for kind in kinds})
        for kind, r in measure(n, setups).items():
            rates[kind, n] = r
    one = counts[0]
    print("\n| case | threads | M ops/s | T/1T | eff | vs shared threading.Lock |")
    print("|---" * 6 + "|")
    for kind in ["calibration"] + kinds:
        for n in counts:
            r = rates[kind, n]
            scale = r / rates[kind, one]
            eff = scale / (rates["calibration", n] / rates["calibration", one])
            vs = "" if kind == "calibration" else f"{r / rates['threading.Lock', n]:.2f}x"
            name = names.get(kind, "private dict.get per thread (calibration)")
            print(f"| {name} | {n} | {r / 1e6:.2f} | {scale:.2f} | {eff:.2f} | {vs} |")


def pool_tiny(kind, workers):
    # Each thread submits tiny tasks in batches and waits for each batch.
    per, batch = OPS // 20, 100
    pool = ThreadPool(workers) if kind == "ours" else cf.ThreadPoolExecutor(workers)

    def make(i):
        def body():
            submit = pool.submit
            for _ in range(per // batch):
                fs = [submit(int) for _ in range(batch)]
                for f in fs:
                    f.result()
        return body
    return make, (per // batch) * batch, pool


def main(argv=()):
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", default="1,2")
    ap.add_argument("--scale", type=int, default=1)
    ap.add_argument("--rounds", type=int, default=3)
    args = ap.parse_args(list(argv))
    global OPS, ROUNDS
    OPS, ROUNDS = OPS * args.scale, args.rounds
    counts = [int(x) for x in args.threads.split(",")]
    ft = FtDict is not None
    cg = cereggii is not None
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"\n## Scaling (threads {counts}; GIL {'on' if gil else 'off'}; ops/s of all threads together)\n")

    # The machine's own scaling, once, for the line below and the pool rows;
    # every other case measures the private-dict loop in its own rounds,
    # interleaved with its kinds, and its eff divides by that.
    cal = {n: throughput(n, *calibration(None)) for n in counts}
    cal_scaling = {n: cal[n] / cal[counts[0]] for n in counts}
    print("calibration (private dict per thread): "
          + ", ".join(f"{n} threads {cal[n] / 1e6:.2f} M/s ({cal_scaling[n]:.2f}x)" for n in counts) + "\n")

    peers = ["ft_utils"] * ft + ["cereggii"] * cg
    cases = [
        ("map get, 64 hot int keys", map_get, ["ours", "dict", "lock+dict"] + peers),
        ("map get, 64 hot str keys", map_get_str, ["ours", "dict", "lock+dict"] + peers),
        ("map set, distinct keys", map_set, ["ours", "dict", "lock+dict"] + peers),
        ("counter increment", counter, ["ours", "lock+int"] + peers),
        ("channel MPMC", channel_mpmc, ["ours", "queue.Queue"] + ["ft_utils"] * ft),
    ]
    header = "| case | threads | " + " | ".join(["ours", "scaling", "eff", "baseline", "ours vs baseline", "others"]) + " |"
    print(header)
    print("|---" * 8 + "|")

    def row(name, n, rates, first, base_name, others, cal_scale):
        scaling = rates["ours"] / first
        rest = ", ".join(f"{k} {rates['ours'] / rates[k]:.2f}x" for k in others)
        print(f"| {name} | {n} | {rates['ours'] / 1e6:.2f} M/s | {scaling:.2f}x | {scaling / cal_scale:.2f} | "
              f"{base_name} {rates[base_name] / 1e6:.2f} M/s | {rates['ours'] / rates[base_name]:.2f}x | {rest} |")

    for name, case, kinds in cases:
        for n in counts:
            setups = {"calibration": lambda: calibration(None)}
            setups.update({kind: (lambda kind=kind: case(kind)) for kind in kinds})
            rates = measure(n, setups)
            if n == counts[0]:
                first, cal_first = rates["ours"], rates["calibration"]
            row(name, n, rates, first, kinds[1], kinds[2:], rates["calibration"] / cal_first)
    for n in counts:
        rates = {}
        for kind in ("ours", "ThreadPoolExecutor"):
            make, ops, pool = pool_tiny(kind, n)
            try:
                rates[kind] = throughput(n, make, ops)
            finally:
                pool.shutdown()
        if n == counts[0]:
            first = rates["ours"]
        row(f"pool tiny tasks ({n} workers)", n, rates, first, "ThreadPoolExecutor", [], cal_scaling[n])
    rwlock_rows(counts, ft)


if __name__ == "__main__":
    main(sys.argv[1:])
