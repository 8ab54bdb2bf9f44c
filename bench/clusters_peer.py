"""Times kesra's clusters, outlier flags and pairs against their peers in one process.

Run by the stock python of build/open3d-venv, which holds Open3D 0.20, scikit-learn, scipy,
the `dbscan` package and kesra's own wheel for that python (bench/bench_clusters.py sets
it up):

    clusters_peer.py --points P.npy --radius R [--threads T] [--repeats N] [--jobs J,...]
        [--libs L,...] [--min-samples 10] [--min-neighbours 10] [--k 16] [--std-ratio 2.0]

Prints one JSON line: per job, each library's median seconds for the whole job (build plus
call, from the float32 points in memory) over N runs whose order rotates, its peak
resident memory above the process before the job and beyond its outputs (first run), and
the agreement of the results with kesra's. Jobs: dbscan (min_samples), euclidean
(min_samples 1), radius (outliers), statistical (outliers), pairs.
"""

import argparse
import json
import os
import statistics
import time

import numpy as np

JOBS = ["dbscan", "euclidean", "radius", "statistical", "pairs"]


def pin_threads(threads):
    allowed = sorted(os.sched_getaffinity(0))
    cpus = allowed[:max(1, threads)]
    if len(cpus) < len(allowed):
        os.sched_setaffinity(0, cpus)


def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))


def peak_of(call):
    """(result, seconds, peak resident bytes above the start) of one call."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        before = status("VmRSS")
    except OSError:
        before = None
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    return result, seconds, None if before is None else status("VmHWM") - before


def nbytes(result):
    if isinstance(result, np.ndarray):
        return result.nbytes
    if isinstance(result, (tuple, list)):
        return sum(nbytes(r) for r in result)
    return 0


def runners(args, points):
    """{job: {library: call}}; each call returns what agreement() reads."""
    import kesra
    r, t, ms = args.radius, args.threads, args.min_samples
    points64 = points.astype(np.float64)

    def o3d_cloud():
        import open3d as o3d
        cloud = o3d.geometry.PointCloud()
        cloud.points = o3d.utility.Vector3dVector(points64)
        return cloud

    def sklearn_dbscan(samples):
        from sklearn.cluster import DBSCAN
        fit = DBSCAN(eps=r, min_samples=samples, n_jobs=t).fit(points)
        core = np.zeros(len(points), bool)
        core[fit.core_sample_indices_] = True
        return fit.labels_, core

    def package_dbscan(samples):
        from dbscan import DBSCAN
        return DBSCAN(points64, eps=r, min_samples=samples)

    def kesra_pairs():
        nns = kesra.KesraNNS(points, r)
        return sum(len(chunk) for chunk in nns.pairs(num_threads=t))

    def scipy_pairs():
        from scipy.spatial import cKDTree
        return len(cKDTree(points).query_pairs(r, output_type="ndarray"))

    clusters = {
        "kesra": lambda samples: tuple(kesra.KesraNNS(points, r).dbscan(samples, num_threads=t)),
        "open3d": lambda samples: (np.asarray(o3d_cloud().cluster_dbscan(r, samples)), None),
        "scikit-learn": sklearn_dbscan,
        "dbscan": package_dbscan,
    }
    return {
        "dbscan": {name: (lambda f=f: f(ms)) for name, f in clusters.items()},
        "euclidean": {name: (lambda f=f: f(1)) for name, f in clusters.items()},
        "radius": {
            "kesra": lambda: kesra.KesraNNS(points, r).radius_outliers(args.min_neighbours, num_threads=t),
            "open3d": lambda: np.asarray(o3d_cloud().remove_radius_outlier(args.min_neighbours, r)[1]),
        },
        "statistical": {
            "kesra": lambda: kesra.KesraNNS(points, r).statistical_outliers(args.k, args.std_ratio, num_threads=t),
            "open3d": lambda: np.asarray(o3d_cloud().remove_statistical_outlier(args.k, args.std_ratio)[1]),
        },
        "pairs": {"kesra": kesra_pairs, "scipy": scipy_pairs},
    }


def same_partition(a, b):
    """Whether labels a and b split the rows into the same groups."""
    if len(a) == 0:
        return True
    pairs = np.unique(np.stack([a, b], 1), axis=0)
    return len(pairs) == len(np.unique(a)) == len(np.unique(b))


def agreement(job, name, ours, theirs, n):
    """How `theirs` agrees with kesra's result `ours`."""
    if job in ("dbscan", "euclidean"):
        from sklearn.metrics import adjusted_rand_score
        labels, core = theirs
        out = {"clusters": int(labels.max() + 1) if len(labels) else 0,
               "adjusted_rand": float(adjusted_rand_score(ours[0], labels))}
        if core is not None:
            out["core_mask_equal"] = bool((core == ours[1]).all())
            out["core_partition_equal"] = bool(out["core_mask_equal"] and same_partition(ours[0][core], labels[core]))
        return out
    if job in ("radius", "statistical"):
        if theirs.dtype != np.bool_:  # Open3D returns the kept rows
            kept = np.zeros(n, bool)
            kept[theirs] = True
            theirs = ~kept
        return {"flagged": int(theirs.sum()), "flags_differ": int((theirs != ours).sum())}
    return {"pairs": int(theirs)}


def main():
    parser = argparse.ArgumentParser(description="Time kesra's clusters and outliers against their peers.")
    parser.add_argument("--points", required=True)
    parser.add_argument("--radius", type=float, required=True)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--jobs", default=",".join(JOBS))
    parser.add_argument("--libs", default="", help="only these libraries (default: all)")
    parser.add_argument("--min-samples", type=int, default=10)
    parser.add_argument("--min-neighbours", type=int, default=10)
    parser.add_argument("--k", type=int, default=16)
    parser.add_argument("--std-ratio", type=float, default=2.0)
    args = parser.parse_args()
    pin_threads(args.threads)
    points = np.ascontiguousarray(np.load(args.points), dtype=np.float32)
    points = points[np.isfinite(points).all(axis=1)]
    jobs = runners(args, points)
    libs = set(filter(None, args.libs.split(",")))
    report = {"points": len(points), "radius": args.radius, "threads": args.threads, "jobs": {}}
    for job in args.jobs.split(","):
        calls = {name: call for name, call in jobs[job].items() if not libs or name in libs}
        seconds, results, peaks = {name: [] for name in calls}, {}, {}
        names = list(calls)
        for repeat in range(args.repeats):
            for name in names[repeat % len(names):] + names[:repeat % len(names)]:
                results.pop(name, None)
                result, elapsed, peak = peak_of(calls[name])
                seconds[name].append(elapsed)
                if name not in peaks:
                    peaks[name] = None if peak is None else peak - nbytes(result)
                results[name] = result
        entry = {}
        for name in names:
            entry[name] = {"seconds": statistics.median(seconds[name]), "peak_beyond_output": peaks[name]}
            if "kesra" in results and name != "kesra":
                entry[name].update(agreement(job, name, results["kesra"], results[name], len(points)))
        report["jobs"][job] = entry
        print(json.dumps({"job": job, **entry}), flush=True)
    print(json.dumps(report))


if __name__ == "__main__":
    main()
