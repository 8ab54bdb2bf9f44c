"""Resident memory stays flat over many repeated small calls of every entry point,
the failing paths included. Measured in a fresh interpreter; also runnable directly:
`python tests/python/test_leaks.py --calls 100000` prints the figures."""

import argparse
import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

# Each call's results and errors are small but not tiny (a find result holds 1 KiB of
# buffers), so a leak of one of them per call grows far beyond this over the calls.
GROWTH_LIMIT = 4 << 20
WARM_UP = 1000


def resident_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def calls() -> dict[str, tuple[bool, object]]:
    """Every entry point, once succeeding and once failing: name -> (starts a worker
    pool, call). Failing calls must raise; the exception is swallowed."""
    import kesra

    rng = np.random.default_rng(0)
    points = rng.uniform(0, 3, (64, 3)).astype(np.float32)
    queries = points[:16]
    engines = {m: kesra.KesraNNSEngine(points, 1.0, m, subtree_threshold=8) for m in kesra.available_methods()}
    voxel = engines["voxel"]
    states = {m: e.__getstate__() for m, e in engines.items()}
    target = kesra.KesraNNSEngine(points[:0], 1.0)
    big = rng.uniform(0, 20, (20_000, 3)).astype(np.float32)
    ids, counts = np.array([0, 2, 0, 1], np.int64), np.array([2, 1, 1], np.int64)
    table = {
        "construct voxel": (True, lambda: kesra.KesraNNSEngine(points, 1.0)),
        "construct graph": (True, lambda: kesra.KesraNNSEngine(points, 1.0, "graph", graph_degree=4)),
        "find voxel": (True, lambda: voxel.find_neighbours(queries, 8, 1)),
        "find graph": (True, lambda: engines["graph"].find_neighbours(queries, 8, 1)),
        "count hybrid": (True, lambda: engines["hybrid"].count_neighbours(queries, 1)),
        "count weighted kdtree": (True, lambda: engines["kdtree"].count_neighbours(queries, 2, 1.5)),
        "find_all sorted voxel, unsorted kdtree": (True, lambda: (
            voxel.find_all_neighbours(queries, num_threads=1),
            engines["kdtree"].find_all_neighbours(queries, sort=False, num_threads=1))),
        "neighbour_counts hybrid": (True, lambda: engines["hybrid"].neighbour_counts(queries, 1)),
        "local_geometry k, all within": (True, lambda: (
            voxel.local_geometry(queries, 8, num_threads=1, viewpoint=[0, 0, 9]),
            engines["graph"].local_geometry(queries, all_within=True, num_threads=1))),
        "dbscan, flags, pairs": (True, lambda: (
            voxel.dbscan(4, num_threads=1), engines["graph"].dbscan(3, 2, 1, False, np.ones(64, bool)),
            engines["kdtree"].radius_outliers(5, queries, 1), engines["hybrid"].statistical_outliers(8, 2.0, 1),
            voxel.mean_neighbour_distances(8, None, 1),
            voxel.pairs(0, 64, voxel.pair_counts(1), 1))),
        "scale_geometry radii, k": (True, lambda: (
            voxel.scale_geometry(queries, [0.5, 1.0], None, 1, viewpoint=[0, 0, 9]),
            engines["kdtree"].scale_geometry(queries, None, [4, 8], 1))),
        "auto choice": (False, lambda: kesra._kesra._sample_occupancy(big, 0.5, 2048)),
        "getstate": (False, voxel.__getstate__),
        "getnewargs": (False, voxel.__getnewargs__),
        "setstate hybrid": (False, lambda: target.__setstate__(states["hybrid"])),
        "pickle round trip graph": (True, lambda: pickle.loads(pickle.dumps(engines["graph"]))),
        "len, method, grid_stats": (False, lambda: (len(voxel), voxel.method, engines["graph"].grid_stats())),
        "available_methods": (False, kesra.available_methods),
        "indices_by_field": (False, lambda: kesra.indices_by_field(ids, counts)),
        # Failing paths.
        "construct: shape, dtype, max_dist": (False, lambda: [fail(kesra.KesraNNSEngine, *a) for a in (
            (points[:, :2], 1.0), (points.astype(np.float64), 1.0), (points, float("nan")))]),
        "construct: unknown method": (True, lambda: fail(kesra.KesraNNSEngine, points, 1.0, "Voxel")),
        "construct: offset table": (True, lambda: fail(kesra.KesraNNSEngine, points, 1.0, "hybrid", 2**31)),
        "find: k unallocatable": (True, lambda: fail(voxel.find_neighbours, queries, 2**40, 1)),
        "find: k unrepresentable, progress": (False, lambda: (fail(voxel.find_neighbours, queries, 2**63),
                                                              fail(voxel.find_neighbours, queries, 1, 0, 0.0, 1))),
        "count: weight, shape": (False, lambda: (fail(voxel.count_neighbours, queries, 0, -1.0),
                                                 fail(voxel.count_neighbours, points[:, :2]))),
        "setstate: truncated, str, variant": (False, lambda: (
            fail(target.__setstate__, states["graph"][:-40]), fail(target.__setstate__, "x"),
            fail(target.__setstate__, b"\x07\0\0\0"))),
        "indices_by_field: contract": (False, lambda: fail(kesra.indices_by_field, ids, counts[:2])),
        "find_all: counts, local_geometry: viewpoint": (True, lambda: (
            fail(voxel.find_all_neighbours, queries, True, 1, False, np.zeros(16, np.int64)),
            fail(voxel.local_geometry, queries, 8, False, 1, False, [0, 0]),
            fail(voxel.scale_geometry, queries, [0.5, 2.0]))),
        "dbscan: core, pairs: counts": (True, lambda: (
            fail(voxel.dbscan, 4, 1, 1, False, np.ones(3, bool)),
            fail(voxel.pairs, 0, 64, np.full(64, 70, np.int64), 1))),
    }
    return table


def fail(call, *args) -> None:
    try:
        call(*args)
    except BaseException:  # noqa: BLE001 - ValueError, MemoryError, the internal error, ...
        return
    raise AssertionError(f"{call} did not fail")


def measure(n_calls: int, pool_calls: int) -> dict[str, list[int]]:
    """name -> [resident bytes before, after, calls made]."""
    out = {}
    for name, (uses_pool, call) in calls().items():
        n = pool_calls if uses_pool else n_calls
        for _ in range(WARM_UP):
            call()
        before = resident_bytes()
        for _ in range(n):
            call()
        out[name] = [before, resident_bytes(), n]
    return out


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="ASan holds freed memory in quarantine")
def test_resident_memory_stays_flat():
    # Calls that start a worker pool take tens of microseconds: fewer of them here
    # (`make leaks` makes 100,000 of every call).
    proc = subprocess.run([sys.executable, __file__, "--calls", "100000", "--pool-calls", "10000", "--json"],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr
    grown = {name: after - before for name, (before, after, _) in json.loads(proc.stdout).items()}
    assert max(grown.values()) < GROWTH_LIMIT, grown


def main() -> int:
    parser = argparse.ArgumentParser(description="resident memory over repeated calls")
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--pool-calls", type=int, default=None, help="for calls that start a pool")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    result = measure(args.calls, args.pool_calls or args.calls)
    if args.json:
        print(json.dumps(result))
    else:
        for name, (before, after, n) in result.items():
            print(f"{name:36} {n:7} calls  {before / 2**20:7.1f} -> {after / 2**20:7.1f} MiB")
        first, last = next(iter(result.values())), list(result.values())[-1]
        print(f"{'all':36} {sum(n for *_, n in result.values()):7} calls  "
              f"{first[0] / 2**20:7.1f} -> {last[1] / 2**20:7.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
