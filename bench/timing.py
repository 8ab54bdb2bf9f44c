"""Steady timings for the benchmarks: a call repeated until it has run long enough."""

import statistics

from kesra.demo import timed

MAX_CALLS = 400  # per timed run, however short the call


def timed_steady(fn, *args, min_time=0.0, **kwargs):
    """(last result, median seconds per call) over calls repeated until min_time has passed."""
    result, first = timed(fn, *args, **kwargs)
    seconds, spent = [first], first
    while spent < min_time and len(seconds) < MAX_CALLS:
        del result  # a build's structure goes before the next one is made
        result, elapsed = timed(fn, *args, **kwargs)
        seconds.append(elapsed)
        spent += elapsed
    return result, statistics.median(seconds)


def repeats_for(seconds, min_time):
    """Calls that fill min_time when one takes `seconds`."""
    return min(MAX_CALLS, int(min_time / max(seconds, 1e-9)) + 1)
