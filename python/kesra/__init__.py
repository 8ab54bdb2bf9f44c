"""Fast, exact fixed-radius nearest-neighbour search for 3-D point clouds."""

from kesra._kesra import KesraInternalError, KesraNNSEngine, available_methods
from kesra.all_neighbours import AllNeighbours
from kesra.clusters import Clusters
from kesra.local_geometry import LocalGeometry, features
from kesra.nns import KesraNNS
from kesra.radius import suggest_radius
from kesra.row_groups import indices_by_field
from kesra.scales import ScaledGeometry, feature_table

__all__ = ["AllNeighbours", "Clusters", "KesraNNS", "KesraNNSEngine", "KesraInternalError", "LocalGeometry",
           "ScaledGeometry", "available_methods", "feature_table", "features", "indices_by_field", "suggest_radius"]


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("kesra")
    except PackageNotFoundError:  # imported from a source tree that was never installed
        return "0+unknown"


__version__ = _version()
del _version  # the namespace holds the public names only
