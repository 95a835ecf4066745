"""ThreadPool against concurrent.futures.ThreadPoolExecutor with the same
number of workers: one round trip, a burst of tiny tasks, and submit alone.

The two pools are measured alternately, round after round, and each keeps its
best round, so that a change in the machine's load during the run hits both
sides alike instead of whichever happened to be measured second.
"""
import concurrent.futures as cf
import gc
import os
import time

from common import table

import _vornic


def noop():
    return None


def round_trip(pool, n):
    submit = pool.submit
    t0 = time.perf_counter()
    for _ in range(n):
        submit(noop).result()
    return (time.perf_counter() - t0) / n


def burst(pool, n):
    submit = pool.submit
    t0 = time.perf_counter()
    futures = [submit(noop) for _ in range(n)]
    for f in futures:
        f.result()
    return (time.perf_counter() - t0) / n


def submit_only(pool, n):
    """Per-call time of n submits; waiting for them is not timed."""
    submit = pool.submit
    t0 = time.perf_counter()
    futures = [submit(noop) for _ in range(n)]
    elapsed = time.perf_counter() - t0
    cf.wait(futures)
    return elapsed / n


def alternate(measure, pools, n, rounds):
    """Best per-task time of each pool over `rounds` alternating rounds."""
    best = [float("inf")] * len(pools)
    for _ in range(rounds):
        for i, pool in enumerate(pools):
            gc.collect()
            best[i] = min(best[i], measure(pool, n))
    return best


def main():
    workers = len(os.sched_getaffinity(0))
    tasks = 20_000
    ours = _vornic.ThreadPool(workers)
    theirs = cf.ThreadPoolExecutor(max_workers=workers)
    pools = (ours, theirs)
    try:
        # Warm both up so that every executor thread exists before timing.
        for p in pools:
            cf.wait([p.submit(noop) for _ in range(2 * workers)])
        rt = alternate(round_trip, pools, 2_000, 7)
        tp = alternate(burst, pools, tasks, 7)
        sub = alternate(submit_only, pools, tasks, 7)
    finally:
        ours.shutdown()
        theirs.shutdown()
    base = f"ThreadPoolExecutor({workers})"
    table(f"ThreadPool({workers}), best of 7 alternating rounds", [
        ("submit(f).result() round trip", rt[0], base, rt[1], "<= 0.7x"),
        (f"{tasks} tiny tasks, submit then wait (per task)", tp[0], base, tp[1], "<= 0.7x"),
        ("submit(f) alone (per call)", sub[0], base, sub[1]),
    ])


if __name__ == "__main__":
    main()
