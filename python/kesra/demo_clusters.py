"""The clusters and outlier part of `kesra demo`: DBSCAN, Euclidean clusters and the
outlier flags of the demo's cloud, beside scikit-learn's DBSCAN when it is installed."""

from __future__ import annotations

import importlib.util
from typing import Any

import numpy as np
from numpy.typing import NDArray

from kesra.nns import KesraNNS

MIN_SAMPLES = 10


def same_partition(a: NDArray[Any], b: NDArray[Any]) -> bool:
    """Whether labels a and b split the rows into the same groups."""
    pairs = np.unique(np.stack([a, b], 1), axis=0)
    return len(pairs) == len(np.unique(a)) == len(np.unique(b))


def show(nns: KesraNNS, points: NDArray[np.float32], threads: int) -> None:
    from kesra.demo import format_table, timed
    (labels, core), dbscan_s = timed(nns.dbscan, MIN_SAMPLES, num_threads=threads, progress=True)
    (pieces, _), euclid_s = timed(nns.dbscan, 1, num_threads=threads, progress=True)
    sparse, radius_s = timed(nns.radius_outliers, MIN_SAMPLES, num_threads=threads, progress=True)
    far, stat_s = timed(nns.statistical_outliers, 16, 2.0, num_threads=threads, progress=True)
    rows: list[list[object]] = [
        ["dbscan(10)", f"{dbscan_s:.3f}", f"{labels.max() + 1:,} clusters, {int(core.sum()):,} cores, "
                                          f"{int((labels < 0).sum()):,} noise"],
        ["dbscan(1), Euclidean", f"{euclid_s:.3f}", f"{pieces.max() + 1:,} clusters"],
        ["radius_outliers(10)", f"{radius_s:.3f}", f"{int(sparse.sum()):,} outliers"],
        ["statistical_outliers(16, 2.0)", f"{stat_s:.3f}", f"{int(far.sum()):,} outliers"],
    ]
    agreement = "scikit-learn is not installed: pip install scikit-learn to compare"
    if importlib.util.find_spec("sklearn") is not None:
        from sklearn.cluster import DBSCAN
        fit, sklearn_s = timed(DBSCAN(eps=nns.radius, min_samples=MIN_SAMPLES, n_jobs=threads or None).fit, points)
        theirs = np.zeros(len(points), bool)
        theirs[fit.core_sample_indices_] = True
        rows.append(["scikit-learn DBSCAN(10)", f"{sklearn_s:.3f}", f"{fit.labels_.max() + 1:,} clusters"])
        same = (theirs == core).all() and same_partition(labels[core], fit.labels_[core])
        agreement = ("the same core points and the same clusters of them as scikit-learn"
                     if same else "core points or their clusters differ from scikit-learn's (pairs at exactly r?)")
        agreement += f"; {int((labels != fit.labels_).sum()):,} labels differ (border points between clusters)"
    print("\nClusters and outliers of the same cloud (engine above, chosen by auto):")
    print(format_table(["call", "s", "result"], rows))
    print(f"  {agreement}")
