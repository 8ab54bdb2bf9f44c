"""Native engine module: fixed-radius neighbour search on float32 (N, 3) arrays."""

from collections.abc import Sequence
from typing import Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import disjoint_base

from kesra.nns import GridStats

__all__ = ["KesraNNSEngine", "indices_by_field", "available_methods"]

class KesraInternalError(BaseException):
    """A failure that is not the caller's fault (raised by the native code)."""

@disjoint_base
class KesraNNSEngine:
    """Native fixed-radius neighbour search engine behind `kesra.nns.KesraNNS`."""

    def __new__(
        cls,
        search_points: NDArray[np.float32],
        max_dist: float,
        method: str = "voxel",
        cells_per_radius: int = 1,
        subtree_threshold: int = 64,
        graph_degree: int = 16,
    ) -> Self: ...
    @property
    def method(self) -> str: ...
    def __len__(self) -> int: ...
    def grid_stats(self) -> GridStats | None: ...
    def find_neighbours(
        self,
        query_points: NDArray[np.float32],
        num_neighbours: int,
        num_threads: int = 0,
        epsilon: float = 0.0,
        progress: bool = False,
    ) -> tuple[NDArray[np.int32], NDArray[np.float32]]: ...
    def count_neighbours(
        self,
        query_points: NDArray[np.float32],
        num_threads: int = 0,
        distance_weight_factor: float | None = None,
        progress: bool = False,
    ) -> NDArray[np.float32]: ...
    def find_all_neighbours(
        self,
        query_points: NDArray[np.float32],
        sort: bool = True,
        num_threads: int = 0,
        progress: bool = False,
        counts: ArrayLike | None = None,
    ) -> tuple[NDArray[np.int64], NDArray[np.int32], NDArray[np.float32]]: ...
    def local_geometry(
        self,
        query_points: NDArray[np.float32],
        num_neighbours: int = 16,
        all_within: bool = False,
        num_threads: int = 0,
        progress: bool = False,
        viewpoint: Sequence[float] | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.int64]]: ...
    def scale_geometry(
        self,
        query_points: NDArray[np.float32],
        radii: Sequence[float] | None = None,
        num_neighbours: Sequence[int] | None = None,
        num_threads: int = 0,
        progress: bool = False,
        viewpoint: Sequence[float] | None = None,
    ) -> tuple[NDArray[np.float32], NDArray[np.float32], NDArray[np.int64]]: ...
    def neighbour_counts(
        self,
        query_points: NDArray[np.float32],
        num_threads: int = 0,
        progress: bool = False,
    ) -> NDArray[np.int64]: ...
    def dbscan(
        self,
        min_samples: int,
        min_cluster_size: int = 1,
        num_threads: int = 0,
        progress: bool = False,
        core: NDArray[np.bool_] | None = None,
    ) -> tuple[NDArray[np.int64], NDArray[np.bool_]]: ...
    def radius_outliers(
        self,
        min_neighbours: int,
        query_points: NDArray[np.float32] | None = None,
        num_threads: int = 0,
        progress: bool = False,
    ) -> NDArray[np.bool_]: ...
    def mean_neighbour_distances(
        self,
        num_neighbours: int,
        query_points: NDArray[np.float32] | None = None,
        num_threads: int = 0,
        progress: bool = False,
    ) -> NDArray[np.float64]: ...
    def statistical_outliers(
        self, num_neighbours: int, std_ratio: float, num_threads: int = 0, progress: bool = False
    ) -> tuple[NDArray[np.bool_], float, float, float]: ...
    def pair_counts(self, num_threads: int = 0, progress: bool = False) -> NDArray[np.int64]: ...
    def pairs(
        self, first: int, last: int, counts: NDArray[np.int64], num_threads: int = 0
    ) -> NDArray[np.int64]: ...
    def __getstate__(self) -> bytes: ...
    def __setstate__(self, state: bytes) -> None: ...
    def __getnewargs__(self) -> tuple[NDArray[np.float32], float, str, int, int, int]: ...

def available_methods() -> list[str]: ...
def indices_by_field(row_ids: NDArray[np.int64], counts: NDArray[np.int64]) -> dict[int, NDArray[np.uint64]]: ...
def _remap_rows(row_numbers: NDArray[np.int32], indices: NDArray[np.int32], num_threads: int = 0) -> None: ...
def _sample_occupancy(search_points: NDArray[np.float32], max_dist: float, sample: int) -> tuple[float, float, float, int]: ...
