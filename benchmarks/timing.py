"""Timing helper shared by the benchmark modules."""

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
