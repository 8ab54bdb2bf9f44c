"""Clusters and outlier flags against their peers: the whole job (build plus call) at
T threads, as peer seconds / kesra seconds (above 1: kesra is faster), with agreement and
peak memory.

Peers: Open3D 0.20 (`cluster_dbscan`, `remove_radius_outlier`,
`remove_statistical_outlier`), scikit-learn's `DBSCAN(n_jobs=T)`, the `dbscan` package
and scipy's `cKDTree.query_pairs(output_type="ndarray")`. They run with kesra's own wheel
for the stock python in build/open3d-venv (bench/clusters_peer.py): each peer in a
process of its own beside kesra, timed in turns in the same process, with a memory cap
and a time limit (a peer past either is reported as failed). A cloud of more than a
million points is run once per library and leaves out pairs (hundreds of millions).

Clouds: the real scans of 100,000 points or more in the data folder and a generated
5,000,000-point terrestrial scan (kesra.clouds.terrestrial_scan), each at the median
radius rule (bench/radius_rules.py). Agreement: the core mask and the partition of the
cores identical to scikit-learn's, and the adjusted Rand index of all labels. Memory:
each library's peak resident set during the job beyond its outputs, and kesra's during
the call alone, beyond the engine and the outputs (bench/memory_probes.py).

    bench_clusters.py [--threads 2] [--repeats 3] [--quick] [--clouds NAME ...] [--wheel W]
"""

import argparse
import json
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from datasets import data_dir, finite_rows  # noqa: E402
from memory_probes import call_peak  # noqa: E402
from open3d_runner import REPO, open3d_peer, peer_env  # noqa: E402
from radius_rules import suggest_radius  # noqa: E402

from kesra.clouds import terrestrial_scan  # noqa: E402

PEER = REPO / "bench" / "clusters_peer.py"
EXTRAS = ["scikit-learn", "scipy", "dbscan"]
BIG = 1_000_000  # above: one run each, and no pairs
PEER_LIMIT_BYTES = 14 << 30  # a peer that wants more is reported as failed
PEER_SECONDS = 400
PEER_JOBS = {"dbscan": ["dbscan", "euclidean"], "scikit-learn": ["dbscan", "euclidean"],
             "open3d": ["dbscan", "euclidean", "radius", "statistical"], "scipy": ["pairs"]}
COLUMNS = [("dbscan", "open3d"), ("dbscan", "scikit-learn"), ("dbscan", "dbscan"),
           ("euclidean", "open3d"), ("euclidean", "scikit-learn"), ("euclidean", "dbscan"),
           ("radius", "open3d"), ("statistical", "open3d"), ("pairs", "scipy")]


def peer_python(wheel=None):
    """The peers' python with the extra peers and this tree's kesra installed (built from
    the tree, or `wheel`, a wheel of it for that python), or None."""
    python, why = open3d_peer()
    if python is None:
        print(f"peers unavailable: {why}")
        return None
    pip = [str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    subprocess.run(pip + ["--only-binary=:all:", *EXTRAS], check=True)
    if wheel is None:
        print("building kesra for the peers' python (a few minutes)", flush=True)
    subprocess.run(pip + ["--no-deps", "--force-reinstall", str(wheel or REPO)], check=True)
    return python


def run_peer(python, path, radius, threads, repeats, jobs, libs, cap, timeout):
    args = [str(python), str(PEER), "--points", path, "--radius", repr(radius), "--threads", str(threads),
            "--repeats", str(repeats), "--jobs", ",".join(jobs)]
    args += ["--libs", ",".join(libs)]
    env = peer_env(threads)
    env["PARLAY_NUM_THREADS"] = str(threads)  # the dbscan package's scheduler

    def limit():
        if cap:
            resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    try:
        out = subprocess.run(args, capture_output=True, text=True, env=env, preexec_fn=limit, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {job: {lib: {"failed": f"over {timeout} s"} for lib in libs} for job in jobs}
    if out.returncode != 0:
        tail = out.stderr.strip().splitlines()[-1:] or [f"exit {out.returncode}"]
        return {job: {lib: {"failed": tail[0][-80:]} for lib in libs} for job in jobs}
    return json.loads(out.stdout.strip().splitlines()[-1])["jobs"]


def clouds(quick, names):
    found = {}
    if data_dir().is_dir():
        for path in sorted(data_dir().glob("*.npy")):
            if len(np.load(path, mmap_mode="r")) >= 100_000:
                found[path.stem] = lambda path=path: np.load(path)
    n = 500_000 if quick else 5_000_000
    found[f"terrestrial {n // 1_000_000 or n / 1e6:g}M"] = lambda: terrestrial_scan(n)
    return {name: load for name, load in found.items() if not names or name in names}


def merge(into, jobs):
    for job, entry in jobs.items():
        into.setdefault(job, {}).update(entry)


def ratio(entry, lib):
    theirs = entry.get(lib, {})
    if "failed" in theirs:
        return theirs["failed"]
    return f"{theirs['ratio']:.2f}" if "ratio" in theirs else "n/a"


def mb(value):
    return "n/a" if value is None else f"{value / 2**20:.0f}"


def report(results, threads):
    print(f"\n## Whole job at T = {threads}: peer seconds / kesra seconds (above 1: kesra is faster)\n")
    print("| cloud | points | r | " + " | ".join(f"{job} x {lib}" for job, lib in COLUMNS) + " |")
    print("|---" * (3 + len(COLUMNS)) + "|")
    for name, (n, r, jobs) in results.items():
        cells = [ratio(jobs.get(job, {}), lib) for job, lib in COLUMNS]
        print(f"| {name} | {n:,} | {r:.4g} | " + " | ".join(cells) + " |")
    print("\n## kesra seconds, agreement with scikit-learn, peak memory (MB beyond the outputs)\n")
    print("| cloud | job | kesra s | core mask = sklearn | core partition = sklearn | ARI sklearn | ARI open3d "
          "| ARI dbscan pkg | kesra call peak | kesra job peak | open3d | sklearn | dbscan pkg |")
    print("|---" * 13 + "|")
    for name, (n, r, jobs) in results.items():
        for job in ("dbscan", "euclidean", "radius", "statistical"):
            entry = jobs.get(job, {})
            sk, o3, pk = entry.get("scikit-learn", {}), entry.get("open3d", {}), entry.get("dbscan", {})
            ari = lambda e: f"{e['adjusted_rand']:.6f}" if "adjusted_rand" in e else "n/a"  # noqa: E731
            flags = o3.get("flags_differ")
            print(f"| {name} | {job} | {entry.get('kesra', {}).get('seconds', float('nan')):.3f} "
                  f"| {sk.get('core_mask_equal', 'n/a')} | {sk.get('core_partition_equal', 'n/a')} | {ari(sk)} "
                  f"| {ari(o3) if flags is None else f'{flags} flags differ'} | {ari(pk)} "
                  f"| {mb(entry.get('kesra_call_peak'))} | {mb(entry.get('kesra', {}).get('peak_beyond_output'))} "
                  f"| {mb(o3.get('peak_beyond_output'))} | {mb(sk.get('peak_beyond_output'))} "
                  f"| {mb(pk.get('peak_beyond_output'))} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="a 500,000-point generated cloud")
    parser.add_argument("--clouds", nargs="*", help="names of the clouds (default: all)")
    parser.add_argument("--wheel", help="install this kesra wheel for the peers' python instead of building one "
                        "(make wheel-stock leaves one in dist/)")
    args = parser.parse_args()
    python = peer_python(args.wheel)
    if python is None:
        return
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, load in clouds(args.quick, args.clouds).items():
            points, _ = finite_rows(load())
            path = str(Path(tmp) / "points.npy")
            np.save(path, points)
            r = suggest_radius(points, "median")
            print(f"{name}: {len(points):,} points, r = {r:.4g}", flush=True)
            # Each peer in a process of its own beside kesra, which is timed in the same
            # process (ratios of one run), with a memory cap and a time limit.
            jobs, repeats = {}, args.repeats if len(points) <= BIG else 1
            for lib, wanted in PEER_JOBS.items():
                if len(points) > BIG:
                    wanted = [job for job in wanted if job != "pairs"]  # hundreds of millions
                got = run_peer(python, path, r, args.threads, repeats, wanted, ["kesra", lib], PEER_LIMIT_BYTES,
                               PEER_SECONDS)
                for job, entry in got.items():
                    mine = jobs.setdefault(job, {})
                    theirs = entry.get(lib, {})
                    if "seconds" in theirs and "seconds" in entry.get("kesra", {}):
                        theirs["ratio"] = theirs["seconds"] / entry["kesra"]["seconds"]
                    mine[lib] = theirs
                    mine.setdefault("kesra", entry.get("kesra", {}))
            for job in ("dbscan", "euclidean", "radius", "statistical"):
                probe = call_peak(path, r, "auto", args.threads, job, 16 if job == "statistical" else 10)
                jobs.setdefault(job, {})["kesra_call_peak"] = None if probe is None else \
                    probe["rss_peak_bytes"] - probe["output_bytes"]
            results[name] = (len(points), r, jobs)
            report({name: results[name]}, args.threads)
    if len(results) > 1:
        report(results, args.threads)


if __name__ == "__main__":
    main()
