"""Memory measurements, each in a fresh process so that nothing measured before counts.

- bytes per point of a built structure: growth of the resident set while building.
"""

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

