"""Memory measurements, each in a fresh process so that nothing measured before counts.

- bytes per point of a built structure: growth of the resident set while building;
- peak extra memory of a call (`find_all_neighbours`, `local_geometry`, `dbscan`, the
  outlier flags): the resident
  set's high-water mark during the call (reset just before it through
  /proc/self/clear_refs) above the resident set before it, and the peak of NumPy's
  allocations traced by tracemalloc in a second call.
"""

import json
import subprocess
import sys
from pathlib import Path

BUILD_PROBE = """
import gc, os, sys
import numpy as np
path, radius, method, cells = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4])
points = np.load(path)
if method == "ckdtree":
    from scipy.spatial import cKDTree
    build = lambda: cKDTree(points)
else:
    from kesra import KesraNNSEngine
    build = lambda: KesraNNSEngine(points, radius, method=method, cells_per_radius=cells)
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
gc.collect()
before = rss()
engine = build()
print((rss() - before) / len(points))
"""

CALL_PROBE = """
import gc, json, sys, tracemalloc
import numpy as np
from kesra import KesraNNS
path, radius, method, threads, what = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4]), sys.argv[5]
points = np.load(path)
nns = KesraNNS(points, radius, method)
calls = {
    "find_all": lambda: nns.find_all_neighbours(points, num_threads=threads),
    "local_geometry": lambda: nns.local_geometry(points, int(sys.argv[6]), num_threads=threads),
    "local_geometry_all_within": lambda: nns.local_geometry(points, all_within=True, num_threads=threads),
    "dbscan": lambda: nns.dbscan(int(sys.argv[6]), num_threads=threads),
    "euclidean": lambda: nns.dbscan(1, num_threads=threads),
    "radius": lambda: (nns.radius_outliers(int(sys.argv[6]), num_threads=threads),),
    "statistical": lambda: (nns.statistical_outliers(int(sys.argv[6]), num_threads=threads),),
}
call = calls[what]
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))
gc.collect()
try:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident set
    before = status("VmRSS")
except OSError:
    before = None
result = call()
rss_peak = None if before is None else status("VmHWM") - before
output = sum(array.nbytes for array in result)
del result
gc.collect()
tracemalloc.start()
result = call()
traced_peak = tracemalloc.get_traced_memory()[1]
tracemalloc.stop()
print(json.dumps({"output_bytes": output, "rss_peak_bytes": rss_peak, "traced_peak_bytes": traced_peak}))
"""


def _probe(script, *args):
    out = subprocess.run([sys.executable, "-c", script, *map(str, args)], capture_output=True, text=True,
                         check=True)
    return out.stdout


def memory_per_point(path, radius, methods, cells):
    """Resident-set growth per point while building, each engine in a fresh process.

    Keys are (method, cells_per_radius) and "ckdtree"; empty without /proc."""
    if not Path("/proc/self/statm").exists():
        return {}
    result = {(method, c): float(_probe(BUILD_PROBE, path, repr(radius), method, c))
              for method in methods for c in cells}
    result["ckdtree"] = float(_probe(BUILD_PROBE, path, repr(radius), "ckdtree", 1))
    return result


def call_peak(path, radius, method, threads, what="find_all", k=16):
    """{"output_bytes", "rss_peak_bytes" (None without /proc), "traced_peak_bytes"} of one
    call on `KesraNNS(points, radius, method)` with its own points as queries, on `threads`
    threads: `what` is "find_all" (`find_all_neighbours`), "local_geometry" (with `k`) or
    "local_geometry_all_within", or "dbscan" (min_samples k), "euclidean", "radius" (min_neighbours k),
    "statistical" (k nearest); None without /proc."""
    if not Path("/proc/self/status").exists():
        return None
    return json.loads(_probe(CALL_PROBE, path, repr(radius), method, threads, what, k))


def find_all_peak(path, radius, method, threads):
    """`call_peak` of `find_all_neighbours`."""
    return call_peak(path, radius, method, threads, "find_all")
