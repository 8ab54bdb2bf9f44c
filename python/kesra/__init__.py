"""Fast, exact fixed-radius nearest-neighbour search for 3-D point clouds."""

from importlib.metadata import PackageNotFoundError, version

from kesra._kesra import (
    KesraInternalError,
    KesraNNSEngine,
    available_methods,
    indices_by_field,
)
from kesra.all_neighbours import AllNeighbours
from kesra.nns import KesraNNS
from kesra.radius import suggest_radius

try:
    __version__ = version("kesra")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = ["AllNeighbours", "KesraNNS", "KesraNNSEngine", "KesraInternalError", "available_methods",
           "indices_by_field", "suggest_radius"]
