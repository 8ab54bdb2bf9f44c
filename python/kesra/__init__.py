"""Fast, exact fixed-radius nearest-neighbour search for 3-D point clouds."""

from kesra._kesra import (
    KesraInternalError,
    KesraNNSEngine,
    available_methods,
    indices_by_field,
)

__all__ = ["KesraNNSEngine", "KesraInternalError", "available_methods", "indices_by_field"]
