"""Benchmark queries over Dask: 1 against 2 worker processes, and against one call in
this process.

Usage, from the repository root:

    .venv/bin/python bench/bench_dask.py [--queries M] [--points N] [--chunk ROWS] [--method NAME]

Builds one engine over an N-point height-field surface (default 1,000,000; r for about
30 neighbours) and times `kesra.dask.find_neighbours` (k = 16) and `count_neighbours`
over M query points on that surface (default 10,000,000, in chunks of --chunk rows,
generated on the workers) on a LocalCluster of 1 and of 2 worker processes with one
thread each. Results stay on the workers (persisted), so the times hold the queries,
the scheduling and the shipping of the engine, not the transfer of results back. The
same queries answered by one in-process call with one thread are the baseline.
Reports the speed-up of 2 workers over 1, the overhead of 1 worker over the
in-process call, and the bytes shipped per engine (its pickled state). Medians of
--repeats runs (default 3). A mismatch with the in-process answers on a sample chunk
exits with status 1.
"""

import argparse
import pickle
import statistics
import sys
import time
import warnings

import dask.array as da
import numpy as np
from distributed import Client, LocalCluster, wait

from kesra import KesraNNSEngine, suggest_radius
from kesra import dask as kd
from kesra.clouds import height_field_surface
from kesra.demo import format_table, timed

K = 16


def query_chunk(block: np.ndarray, block_info: dict | None = None) -> np.ndarray:
    """Queries of one chunk: points of the same surface, a different sample per chunk."""
    (start, stop), _ = block_info[None]["array-location"]
    return height_field_surface(stop - start, seed=1000 + start)


def query_array(m: int, chunk: int) -> da.Array:
    return da.zeros((m, 3), np.float32, chunks=(chunk, 3)).map_blocks(query_chunk, dtype=np.float32)


def time_on_cluster(workers: int, engine: KesraNNSEngine, m: int, chunk: int, repeats: int,
                    ) -> tuple[float, float, np.ndarray, np.ndarray]:
    """Median find and count times; the first chunk's answers for checking."""
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        queries = client.persist(query_array(m, chunk))
        wait(queries)
        finds, counts = [], []
        for _ in range(repeats):
            start = time.perf_counter()
            idx, dist = client.persist(list(kd.find_neighbours(engine, queries, K)))
            wait([idx, dist])
            finds.append(time.perf_counter() - start)
            start = time.perf_counter()
            c = client.persist(kd.count_neighbours(engine, queries))
            wait(c)
            counts.append(time.perf_counter() - start)
        sample = idx.blocks[0].compute(), c.blocks[0].compute()
    return statistics.median(finds), statistics.median(counts), *sample


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Time kesra.dask queries on 1 and 2 worker processes.")
    parser.add_argument("--queries", type=int, default=10_000_000, help="query points (default 10,000,000)")
    parser.add_argument("--points", type=int, default=1_000_000, help="search points (default 1,000,000)")
    parser.add_argument("--chunk", type=int, default=250_000, help="query rows per chunk (default 250,000)")
    parser.add_argument("--method", default="voxel", help="search method (default voxel)")
    parser.add_argument("--repeats", type=int, default=3, help="runs per measurement (default 3)")
    args = parser.parse_args(argv)
    # The engine travels inside the task graph; distributed warns about graphs over 10 MiB.
    warnings.filterwarnings("ignore", "Sending large graph")

    points = height_field_surface(args.points)
    radius = suggest_radius(points, 30, "mean")
    engine = KesraNNSEngine(points, radius, args.method)
    state_bytes = len(pickle.dumps(engine))

    queries = query_array(args.queries, args.chunk).compute(scheduler="sync")
    local_find = statistics.median(timed(engine.find_neighbours, queries, K, num_threads=1)[1]
                                   for _ in range(args.repeats))
    local_count = statistics.median(timed(engine.count_neighbours, queries, num_threads=1)[1]
                                    for _ in range(args.repeats))
    first = queries[:args.chunk]
    want_idx, want_counts = engine.find_neighbours(first, K)[0], engine.count_neighbours(first)
    del queries

    rows, ok = [["in-process, 1 thread", f"{local_find:.2f}", f"{local_count:.2f}", "", ""]], True
    times = {}
    for workers in (1, 2):
        find, count, idx, counts = time_on_cluster(workers, engine, args.queries, args.chunk, args.repeats)
        ok &= bool(np.array_equal(idx, want_idx) and np.array_equal(counts, want_counts))
        times[workers] = find, count
        rows.append([f"dask, {workers} worker process{'es' if workers > 1 else ''}", f"{find:.2f}", f"{count:.2f}",
                     f"{find / local_find:.2f}", f"{count / local_count:.2f}"])

    print(f"{args.method}: {args.points:,} points, r = {radius:.3g}, {args.queries:,} queries in chunks of "
          f"{args.chunk:,}, k = {K}")
    print(format_table(["run", "find s", "count s", "find / in-process", "count / in-process"], rows))
    print(f"speed-up of 2 workers over 1: find {times[1][0] / times[2][0]:.2f}x, "
          f"count {times[1][1] / times[2][1]:.2f}x")
    print(f"bytes shipped per engine (pickled state): {state_bytes:,} ({state_bytes / args.points:.1f} per point)")
    if not ok:
        print("answers on the cluster differ from the in-process answers", file=sys.stderr)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
