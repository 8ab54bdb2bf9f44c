"""Benchmark kesra.indices_by_field against a NumPy reference, in the same process.

Usage, from the repository root:

    .venv/bin/python bench/bench_indices_by_field.py [--quick] [--repeats N]

Cases: 10,000,000 rows with 1,000 ids and with 1,000,000 ids (uniform random ids,
counts from np.bincount); --quick uses 200,000 rows with 100 and 10,000 ids.

The reference is `np.argsort(row_ids, kind="stable")` split at `np.cumsum(counts)`
into a dict keyed by id, the same shape of result. Both are checked to agree on a
sample of ids before timing; a disagreement makes the script exit with status 1.
Runs are interleaved and the table shows medians (default 3 runs) and the speed
ratio (reference time / kesra time, so above 1 means kesra is faster). Results
are dropped outside the timed region.

Memory is measured in a fresh process per case and function: after the inputs
exist and a small warm-up call, the peak resident set is reset (Linux
/proc/self/clear_refs), the call is made, and

- peak extra = VmHWM - VmRSS before the call,
- retained   = VmRSS after the call (result alive) - VmRSS before,
- transient  = peak extra - retained (working memory beyond the result).

The target is "the output itself plus the cursor array (8 bytes per id)". The
output is at least 8 bytes per row, but the dict, its int keys and one NumPy
array object per id are part of it too, which outweighs the row data when there
are many ids. So the output is measured as well: the "output only" row builds a
dict holding, for every id, a filled uint64 array of its count, and the target is
the larger of that row's retained memory and 8 bytes per row, plus 8 bytes per
id. "within" allows SLACK_MB (256 KiB) for heap layout, which moves repeated
probes of the same call by a few hundred kilobytes; --quick sizes are too small
for the verdict to mean much.

A JSON summary is written to bench/results/indices_by_field.json.
"""

import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

import kesra
from kesra import indices_by_field
from kesra.demo import format_table

REPO = Path(__file__).resolve().parents[1]
MB = 1 << 20
SLACK_MB = 0.25

SETUP = """
import numpy as np
from kesra import indices_by_field

def reference(row_ids, counts):
    order = np.argsort(row_ids, kind="stable")
    return dict(enumerate(np.split(order, np.cumsum(counts)[:-1])))

def make_inputs(n, u, seed=1):
    row_ids = np.random.default_rng(seed).integers(0, u, n, dtype=np.int64)
    return row_ids, np.bincount(row_ids, minlength=u).astype(np.int64)
"""
exec(SETUP)  # the probe processes share these definitions

MEMORY_PROBE = SETUP + """
import gc, json, sys
n, u, name = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]

def output_only(row_ids, counts):
    return {i: np.ones(counts[i], np.uint64) for i in range(len(counts))}

fn = {"kesra": indices_by_field, "reference": reference, "output only": output_only}[name]

def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))

row_ids, counts = make_inputs(n, u)
fn(*make_inputs(1000, 10, seed=2))
gc.collect()
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    reset = True
except OSError:
    reset = False
before = status("VmRSS")
result = fn(row_ids, counts)
peak, after = status("VmHWM"), status("VmRSS")
print(json.dumps({"peak": peak - before, "retained": after - before, "hwm_reset": reset}))
"""


def timed(fn, *args):
    gc.collect()
    start = time.perf_counter()
    result = fn(*args)
    elapsed = time.perf_counter() - start
    del result
    return elapsed


def agrees(row_ids, counts, rng):
    ours, theirs = indices_by_field(row_ids, counts), reference(row_ids, counts)
    if len(ours) != len(theirs):
        return False
    sample = rng.choice(len(counts), size=min(len(counts), 2000), replace=False)
    return all(ours[i].dtype == np.uint64 and np.array_equal(ours[i], theirs[i]) for i in map(int, sample))


def memory(n, u, name):
    if not Path("/proc/self/status").exists():
        return None
    # A fixed mmap threshold makes glibc hand large freed blocks straight back, so
    # working arrays freed before the call returns still show up in the peak.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": str(128 << 10)}
    out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(n), str(u), name],
                         capture_output=True, text=True, check=True, env=env)
    return json.loads(out.stdout)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Benchmark kesra.indices_by_field.")
    parser.add_argument("--quick", action="store_true", help="small inputs for a smoke run")
    parser.add_argument("--repeats", type=int, default=3, help="timed runs per function (default: 3)")
    parser.add_argument("--output", type=Path, default=REPO / "bench" / "results" / "indices_by_field.json")
    args = parser.parse_args(argv)
    cases = [(200_000, 100), (200_000, 10_000)] if args.quick else [(10_000_000, 1_000), (10_000_000, 1_000_000)]

    rng = np.random.default_rng(0)
    summary, time_rows, memory_rows, failed = [], [], [], False
    for n, u in cases:
        row_ids, counts = make_inputs(n, u)
        ok = agrees(row_ids, counts, rng)
        failed |= not ok
        samples = {"kesra": [], "reference": []}
        for _ in range(args.repeats):
            samples["kesra"].append(timed(indices_by_field, row_ids, counts))
            samples["reference"].append(timed(reference, row_ids, counts))
        del row_ids, counts
        medians = {name: statistics.median(values) for name, values in samples.items()}
        ratio = medians["reference"] / medians["kesra"]
        time_rows.append([f"{n:,} rows, {u:,} ids", f"{medians['kesra'] * 1e3:.1f}",
                          f"{medians['reference'] * 1e3:.1f}", f"{ratio:.2f}x", "yes" if ok else "NO"])

        mem = {name: memory(n, u, name) for name in ["kesra", "reference", "output only"]}
        target = max(mem["output only"]["retained"], 8 * n) + 8 * u if mem["output only"] else None
        for name, m in mem.items():
            if m is None:
                continue
            memory_rows.append([f"{n:,} rows, {u:,} ids", name, f"{m['peak'] / MB:.1f}",
                                f"{m['retained'] / MB:.1f}", f"{max(m['peak'] - m['retained'], 0) / MB:.1f}",
                                f"{target / MB:.1f}", "yes" if m["peak"] <= target + SLACK_MB * MB else "no"])
        summary.append({"rows": n, "ids": u, "agrees": ok, "seconds": samples, "median_seconds": medians,
                        "speed_ratio": ratio, "memory_bytes": mem, "target_bytes": target,
                        "slack_bytes": int(SLACK_MB * MB), "row_bytes": 8 * n, "cursor_bytes": 8 * u})

    print(format_table(["case", "kesra ms", "reference ms", "ratio", "agrees"], time_rows))
    if memory_rows:
        print()
        print(format_table(["case", "function", "peak MB", "retained MB", "transient MB",
                            "target MB", "within"], memory_rows))
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps({
        "kesra_version": getattr(kesra, "__version__", None), "numpy": np.__version__,
        "python": sys.version, "platform": platform.platform(), "cpus": os.cpu_count(),
        "repeats": args.repeats, "quick": args.quick, "cases": summary}, indent=2))
    print(f"\nwrote {args.output}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
