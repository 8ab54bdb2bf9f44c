"""The clouds the benchmarks run on: generated ones and the real scans in the data folder."""

import os
from pathlib import Path

import numpy as np

from kesra.clouds import clustered_cloud, height_field_surface, sparse_radius, uniform_cube

REPO = Path(__file__).resolve().parents[1]


def data_dir():
    return Path(os.environ.get("KESRA_DATA_DIR") or REPO.parent / "shared" / "data")


def dataset_loaders(quick, generated=("cube", "surface", "clustered")):
    """Name -> loader of the cloud, or of (cloud, the radius it must be searched at).

    The `generated` clouds have 1,000,000 points (100,000 when quick), then every .npy
    cloud in the data folder follows."""
    n = 100_000 if quick else 1_000_000
    makers = {"cube": lambda: uniform_cube(n), "surface": lambda: height_field_surface(n),
              "clustered": lambda: (clustered_cloud(n), sparse_radius(n))}
    loaders = {name: makers[name] for name in generated}
    for path in sorted(data_dir().glob("*.npy")):
        loaders[path.stem] = lambda path=path: np.load(path)
    return loaders


def finite_rows(points):
    """(C-contiguous float32 copy without the rows holding NaN or inf, rows dropped)."""
    points = np.ascontiguousarray(points, dtype=np.float32)
    finite = np.isfinite(points).all(axis=1)
    return np.ascontiguousarray(points[finite]), int((~finite).sum())


def select(loaders, names, parser):
    """The requested names, or all; unknown names end the script with a usage error."""
    names = names or list(loaders)
    unknown = [name for name in names if name not in loaders]
    if not data_dir().is_dir():
        print(f"note: {data_dir()} not found, real clouds skipped")
        return [name for name in names if name in loaders]
    if unknown:
        parser.error(f"unknown data sets {unknown}; available: {list(loaders)} "
                     f"(real clouds are read from {data_dir()})")
    return names
