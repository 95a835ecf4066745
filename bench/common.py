"""Shared helpers for the benchmarks: time a callable, print a ratio table.

Every figure is a ratio measured in the same run against a standard-library
equivalent, so the machine's speed cancels out. Nothing here is a test.
"""
import time


def best_of(fn, number, repeat=5):
    """Best wall time, in seconds per call, of `number` calls of fn()."""
    best = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn(number)
        best = min(best, time.perf_counter() - t0)
    return best / number


def loop(body):
    """Wraps a zero-argument callable into fn(number) that calls it number times."""
    def run(number):
        for _ in range(number):
            body()
    return run


def table(title, rows):
    """rows: (case, ours_seconds, baseline_name, baseline_seconds[, goal_text])."""
    print(f"\n## {title}\n")
    print("| case | ours | baseline | baseline time | ours / baseline | goal |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        case, ours, base_name, base = row[:4]
        goal = row[4] if len(row) > 4 else ""
        print(f"| {case} | {fmt(ours)} | {base_name} | {fmt(base)} | {ours / base:.2f}x | {goal} |")


def fmt(seconds):
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    return f"{seconds * 1e3:.1f} ms"
