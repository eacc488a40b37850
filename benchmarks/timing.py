"""Timing helpers shared by the benchmark modules."""

import statistics
import time

RUNS = 7


def median_time(fn, runs: int = RUNS) -> float:
    """Median wall time of `runs` calls of fn, after one warm-up call."""
    fn()
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        fn()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples)


def per_call(fn, calls: int = 2000, runs: int = RUNS) -> float:
    """Median time of one call of a fast fn, from `runs` batches of `calls` calls."""
    fn()
    samples = []
    for _ in range(runs):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        samples.append((time.perf_counter() - start) / calls)
    return statistics.median(samples)
