"""Memory measurements, each in a fresh process so that nothing measured before counts.

- bytes per point of a built structure: growth of the resident set while building;
- peak extra memory of a call: the resident set's high-water mark during the call
  (reset just before it through /proc/self/clear_refs) above the resident set before
  it, and the peak of NumPy's allocations traced by tracemalloc in a second call.
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

FIND_ALL_PROBE = """
import gc, json, sys, tracemalloc
import numpy as np
from kesra import KesraNNS
path, radius, method, threads = sys.argv[1], float(sys.argv[2]), sys.argv[3], int(sys.argv[4])
points = np.load(path)
nns = KesraNNS(points, radius, method)
def status(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))
def call():
    return nns.find_all_neighbours(points, num_threads=threads)
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


def find_all_peak(path, radius, method, threads):
    """{"output_bytes", "rss_peak_bytes" (None without /proc), "traced_peak_bytes"} of
    `KesraNNS(points, radius, method).find_all_neighbours(points, num_threads=threads)`."""
    if not Path("/proc/self/status").exists():
        return None
    return json.loads(_probe(FIND_ALL_PROBE, path, repr(radius), method, threads))
