"""Several Python threads on one engine, and the size of the per-call worker pool."""

import os
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import kesra


def run_all(engine, queries, num_threads):
    return (*engine.find_neighbours(queries, 12, num_threads=num_threads),
            engine.count_neighbours(queries, num_threads),
            engine.count_neighbours(queries, num_threads, 1.5),
            engine.find_neighbours(queries, 3, num_threads, 0.7)[0])


def assert_same(a, b):
    for x, y in zip(a, b, strict=True):
        np.testing.assert_array_equal(x, y)


@pytest.fixture(scope="module")
def workload(cloud):
    # Many 256-row chunks, and NaN rows whose answer depends on the cell walk alone.
    queries = cloud[1].copy()
    queries[::397] = np.nan
    return kesra.KesraNNSEngine(cloud[0], 1.0, cells_per_radius=2), queries


def test_thread_counts_give_identical_results(workload):
    engine, queries = workload
    expected = run_all(engine, queries, 0)
    for n in (1, 2, 3):
        assert_same(run_all(engine, queries, n), expected)


def test_clusters_and_flags_same_bytes_at_any_thread_count(cloud):
    nns = kesra.KesraNNS(np.concatenate([cloud[0], cloud[0][::7]]), 1.0)  # duplicates too
    def run(n):
        return (*nns.dbscan(5, num_threads=n), *nns.dbscan(1, min_cluster_size=3, num_threads=n),
                nns.radius_outliers(6, num_threads=n), nns.statistical_outliers(8, 1.0, num_threads=n),
                np.concatenate(list(nns.pairs(max_pairs=20_000, num_threads=n))))
    expected = run(1)
    for n in (2, 3, 1):
        assert_same(run(n), expected)


def test_threads_share_one_engine(workload):
    engine, queries = workload
    parts = [queries[i::3] for i in range(3)]
    expected = [run_all(engine, p, 1) for p in parts]
    barrier = threading.Barrier(6)

    def work(i):
        barrier.wait()
        runs = [run_all(engine, parts[i % 3], i % 3) for _ in range(2)]
        assert len(engine) == 20_000 and engine.method == "voxel" and engine.grid_stats()
        return runs

    with ThreadPoolExecutor(6) as pool:
        for i, runs in enumerate(pool.map(work, range(6))):
            for got in runs:
                assert_same(got, expected[i % 3])


# Counts the child's threads while a long query runs on another thread: the pool's
# workers live for the whole call, so the peak minus the threads present before is the
# pool size. The pool size is read from the environment whenever a pool is built.
POOL_PROBE = r"""
import os, threading, time
import numpy as np, kesra

threads = lambda: len(os.listdir("/proc/self/task"))
base = threads()
rng = np.random.default_rng(0)
engine = kesra.KesraNNSEngine(rng.uniform(0, 30, (100_000, 3)).astype(np.float32), 1.5)
q = rng.uniform(0, 30, (200_000, 3)).astype(np.float32)

def run(num_threads):
    # Workers inherit this thread's lower priority, so polling is not starved of CPU.
    os.setpriority(os.PRIO_PROCESS, 0, 15)
    engine.count_neighbours(q, num_threads)

def pool_size(num_threads, **env):
    os.environ.update(env)
    while threads() > base:  # workers of earlier pools exit without being waited for
        time.sleep(0.01)
    t = threading.Thread(target=run, args=(num_threads,))
    t.start()
    peak = 0
    while t.is_alive():
        peak = max(peak, threads())
        time.sleep(0.002)
    return peak - base - 1

print(pool_size(0, RAYON_NUM_THREADS="3"), pool_size(2),
      pool_size(0, RAYON_NUM_THREADS="abc", RAYON_RS_NUM_CPUS="3"),
      pool_size(0, RAYON_NUM_THREADS="0"))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="needs /proc/self/task")
def test_pool_size():
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    proc = subprocess.run([sys.executable, "-c", POOL_PROBE], env=env, capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    # "0" means all CPUs even while RAYON_RS_NUM_CPUS is set.
    assert proc.stdout.split() == ["3", "2", "3", str(len(os.sched_getaffinity(0)))]
