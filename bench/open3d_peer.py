"""Times Open3D on the same fixed-radius work as kesra, for the benchmark scripts.

Run by the stock python of build/open3d-venv (bench/open3d_runner.py sets it up):

    open3d_peer.py --mode radius --points P.npy [--queries Q.npy] --radius R [--threads T]
        [--repeats N] [--build-repeats N] [--sort 0|1] [--index-dtype int32|int64]
    open3d_peer.py --mode normals --points P.npy --radius R [--max-nn K] [--threads T]
        [--repeats N] [--fast-normals 0|1] [--hybrid-out H.npy] [--radius-out R.npy]

Prints one JSON line. Every timing is the median of N calls after one warm-up call
(builds: of --build-repeats calls, 0 for as many as --repeats).

- radius: `core.nns.NearestNeighborSearch(points)` with `fixed_radius_index(R)` is the
  build, timed apart from `fixed_radius_search(queries, R, sort=S)`, which returns
  indices, squared float32 distances and row splits (indices and splits of the index
  dtype, int32 by default like kesra's indices). The pair total is reported with the
  number of pairs at a squared distance of at least R*R in float32, which a strict `<`
  against R*R would leave out.
- normals: a legacy `geometry.PointCloud` made from the points (as float64) and
  `estimate_normals` with `KDTreeSearchParamHybrid(R, K)` and with
  `KDTreeSearchParamRadius(R)`, each timed whole (the kd-tree is built inside). The
  normals (float64, sign as Open3D leaves it) go to the optional .npy paths. Open3D's
  point cloud exposes no curvature, so none is written.

Open3D 0.20 runs these searches on TBB threads, which OMP_NUM_THREADS does not bound:
the process is pinned to T of its CPUs before Open3D loads, which bounds both pools.
"""

import argparse
import json
import os
import statistics
import time

import numpy as np


def timed_median(repeats, call):
    """(last result, median seconds of `repeats` calls after one warm-up call)."""
    result, seconds = call(), []
    for _ in range(repeats):
        result = None  # the previous result goes before the next call allocates its own
        start = time.perf_counter()
        result = call()
        seconds.append(time.perf_counter() - start)
    return result, statistics.median(seconds)


def pin_threads(threads):
    """Pins the process to `threads` of the CPUs it may run on; returns those CPUs."""
    allowed = sorted(os.sched_getaffinity(0))
    cpus = allowed[:max(1, threads)]
    if len(cpus) < len(allowed):
        os.sched_setaffinity(0, cpus)
    return cpus


def radius_mode(o3d, args, points):
    core = o3d.core
    queries = points if args.queries is None else np.ascontiguousarray(np.load(args.queries), dtype=np.float32)
    dataset, query_tensor = core.Tensor.from_numpy(points), core.Tensor.from_numpy(queries)
    index_dtype = {"int32": core.int32, "int64": core.int64}[args.index_dtype]

    def build():
        nns = core.nns.NearestNeighborSearch(dataset, index_dtype)
        if not nns.fixed_radius_index(args.radius):
            raise RuntimeError("fixed_radius_index failed")
        return nns

    nns, build_s = timed_median(args.build_repeats or args.repeats, build)
    result, search_s = timed_median(args.repeats, lambda: nns.fixed_radius_search(query_tensor, args.radius,
                                                                                   sort=bool(args.sort)))
    _, squared, splits = (tensor.numpy() for tensor in result)
    r = np.float32(args.radius)
    return {"points": len(points), "queries": len(queries), "sort": bool(args.sort),
            "index_dtype": args.index_dtype, "build_s": build_s, "search_s": search_s,
            "pairs": int(splits[-1]), "pairs_at_or_beyond_r": int(np.count_nonzero(squared >= r * r))}


def normals_mode(o3d, args, points):
    geometry = o3d.geometry
    points64 = points.astype(np.float64)
    searches = {"hybrid": (geometry.KDTreeSearchParamHybrid(radius=args.radius, max_nn=args.max_nn), args.hybrid_out),
                "radius": (geometry.KDTreeSearchParamRadius(radius=args.radius), args.radius_out)}
    report = {"points": len(points), "max_nn": args.max_nn, "fast_normals": bool(args.fast_normals),
              "curvature": "not exposed by Open3D's point cloud; not written"}
    for name, (param, out) in searches.items():
        def job():
            cloud = geometry.PointCloud()
            cloud.points = o3d.utility.Vector3dVector(points64)
            cloud.estimate_normals(param, fast_normal_computation=bool(args.fast_normals))
            return cloud
        cloud, report[f"{name}_s"] = timed_median(args.repeats, job)
        if out:
            np.save(out, np.asarray(cloud.normals))
    return report


def main():
    parser = argparse.ArgumentParser(description="Time Open3D's fixed-radius search or normal estimation.")
    parser.add_argument("--mode", choices=["radius", "normals"], required=True)
    parser.add_argument("--points", required=True, help="float32 (N, 3) .npy")
    parser.add_argument("--queries", help="float32 (M, 3) .npy (radius mode; default: the points)")
    parser.add_argument("--radius", type=float, required=True)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=1)
    parser.add_argument("--build-repeats", type=int, default=0, help="radius mode (default: --repeats)")
    parser.add_argument("--sort", type=int, choices=[0, 1], default=1)
    parser.add_argument("--index-dtype", choices=["int32", "int64"], default="int32",
                        help="default int32, the width of kesra's indices")
    parser.add_argument("--max-nn", type=int, default=30)
    parser.add_argument("--fast-normals", type=int, choices=[0, 1], default=1,
                        help="Open3D's default closed-form eigenvector (1) or its iterative solver (0)")
    parser.add_argument("--hybrid-out")
    parser.add_argument("--radius-out")
    args = parser.parse_args()
    if not args.radius > 0 or args.repeats < 1 or args.build_repeats < 0 or args.threads < 1 or args.max_nn < 1:
        parser.error("need radius > 0, repeats >= 1, build repeats >= 0, threads >= 1, max-nn >= 1")

    cpus = pin_threads(args.threads)
    import open3d as o3d  # after pinning: TBB sizes its pool from the CPUs it may use

    points = np.ascontiguousarray(np.load(args.points), dtype=np.float32)
    mode = radius_mode if args.mode == "radius" else normals_mode
    report = {"version": o3d.__version__, "mode": args.mode, "radius": args.radius, "threads": len(cpus),
              "cpus": cpus, "repeats": args.repeats, **mode(o3d, args, points)}
    print(json.dumps(report))


if __name__ == "__main__":
    main()
