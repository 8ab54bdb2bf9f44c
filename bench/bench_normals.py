"""Benchmark normals and curvature per point: kesra's local_geometry against Open3D's
estimate_normals and against the route a kesra user writes with NumPy.

Usage, from the repository root:

    .venv/bin/python bench/bench_normals.py [--quick] [--datasets surface,bun0,...]
        [--threads 2] [--k 16] [--repeats N] [--min-time S] [--sample ROWS]

For the generated surface (1,000,000 points; 100,000 with --quick) and every real scan
in the data folder (rows with NaN dropped), with the cloud's own points as queries in
their own order, k = 16, r by the median rule (bench/radius_rules.py) and T threads
(default 2, the builds' too), it times the whole job from points to eigenvalues and
normals, builds included:

- kesra: `KesraNNS(points, r)` (method "auto") and `local_geometry(points, k)`, and the
  same with `all_within=True`;
- kesra + NumPy, the route without local_geometry: the build and `find_neighbours(points,
  k)`, then in NumPy the gather of each row's neighbours, their covariance (padding
  masked) and `np.linalg.eigh` over (N, 3, 3); its search (build and find) is shown apart;
- Open3D 0.20 (bench/open3d_peer.py, in the stock python's venv): `estimate_normals` with
  `KDTreeSearchParamHybrid(radius=r, max_nn=k)` and with `KDTreeSearchParamRadius(r)`, its
  kd-tree built inside. Without a usable Open3D its columns read n/a.

kesra's timings are the median over --repeats runs of the median of calls repeated for
--min-time seconds (bench/timing.py); Open3D's the median of at least as many calls in
one process. Ratios are the other's time over kesra's (targets: at least 2 against
Open3D hybrid for the k nearest, 3 against Open3D radius for all_within, 5 against the
kesra + NumPy route).

Checked on a sample of rows, against a float64 NumPy/LAPACK reference over the
neighbours `find_neighbours` and `find_all_neighbours` give: the counts, NaN for rows
with fewer than 3 neighbours, eigenvalues within 1e-4 of their sum, and normals within
1e-3 rad up to sign where the two smallest eigenvalues differ by more than 1e-3 of their
sum. A failure makes the script exit with status 1. The angle between kesra's k-nearest
normals and Open3D's hybrid ones is shown too, over those rows (99th percentile). The
peak extra memory of local_geometry over its outputs' size is measured in a fresh
process (bench/memory_probes.py). A JSON summary is written to bench/results/normals.json.
"""

import argparse
import json
import os
import platform
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np

from datasets import dataset_loaders, finite_rows, select
from kesra import KesraNNS
from kesra.demo import format_table
from memory_probes import call_peak
from open3d_runner import open3d_peer, open3d_version, run_open3d
from radius_rules import suggest_radius
from result_tables import fmt
from timing import repeats_for, timed_steady

REPO = Path(__file__).resolve().parents[1]
EIGEN_TOLERANCE = 1e-4  # of the eigenvalues' sum
ANGLE_TOLERANCE = 1e-3  # radians
GAP = 1e-3  # share of the sum by which the two smallest eigenvalues must differ for a normal to be checked
TARGETS = {"open3d hybrid": 2.0, "open3d radius": 3.0, "kesra+numpy": 5.0}


def kesra_job(points, radius, k, threads, all_within):
    return KesraNNS(points, radius).local_geometry(points, k, all_within=all_within, num_threads=threads)


def covariance_eigen(points, indices):
    """Ascending eigenvalues and the smallest one's eigenvectors of the covariance of each
    row's neighbours, `indices` (M, k) -1 padded, in the points' dtype (the NumPy route)."""
    valid = indices >= 0
    counts = valid.sum(axis=1)[:, None]
    weights = valid[..., None].astype(points.dtype)
    gathered = points[np.where(valid, indices, 0)]
    mean = (gathered * weights).sum(axis=1) / counts
    centred = (gathered - mean[:, None]) * weights
    covariance = np.matmul(centred.swapaxes(1, 2), centred) / counts[..., None]
    values, vectors = np.linalg.eigh(covariance)
    return values, vectors[:, :, 0]


def numpy_route(points, radius, k, threads):
    indices, _ = KesraNNS(points, radius).find_neighbours(points, k, num_threads=threads)
    return covariance_eigen(points, indices)


def search_only(points, radius, k, threads):
    return KesraNNS(points, radius).find_neighbours(points, k, num_threads=threads)


def reference(points64, rows):
    """float64 eigenvalues (ascending), normals and counts over each list of neighbour rows."""
    values, normals = np.full((len(rows), 3), np.nan), np.full((len(rows), 3), np.nan)
    for i, row in enumerate(rows):
        if len(row) >= 3:
            values[i], vectors = np.linalg.eigh(np.cov(points64[row].T, bias=True))
            normals[i] = vectors[:, 0]
    return values, normals, np.array([len(row) for row in rows])


def usable(values):
    """Rows whose normal is defined: two smallest eigenvalues apart by GAP of the sum."""
    with np.errstate(invalid="ignore"):
        return (values[:, 1] - values[:, 0]) > GAP * values.sum(axis=1)


def angles(a, b):
    """Angles between unit vectors, up to sign (as atan2, exact near 0)."""
    return np.arctan2(np.linalg.norm(np.cross(a, b), axis=1), np.abs((a * b).sum(axis=1)))


def check(result, sample, want):
    """({"eigen_error", "angle_error", "rows"}, failed checks) of `result`'s sampled rows
    against the reference `want` (values, normals, counts)."""
    values, normals, counts = want
    got_values, got_normals = result.eigenvalues[sample].astype(np.float64), result.normals[sample]
    failed = []
    if not np.array_equal(result.counts[sample], counts):
        failed.append("counts differ from the neighbours found")
    shaped = counts >= 3
    if not np.isnan(got_values[~shaped]).all() or not np.isnan(got_normals[~shaped]).all():
        failed.append("rows with fewer than 3 neighbours are not NaN")
    total = values[shaped].sum(axis=1)
    spread = total > 0
    eigen = (np.abs(got_values[shaped] - values[shaped]).max(axis=1)[spread] / total[spread])
    normal = usable(values) & shaped
    angle = angles(got_normals[normal].astype(np.float64), normals[normal])
    errors = {"eigen_error": float(eigen.max(initial=0.0)), "angle_error": float(angle.max(initial=0.0)),
              "rows": int(shaped.sum()), "normal_rows": int(normal.sum())}
    if errors["eigen_error"] > EIGEN_TOLERANCE or np.isnan(eigen).any():
        failed.append(f"eigenvalues off by {errors['eigen_error']:.2g} of their sum")
    if errors["angle_error"] > ANGLE_TOLERANCE or np.isnan(angle).any():
        failed.append(f"normals off by {errors['angle_error']:.2g} rad")
    return errors, failed


def bench_kesra(points, radius, k, threads, repeats, min_time):
    """Median seconds of each kesra job, and the last results of local_geometry."""
    jobs = {"kesra": lambda: kesra_job(points, radius, k, threads, False),
            "kesra all_within": lambda: kesra_job(points, radius, k, threads, True),
            "kesra+numpy": lambda: numpy_route(points, radius, k, threads),
            "kesra search": lambda: search_only(points, radius, k, threads)}
    samples, results = {}, {}
    for _ in range(repeats):
        for name, job in jobs.items():
            result, seconds = timed_steady(job, min_time=min_time)
            samples.setdefault(name, []).append(seconds)
            results[name] = result if name in ("kesra", "kesra all_within") else None
    return {name: statistics.median(values) for name, values in samples.items()}, results


def bench_open3d(python, points_path, radius, k, threads, repeats, min_time, normals_path):
    """Open3D's median seconds of the hybrid and radius searches, its hybrid normals saved."""
    run = lambda calls: run_open3d(python, "normals", points_path, None, radius, threads, calls, max_nn=k,
                                   fast_normals=True, hybrid_out=normals_path)
    report = run(1)
    calls = max(repeats, repeats_for(min(report["hybrid_s"], report["radius_s"]), min_time))
    report = run(calls) if calls > 1 else report
    return {"open3d hybrid": report["hybrid_s"], "open3d radius": report["radius_s"]}


def bench_cloud(name, points, args, python, rng):
    radius = suggest_radius(points, "median")
    points64 = points.astype(np.float64)
    print(f"{name}: {len(points):,} points, r = {radius:.4g} (median rule)", flush=True)
    times, results = bench_kesra(points, radius, args.k, args.threads, args.repeats, args.min_time)
    nns = KesraNNS(points, radius)
    sample = np.sort(rng.choice(len(points), size=min(args.sample, len(points)), replace=False))
    indices, _ = nns.find_neighbours(points[sample], args.k)
    nearest = reference(points64, [row[row >= 0] for row in indices])
    within = nns.find_all_neighbours(points[sample])
    everyone = reference(points64, [within.indices[a:b] for a, b in zip(within.offsets[:-1], within.offsets[1:])])
    errors, failed = {}, []
    for key, want in (("kesra", nearest), ("kesra all_within", everyone)):
        errors[key], wrong = check(results[key], sample, want)
        failed += [f"{key}: {message}" for message in wrong]
    agreement, memory = None, {}
    with tempfile.TemporaryDirectory() as tmp:
        points_path, normals_path = Path(tmp) / "points.npy", Path(tmp) / "open3d_normals.npy"
        np.save(points_path, points)
        if python is not None:
            times.update(bench_open3d(python, points_path, radius, args.k, args.threads, args.repeats,
                                      args.min_time, normals_path))
            theirs, ours = np.load(normals_path)[sample], results["kesra"].normals[sample].astype(np.float64)
            rows = usable(nearest[0]) & (nearest[2] >= 3)
            agreement = float(np.percentile(angles(ours[rows], theirs[rows]), 99)) if rows.any() else None
        for key, what in (("kesra", "local_geometry"), ("kesra all_within", "local_geometry_all_within")):
            memory[key] = call_peak(points_path, radius, "auto", args.threads, what, args.k)
    counts = results["kesra all_within"].counts
    ratios = {"open3d hybrid": ("open3d hybrid", "kesra"), "open3d radius": ("open3d radius", "kesra all_within"),
              "kesra+numpy": ("kesra+numpy", "kesra")}
    ratio = {key: times[peer] / times[ours] for key, (peer, ours) in ratios.items() if peer in times}
    peak = {key: None if m is None or m["rss_peak_bytes"] is None else m["rss_peak_bytes"] / m["output_bytes"]
            for key, m in memory.items()}
    return {"dataset": name, "points": len(points), "radius": radius, "method": nns.method, "k": args.k,
            "threads": args.threads, "neighbours_within_r": {"median": float(np.median(counts)),
                                                            "mean": float(counts.mean()), "max": int(counts.max())},
            "seconds": times, "ratios": ratio, "accuracy": errors, "open3d_angle_p99": agreement,
            "memory": memory, "rss_peak_over_output": peak, "failed_checks": failed}


def table_row(r, open3d):
    times, ratio, acc = r["seconds"], r["ratios"], r["accuracy"]
    peer = lambda value, form: fmt(value, form) if open3d else "n/a"
    return [r["dataset"], f"{r['points']:,}", f"{r['radius']:.3g}", r["method"],
            f"{r['neighbours_within_r']['median']:g}", f"{times['kesra']:.3f}", f"{times['kesra all_within']:.3f}",
            f"{times['kesra search']:.3f}", f"{times['kesra+numpy']:.3f}", peer(times.get("open3d hybrid"), ".3f"),
            peer(times.get("open3d radius"), ".3f"), peer(ratio.get("open3d hybrid"), ".2f"),
            peer(ratio.get("open3d radius"), ".2f"), fmt(ratio.get("kesra+numpy"), ".1f"),
            f"{max(a['eigen_error'] for a in acc.values()):.1e}", f"{max(a['angle_error'] for a in acc.values()):.1e}",
            peer(r["open3d_angle_p99"], ".1e"), fmt(r["rss_peak_over_output"]["kesra"]),
            fmt(r["rss_peak_over_output"]["kesra all_within"])]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Benchmark local_geometry against Open3D and the NumPy route.")
    parser.add_argument("--quick", action="store_true", help="100,000 generated points, one run")
    parser.add_argument("--datasets", type=lambda s: s.split(","), help="comma-separated (default: all)")
    parser.add_argument("--threads", type=int, default=2, help="default: 2")
    parser.add_argument("--k", type=int, default=16, help="default: 16")
    parser.add_argument("--repeats", type=int, help="runs per measurement (default: 3; 1 with --quick)")
    parser.add_argument("--min-time", type=float, help="seconds a timed run repeats its call for (default 0.2)")
    parser.add_argument("--sample", type=int, default=2000, help="rows checked against the reference (default 2000)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "normals.json")
    args = parser.parse_args(argv)
    args.repeats = args.repeats or (1 if args.quick else 3)
    args.min_time = args.min_time if args.min_time is not None else (0.0 if args.quick else 0.2)
    if args.threads < 1 or args.k < 3 or args.repeats < 1 or args.sample < 1:
        parser.error("need --threads >= 1, --k >= 3, --repeats >= 1 and --sample >= 1")
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)  # the builds', here and in the memory probes
    loaders = dataset_loaders(args.quick, ("surface",))
    names = select(loaders, args.datasets, parser)
    python, skipped = open3d_peer()
    if skipped:
        print(f"note: open3d skipped: {skipped}", flush=True)

    rng = np.random.default_rng(0)
    results = []
    for name in names:
        points, dropped = finite_rows(loaders[name]())
        results.append({**bench_cloud(name, points, args, python, rng), "nan_rows_dropped": dropped})

    print()
    print(format_table(["dataset", "N", "r", "method", "nbrs med", "kesra s", "all s", "search s", "np route s",
                        "o3d hyb s", "o3d rad s", "x o3d hyb", "x o3d rad", "x np", "eig err", "angle err",
                        "o3d angle", "peak/out", "peak/out all"],
                       [table_row(r, python is not None) for r in results]))
    print(f"T = {args.threads}, k = {args.k}, r by the median rule, builds included; nbrs med: the median point's "
          "neighbours within r; kesra s: build + local_geometry (k nearest), all s: with all_within, search s: "
          "build + find_neighbours, np route s: that + the NumPy covariance and eigh; x o3d hyb: Open3D hybrid / "
          "kesra s (target 2), x o3d rad: Open3D radius / all s (target 3), x np: np route / kesra s (target 5); "
          "eig err: largest eigenvalue error over the sum, angle err: largest normal error (rad), both against "
          "float64 LAPACK (tolerances 1e-4 and 1e-3), o3d angle: 99th percentile angle to Open3D's hybrid "
          "normals; peak/out: local_geometry's peak extra resident memory over its outputs")
    if skipped:
        print(f"note: open3d n/a: {skipped.splitlines()[0]}")
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(), "numpy": np.__version__,
        "open3d": None if skipped else open3d_version(python), "open3d_skipped": skipped, "targets": TARGETS,
        "repeats": args.repeats, "min_time_s": args.min_time, "sample_rows": args.sample, "results": results,
    }, indent=2) + "\n")
    print(f"\nwrote {args.output}")
    failures = [(r["dataset"], message) for r in results for message in r["failed_checks"]]
    for name, message in failures:
        print(f"FAILED on {name}: {message}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
