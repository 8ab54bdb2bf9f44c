"""Neighbour queries over Dask arrays: engines shipped to the workers once as their
pickled state, and tiled engines for search clouds larger than one process holds.

Dask does the scheduling; this package only builds task graphs, which run on any Dask
scheduler (a `dask.distributed` client included). Needs the `dask` extra
(`pip install 'kesra[dask]'`).
"""

from kesra.dask.calls import count_neighbours, find_all_neighbours, find_neighbours
from kesra.dask.tiles import TiledEngine
from kesra.dask.tiling import TilingWarning

__all__ = ["TiledEngine", "TilingWarning", "count_neighbours", "find_all_neighbours", "find_neighbours"]
