"""ThreadPool against concurrent.futures.ThreadPoolExecutor with the same
number of workers: one round trip, a burst of tiny tasks, and submit alone.

The two pools are measured alternately, round after round, and each keeps its
best round, so that a change in the machine's load during the run hits both
sides alike instead of whichever happened to be measured second.
"""
import concurrent.futures as cf
import gc
import os

from common import best_of, table

import _vornic


def noop():
    return None


def round_trip(pool):
    submit = pool.submit

    def run(k):
        for _ in range(k):
            submit(noop).result()
    return run


def burst(pool):
    """k tiny tasks submitted, then every one awaited."""
    submit = pool.submit

    def run(k):
        futures = [submit(noop) for _ in range(k)]
        for f in futures:
            f.result()
    return run


class SubmitOnly:
    """k submits; the tasks are awaited afterwards, outside the timing."""

    def __init__(self, pool):
        self.submit = pool.submit
        self.pending = []

    def __call__(self, k):
        submit = self.submit
        self.pending = [submit(noop) for _ in range(k)]

    def settle(self):
        cf.wait(self.pending)
        self.pending = []


def alternate(make, pools, number, rounds=7):
    """Best seconds per operation of each pool over alternating rounds."""
    best = [float("inf")] * len(pools)
    for _ in range(rounds):
        for i, pool in enumerate(pools):
            run = make(pool)
            gc.collect()
            best[i] = min(best[i], best_of(run, number, repeat=1))
            if isinstance(run, SubmitOnly):
                run.settle()
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
        rt = alternate(round_trip, pools, 2_000)
        tp = alternate(burst, pools, tasks)
        sub = alternate(SubmitOnly, pools, tasks)
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
