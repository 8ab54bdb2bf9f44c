"""Concurrency stress on shared engines, for free-threaded and standard builds.

Eight Python threads share two engines of every method and, for a bounded time, mix
queries (random slices, random pool sizes, progress off: k nearest, counts, every
neighbour, exact counts, local shape), pickling, restoring each engine's own state,
len(), grid_stats() and the occupancy sample the automatic method choice takes. Every answer is compared with the answer
computed sequentially before the threads start. The only exceptions allowed are the
claim refusals "Already borrowed" and "Already mutably borrowed". A watchdog dumps every
thread's stack and exits if the run stalls. On a free-threaded build the GIL must stay
off throughout. Exits 0 and prints the counts on success.
"""

import argparse
import collections
import faulthandler
import pickle
import random
import sys
import sysconfig
import threading
import time
from dataclasses import dataclass

import numpy as np

import kesra

REFUSALS = ("Already borrowed", "Already mutably borrowed")
K = 8
WEIGHT = 1.5
POOL_SIZES = (0, 1, 2, 3, 5)
# Only there can the GIL stay off, which the run then checks.
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@dataclass
class Expected:
    """What one engine answered when used alone."""

    find: tuple[np.ndarray, np.ndarray]
    count: np.ndarray
    weighted: np.ndarray
    state: bytes
    state_bytes_sorted: np.ndarray
    size: int
    stats: dict | None
    every: tuple[np.ndarray, np.ndarray, np.ndarray]
    exact_counts: np.ndarray
    shape: tuple[np.ndarray, ...]
    clusters: tuple[np.ndarray, ...]


def make_engines(seed: int) -> tuple[list[kesra.KesraNNSEngine], np.ndarray]:
    """Two engines of every method (different parameters) and the query points, some
    of them NaN, spanning a few 256-row chunks."""
    rng = np.random.default_rng(seed)
    points = rng.uniform(0, 10, (3000, 3)).astype(np.float32)
    points[::500] = np.nan
    queries = rng.uniform(-0.5, 10.5, (700, 3)).astype(np.float32)
    queries[::97] = np.nan
    engines = []
    for method in kesra.available_methods():
        engines.append(kesra.KesraNNSEngine(points, 1.0, method))
        engines.append(kesra.KesraNNSEngine(points[:2000], 0.7, method, cells_per_radius=2,
                                            subtree_threshold=8, graph_degree=6))
    return engines, queries


def sequential(engine: kesra.KesraNNSEngine, queries: np.ndarray) -> Expected:
    state = engine.__getstate__()
    return Expected(engine.find_neighbours(queries, K, 1), engine.count_neighbours(queries, 1),
                    engine.count_neighbours(queries, 1, WEIGHT), state, sorted_bytes(state),
                    len(engine), engine.grid_stats(), engine.find_all_neighbours(queries, num_threads=1),
                    engine.neighbour_counts(queries, 1), shapes(engine, queries, 1), clusters(engine, 1))


def clusters(engine: kesra.KesraNNSEngine, threads: int) -> tuple[np.ndarray, ...]:
    return (*engine.dbscan(4, num_threads=threads), engine.radius_outliers(5, num_threads=threads),
            engine.statistical_outliers(K, 1.0, num_threads=threads)[0])


def shapes(engine: kesra.KesraNNSEngine, queries: np.ndarray, threads: int) -> tuple[np.ndarray, ...]:
    return (*engine.local_geometry(queries, K, num_threads=threads),
            *engine.local_geometry(queries, all_within=True, num_threads=threads),
            *engine.scale_geometry(queries, None, [3, K], threads),
            *engine.scale_geometry(queries, [0.3, 0.6], None, threads))


def rows_of(every: tuple[np.ndarray, np.ndarray, np.ndarray], a: int, b: int) -> tuple[np.ndarray, ...]:
    """Rows a:b of a find_all_neighbours result, with offsets from 0."""
    offsets, indices, distances = every
    return offsets[a:b + 1] - offsets[a], indices[offsets[a]:offsets[b]], distances[offsets[a]:offsets[b]]


def same(got: tuple[np.ndarray, ...], want: tuple[np.ndarray, ...]) -> bool:
    return all(np.array_equal(g, w, equal_nan=True) for g, w in zip(got, want, strict=True))


def sorted_bytes(state: bytes) -> np.ndarray:
    # A restored engine may write its cell map in another order, so states are compared
    # by length and byte content rather than byte for byte.
    return np.sort(np.frombuffer(state, np.uint8))


def same_state(state: bytes, want: Expected) -> bool:
    return state == want.state or (len(state) == len(want.state)
                                   and np.array_equal(sorted_bytes(state), want.state_bytes_sorted))


OPERATIONS = ("find", "find", "count", "weighted", "dumps", "setstate", "len", "stats", "loads", "every",
              "exact_counts", "shape", "occupancy", "clusters")
OCCUPANCY_POINTS = np.random.default_rng(7).uniform(0, 20, (20_000, 3)).astype(np.float32)
OCCUPANCY = kesra._kesra._sample_occupancy(OCCUPANCY_POINTS, 0.8, 4096)


def one_op(op: str, rng: random.Random, engine: kesra.KesraNNSEngine, want: Expected, queries: np.ndarray) -> None:
    """Runs operation `op` with random arguments and checks its answer."""
    a = rng.randrange(len(queries) + 1)
    b = rng.randrange(a, len(queries) + 1)
    threads = rng.choice(POOL_SIZES)
    if op == "find":
        idx, dist = engine.find_neighbours(queries[a:b], K, threads)
        ok = np.array_equal(idx, want.find[0][a:b]) and np.array_equal(dist, want.find[1][a:b], equal_nan=True)
    elif op == "count":
        ok = np.array_equal(engine.count_neighbours(queries[a:b], threads), want.count[a:b], equal_nan=True)
    elif op == "weighted":
        got = engine.count_neighbours(queries[a:b], threads, WEIGHT)
        ok = np.array_equal(got, want.weighted[a:b], equal_nan=True)
    elif op == "dumps":
        data = pickle.dumps(engine, protocol=5)
        _, args, state = engine.__reduce_ex__(5)[:3]
        ok = len(data) > len(state) and same_state(state, want) and args[3] == engine.method
    elif op == "setstate":
        engine.__setstate__(want.state)
        ok = True
    elif op == "len":
        ok = len(engine) == want.size
    elif op == "stats":
        ok = engine.grid_stats() == want.stats
    elif op == "every":
        ok = same(engine.find_all_neighbours(queries[a:b], num_threads=threads), rows_of(want.every, a, b))
    elif op == "exact_counts":
        ok = np.array_equal(engine.neighbour_counts(queries[a:b], threads), want.exact_counts[a:b])
    elif op == "shape":
        ok = same(shapes(engine, queries[a:b], threads), tuple(w[a:b] for w in want.shape))
    elif op == "clusters":
        ok = same(clusters(engine, threads), want.clusters)
    elif op == "occupancy":
        ok = kesra._kesra._sample_occupancy(OCCUPANCY_POINTS, 0.8, 4096) == OCCUPANCY
    else:
        copy = pickle.loads(pickle.dumps(engine))
        ok = len(copy) == want.size and np.array_equal(copy.count_neighbours(queries[a:b], threads),
                                                       want.count[a:b], equal_nan=True)
    if not ok:
        raise AssertionError(f"{op} on a {engine.method} engine, rows {a}:{b}, num_threads={threads}: wrong answer")


def run(seconds: float, threads: int = 8, seed: int = 0) -> dict[str, int]:
    """Runs the stress for `seconds` and returns the counts; raises on any fault."""
    engines, queries = make_engines(seed)
    expected = [sequential(e, queries) for e in engines]
    counts: collections.Counter[str] = collections.Counter()
    failures: list[str] = []
    lock = threading.Lock()
    start = threading.Barrier(threads)
    deadline = time.monotonic() + seconds

    def worker(i: int) -> None:
        rng = random.Random(seed * 1000 + i)
        local: collections.Counter[str] = collections.Counter()
        start.wait()
        try:
            while time.monotonic() < deadline and not failures:
                e, op = rng.randrange(len(engines)), rng.choice(OPERATIONS)
                try:
                    one_op(op, rng, engines[e], expected[e], queries)
                    local[op] += 1
                except RuntimeError as err:
                    # Restoring needs the engine to itself; everything else only shares it.
                    if str(err) != REFUSALS[0 if op == "setstate" else 1]:
                        raise
                    local[str(err)] += 1
        except BaseException as err:  # noqa: BLE001 - every other failure is a finding
            with lock:
                failures.append(f"thread {i}: {type(err).__name__}: {err}")
        with lock:
            counts.update(local)

    # Generous: one operation takes milliseconds, the slowest well under a second.
    faulthandler.dump_traceback_later(seconds + 120, exit=True)
    pool = [threading.Thread(target=worker, args=(i,), daemon=True) for i in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join(seconds + 60)
        if t.is_alive():
            failures.append(f"{t.name} still running: deadlock or stall")
            faulthandler.dump_traceback(all_threads=True)
            break
    faulthandler.cancel_dump_traceback_later()
    if failures:
        raise AssertionError("; ".join(failures))
    # Each engine still answers as before and its claim is free.
    for engine, want in zip(engines, expected, strict=True):
        engine.__setstate__(want.state)
        assert np.array_equal(engine.count_neighbours(queries), want.count, equal_nan=True)
    if FREE_THREADED and sys._is_gil_enabled():
        raise AssertionError("the GIL was enabled during the run")
    return dict(counts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--threads", type=int, default=8)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    began = time.monotonic()
    counts = run(args.seconds, args.threads, args.seed)
    ops = sum(v for k, v in counts.items() if k not in REFUSALS)
    refused = {k: counts.get(k, 0) for k in REFUSALS}
    print(f"stress: {ops} operations in {time.monotonic() - began:.1f}s on {args.threads} threads, "
          f"refused claims {refused}, by operation {dict(sorted(counts.items()))}, "
          f"GIL {'disabled' if FREE_THREADED else 'held (standard build)'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
